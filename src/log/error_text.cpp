// The texts that log lines quote: OpenSSL error codes, socket error codes, and the drain of
// OpenSSL's error queue into a BIO.
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "log/log_state.h"

namespace {

constexpr size_t kTextBuffer = 512;
constexpr size_t kSocketTextBuffer = 256;

struct SocketMessage {
  int code;
  const char* text;
};

// The program's message table for socket errors and its own SOCKS failures.
constexpr SocketMessage kSocketMessages[] = {
    {0, "No error."},
    {10004, "Function interrupted."},
    {10009, "Bad file handle."},
    {10013, "Access denied."},
    {10014, "Fault."},
    {10022, "Invalid address."},
    {10024, "EMFILE."},
    {10035, "Operation would block."},
    {10036, "Operation in progress."},
    {10037, "Operation already started."},
    {10038, "Not a socket."},
    {10039, "Destination address required."},
    {10040, "Illegal message size."},
    {10041, "Illegal protocol type."},
    {10042, "Illegal protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Unsupported socket operation."},
    {10045, "Option not supported."},
    {10046, "Protocol Family not supported."},
    {10047, "Address Family not supported."},
    {10048, "Address in use."},
    {10049, "Address not available."},
    {10050, "Network down."},
    {10051, "Net unreachable."},
    {10052, "Network reset."},
    {10053, "Connection aborted."},
    {10054, "Connection reset."},
    {10055, "No buffers."},
    {10056, "Is connected."},
    {10057, "Not connected."},
    {10058, "Connection shut down."},
    {10059, "Too many references."},
    {10060, "Timeout."},
    {10061, "Connection refused."},
    {10062, "Loop."},
    {10063, "Name too long."},
    {10064, "Host down."},
    {10065, "Host unreachable."},
    {10066, "Not empty."},
    {10067, "Process limit reached."},
    {10068, "User limit reached."},
    {10069, "Data quota error."},
    {10070, "Socket is stale."},
    {10071, "Remote error."},
    {10091, "System not ready."},
    {10092, "Windows sockets version not supported."},
    {10093, "Windows sockets not initialized."},
    {10101, "Disconnected."},
    {11001, "Host not found."},
    {11002, "Server failure."},
    {11003, "Connection refused."},
    {11004, "No data available."},
    {20091, "Socks request rejected."},
    {20092, "Socks server cannot connect."},
    {20093, "Socks user id rejected."},
};

const char* findSocketMessage(int code) {
  for (const SocketMessage& m : kSocketMessages) {
    if (m.code == code) return m.text;
  }
  return nullptr;
}

// OpenSSL 3 no longer records a function number in the error code; the old "func(%lu)" form
// shows 0 when the error carries no function name either.
constexpr unsigned long kNoFunction = 0;

// OpenSSL 3 keeps no reason strings for system errors (errno values raised by the library); its
// own error string carries the errno text after the fourth colon, "error:code:lib:func:reason".
const char* systemReason(unsigned long code, char (&text)[kTextBuffer]) {
  if (!ERR_SYSTEM_ERROR(code)) return nullptr;
  ERR_error_string_n(code, text, sizeof text);
  const char* p = text;
  for (int colons = 0; colons < 4; ++colons) {
    p = std::strchr(p, ':');
    if (p == nullptr) return nullptr;
    ++p;
  }
  return *p != '\0' ? p : nullptr;
}

char* errorText(unsigned long code, char* buffer, const char* func, bool full) {
  char systemText[kTextBuffer];
  const char* lib = ERR_lib_error_string(code);
  const char* reason = ERR_reason_error_string(code);
  if (reason == nullptr) reason = systemReason(code, systemText);
  const bool haveFunc = func != nullptr && *func != '\0';
  const unsigned long libNo = static_cast<unsigned long>(ERR_GET_LIB(code));
  const unsigned long reasonNo = static_cast<unsigned long>(ERR_GET_REASON(code));
  size_t len = 0;
  auto add = [&](int n) {
    if (n > 0) len = std::min(len + static_cast<size_t>(n), kTextBuffer - 1);
  };
  buffer[0] = '\0';
  if (!full) {
    if (haveFunc && reason != nullptr) {
      add(std::snprintf(buffer, kTextBuffer, "%s:%s", func, reason));
    } else if (haveFunc) {
      add(std::snprintf(buffer, kTextBuffer, "%s:reason(%lu)", func, reasonNo));
    } else if (reason != nullptr) {
      add(std::snprintf(buffer, kTextBuffer, "%s", reason));
    } else {
      add(std::snprintf(buffer, kTextBuffer, "func(%lu) reason(%lu)", kNoFunction, reasonNo));
    }
    return buffer;
  }
  add(std::snprintf(buffer, kTextBuffer, "err id:%08lX:", code));
  if (lib != nullptr) {
    add(std::snprintf(buffer + len, kTextBuffer - len, "%s", lib));
  } else {
    add(std::snprintf(buffer + len, kTextBuffer - len, ":lib(%lu) ", libNo));
  }
  if (haveFunc) {
    add(std::snprintf(buffer + len, kTextBuffer - len, ":%s", func));
  } else {
    add(std::snprintf(buffer + len, kTextBuffer - len, ":func(%lu) ", kNoFunction));
  }
  if (reason != nullptr) {
    add(std::snprintf(buffer + len, kTextBuffer - len, ":%s", reason));
  } else {
    add(std::snprintf(buffer + len, kTextBuffer - len, ":reason(%lu)", reasonNo));
  }
  return buffer;
}

// One error-queue entry as one line, newline included.
std::string errorLine(unsigned long code, const char* file, int line, const char* func,
                      const char* data, int flags, bool full, bool withSource) {
  char text[kTextBuffer];
  errorText(code, text, func, full);
  std::string out = "---";
  if (full) {
    const auto tid = static_cast<unsigned long>(CRYPTO_THREAD_get_current_id());
    out += std::to_string(tid) + ":" + text;
    if (withSource) {
      out += std::string(":") + (file != nullptr ? file : "") + ":" + std::to_string(line) + ":";
    }
  } else {
    out += text;
  }
  if ((flags & ERR_TXT_STRING) != 0 && data != nullptr) out += data;
  out += '\n';
  return out;
}

}  // namespace

