#include "relay/pump_side.h"

#include <openssl/err.h>

#include <cerrno>

#include "log/log.h"
#include "platform/socket_errors.h"

namespace relay {

namespace {

using platform::IoResult;
using platform::IoStatus;
using platform::kIoReadable;
using platform::kIoWritable;

constexpr size_t kSslRecordBytes = 16 * 1024;  // the most plain text one record carries

// Maps the outcome of an SSL call (n, with errno latched at err) to an I/O result.
IoResult sslOutcome(PumpSide& side, int n, int err, unsigned* wait) {
  IoResult result;
  if (n > 0) {
    result.status = IoStatus::kDone;
    result.bytes = static_cast<size_t>(n);
    return result;
  }
  switch (SSL_get_error(side.ssl, n)) {
    case SSL_ERROR_WANT_READ:
      result.status = IoStatus::kWouldBlock;
      *wait = kIoReadable;
      return result;
    case SSL_ERROR_WANT_WRITE:
      result.status = IoStatus::kWouldBlock;
      *wait = kIoWritable;
      return result;
    case SSL_ERROR_ZERO_RETURN:
      result.status = IoStatus::kEndOfFile;
      return result;
    case SSL_ERROR_SYSCALL:
      side.fatal = true;
      result.status = err == 0 ? IoStatus::kEndOfFile : IoStatus::kFailed;
      result.error = platform::wsaErrorFromErrno(err);
      return result;
    default:
      side.fatal = true;
      // A peer that closes without close_notify simply ended; anything else is worth a look.
      if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        result.status = IoStatus::kEndOfFile;
        return result;
      }
      if (side.verbose) log_openssl_errors(LOG_ERROR, bio_log_err);
      result.status = IoStatus::kFailed;
      return result;
  }
}

// The write buffer sits between the SSL object and its socket BIO, which stays the read BIO.
// Reference counts: the read BIO and the buffer's chain each hold the socket BIO once.
bool installWriteBuffer(PumpSide& side) {
  BIO* socketBio = SSL_get_rbio(side.ssl);
  if (socketBio == nullptr || SSL_get_wbio(side.ssl) != socketBio) return false;
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (buffer == nullptr ||
      BIO_set_write_buffer_size(buffer, static_cast<long>(kSslWriteRoom)) != 1 ||
      BIO_up_ref(socketBio) != 1) {
    BIO_free(buffer);
    ERR_clear_error();
    return false;  // records then go out one send each, as without the buffer
  }
  BIO_push(buffer, socketBio);
  SSL_set0_wbio(side.ssl, buffer);  // drops the write BIO's own reference to the socket BIO
  side.writeBuffer = buffer;
  return true;
}

// Only an empty buffer is taken out: its bytes are part of the stream.
void removeWriteBuffer(PumpSide& side) {
  if (side.writeBuffer == nullptr || BIO_wpending(side.writeBuffer) > 0) return;
  BIO* socketBio = SSL_get_rbio(side.ssl);
  if (socketBio == nullptr || BIO_up_ref(socketBio) != 1) return;
  SSL_set0_wbio(side.ssl, socketBio);  // frees the buffer, which held the other reference
  side.writeBuffer = nullptr;
}

}  // namespace

void preparePumpSide(PumpSide& side) {
  platform::setNonBlocking(side.fd);
  if (side.ssl == nullptr) return;
  // The descriptor is closed by its owner alone.
  if (BIO* rbio = SSL_get_rbio(side.ssl)) BIO_set_close(rbio, BIO_NOCLOSE);
  if (BIO* wbio = SSL_get_wbio(side.ssl)) BIO_set_close(wbio, BIO_NOCLOSE);
  // While data flows the record buffers are kept; the pump gives them back when the connection
  // goes idle. The handshake's buffer goes now, so that the next one is made at the larger size.
  SSL_clear_mode(side.ssl, SSL_MODE_RELEASE_BUFFERS);
  SSL_set_read_ahead(side.ssl, 1);
}

void growReadAhead(PumpSide& side) {
  if (side.ssl == nullptr || side.fatal) return;
  SSL_set_default_read_buffer_len(side.ssl, kSslReadAhead);
  // The larger buffer is made at the next read; refused while a record is half read, in which
  // case the side grows when it next goes idle.
  SSL_free_buffers(side.ssl);
}

IoResult readPumpSide(PumpSide& side, uint8_t* data, size_t size, unsigned* wait) {
  if (side.ssl == nullptr) {
    *wait = kIoReadable;
    return platform::receiveNow(side.fd, data, size);
  }
  side.flowBuffers = true;
  ERR_clear_error();
  errno = 0;
  const int n = SSL_read(side.ssl, data, static_cast<int>(size));
  const int err = errno;  // SSL_get_error and logging may clobber it
  return sslOutcome(side, n, err, wait);
}

bool sslHoldsInput(const PumpSide& side) {
  return side.ssl != nullptr && SSL_has_pending(side.ssl) == 1;
}

IoResult writePumpSide(PumpSide& side, const uint8_t* data, size_t size, unsigned* wait) {
  if (side.ssl == nullptr) {
    *wait = kIoWritable;
    return platform::sendNow(side.fd, data, size);
  }
  side.flowBuffers = true;
  // One record leaves with one send anyway; only a block of several gains from the buffer.
  if (side.writeBuffer == nullptr && size > kSslRecordBytes) installWriteBuffer(side);
  ERR_clear_error();
  errno = 0;
  const int n = SSL_write(side.ssl, data, static_cast<int>(size));
  const int err = errno;  // SSL_get_error and logging may clobber it
  return sslOutcome(side, n, err, wait);
}

bool writePending(const PumpSide& side) {
  return side.writeBuffer != nullptr && BIO_wpending(side.writeBuffer) > 0;
}

IoResult flushPumpSide(PumpSide& side, unsigned* wait) {
  IoResult result;
  errno = 0;
  if (side.writeBuffer == nullptr || BIO_flush(side.writeBuffer) > 0) {
    result.status = IoStatus::kDone;
    return result;
  }
  const int err = errno;  // logging may clobber it
  if (BIO_should_retry(side.writeBuffer)) {
    result.status = IoStatus::kWouldBlock;
    *wait = kIoWritable;
    return result;
  }
  side.fatal = true;
  result.status = IoStatus::kFailed;
  result.error = platform::wsaErrorFromErrno(err != 0 ? err : EPIPE);
  return result;
}

void releaseIdle(PumpSide& side) {
  side.flowBuffers = false;
  if (side.ssl == nullptr || side.fatal) return;
  removeWriteBuffer(side);
  // The next flow starts with a read buffer of one record again (0: the library's size).
  SSL_set_default_read_buffer_len(side.ssl, 0);
  // Refused (and harmless) while a record is still being read or written.
  SSL_free_buffers(side.ssl);
}

void finishPumpSide(PumpSide& side) {
  if (side.ssl != nullptr) removeWriteBuffer(side);
}

}  // namespace relay