char* openssl_error_text(unsigned long code, char* buffer, const char* func) {
  return errorText(code, buffer, func, logging::logSwitches().logDebug.load() != 0);
}

int log_openssl_errors(uint32_t level, BIO* bio) {
  logging::LogSwitches& s = logging::logSwitches();
  if (s.nolog.load() != 0 || !log_level_enabled(level) || bio == nullptr) return 0;
  const bool full = s.logDebug.load() != 0;
  const bool withSource = full && s.debug.load() != 0;
  for (;;) {
    const char* file = nullptr;
    const char* func = nullptr;
    const char* data = nullptr;
    int line = 0;
    int flags = 0;
    const unsigned long code = ERR_get_error_all(&file, &line, &func, &data, &flags);
    if (code == 0) break;
    // The whole line goes out in one write: two threads draining into the same BIO must not
    // mix their pieces in its pending text.
    const std::string out = errorLine(code, file, line, func, data, flags, full, withSource);
    BIO_write(bio, out.data(), static_cast<int>(out.size()));
    (void)BIO_flush(bio);
  }
  return 1;
}

const char* socket_error_text(int code) {
  thread_local char buffer[kSocketTextBuffer];
  const char* text = findSocketMessage(code);
  if (text != nullptr) {
    std::snprintf(buffer, sizeof buffer, "%s", text);
  } else {
    std::snprintf(buffer, sizeof buffer, "WSAError #%08x", static_cast<unsigned>(code));
  }
  return buffer;
}
