#include "proxy/request_stream.h"

#include <algorithm>
#include <cstring>

#include "proxy/http_request.h"

namespace proxy {
namespace {

// A chunk-size line or a trailer line longer than this is not a browser's.
constexpr size_t kMaxChunkLine = 4096;

// The end of a request header in `text` (just after its empty line), or npos.
size_t headerEnd(const std::string& text, size_t from) {
  const size_t start = from >= 3 ? from - 3 : 0;
  const size_t crlf = text.find("\r\n\r\n", start);
  const size_t lf = text.find("\n\n", start);
  size_t end = std::string::npos;
  if (crlf != std::string::npos) end = crlf + 4;
  if (lf != std::string::npos) end = std::min(end, lf + 2);
  return end;
}

bool readChunkSize(const std::string& line, uint64_t* size) {
  uint64_t value = 0;
  size_t digits = 0;
  for (char c : line) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) break;
    if (++digits > 15) return false;
    value = value * 16 + static_cast<uint64_t>(v);
  }
  *size = value;
  return digits > 0;
}

}  // namespace

void RequestStream::body(const char* data, size_t size, std::vector<Piece>* pieces) {
  if (size == 0) return;
  if (!pieces->empty() && !pieces->back().header) {
    pieces->back().bytes.append(data, size);
  } else {
    pieces->push_back(Piece{false, std::string(data, size)});
  }
}

size_t RequestStream::takeHeader(const char* data, size_t size, std::vector<Piece>* pieces,
                                 Status* status) {
  const size_t before = header_.size();
  const size_t room = kMaxRequestHeader - before;
  header_.append(data, std::min(size, room));
  const size_t end = headerEnd(header_, before);
  if (end == std::string::npos) {
    if (header_.size() >= kMaxRequestHeader) {
      state_ = State::kFailed;
      *status = Status::kHeaderTooLarge;
    }
    return std::min(size, room);
  }
  const size_t used = end - before;
  header_.resize(end);
  const BodyFraming framing = requestBodyFraming(header_);
  pieces->push_back(Piece{true, std::move(header_)});
  header_.clear();
  switch (framing.kind) {
    case BodyFraming::kNone:
      state_ = State::kHeader;
      break;
    case BodyFraming::kLength:
      state_ = State::kBody;
      left_ = framing.length;
      break;
    case BodyFraming::kChunked:
      state_ = State::kChunkSize;
      break;
    case BodyFraming::kBad:
      state_ = State::kFailed;
      *status = Status::kBadFraming;
      break;
  }
  return used;
}

// A chunk-size line or a trailer line, passed on as body bytes once it is whole.
size_t RequestStream::takeLine(const char* data, size_t size, std::vector<Piece>* pieces,
                               Status* status) {
  const void* nl = std::memchr(data, '\n', size);
  const size_t used =
      nl == nullptr ? size : static_cast<size_t>(static_cast<const char*>(nl) - data) + 1;
  line_.append(data, used);
  if (line_.size() > kMaxChunkLine) {
    state_ = State::kFailed;
    *status = Status::kBadFraming;
    return used;
  }
  if (nl == nullptr) return used;
  body(line_.data(), line_.size(), pieces);
  const bool empty = line_ == "\r\n" || line_ == "\n";
  if (state_ == State::kTrailer) {
    if (empty) state_ = State::kHeader;
  } else if (state_ == State::kChunkEnd) {
    if (empty) {
      state_ = State::kChunkSize;
    } else {
      state_ = State::kFailed;
      *status = Status::kBadFraming;
    }
  } else if (!readChunkSize(line_, &left_)) {
    state_ = State::kFailed;
    *status = Status::kBadFraming;
  } else {
    state_ = left_ == 0 ? State::kTrailer : State::kChunkData;
  }
  line_.clear();
  return used;
}

RequestStream::Status RequestStream::feed(const char* data, size_t size,
                                          std::vector<Piece>* pieces) {
  Status status = Status::kOk;
  // Each round takes at least one byte, so as many rounds as bytes are enough.
  const size_t rounds = size;
  for (size_t round = 0; size > 0 && status == Status::kOk && round <= rounds; ++round) {
    size_t used = 0;
    switch (state_) {
      case State::kFailed:
        return Status::kBadFraming;
      case State::kHeader:
        used = takeHeader(data, size, pieces, &status);
        break;
      case State::kBody:
      case State::kChunkData:
        used = static_cast<size_t>(std::min<uint64_t>(left_, size));
        body(data, used, pieces);
        left_ -= used;
        if (left_ == 0) state_ = state_ == State::kBody ? State::kHeader : State::kChunkEnd;
        break;
      case State::kChunkEnd:
      case State::kChunkSize:
      case State::kTrailer:
        // The line end after chunk data is read as a (short) line of its own.
        used = takeLine(data, size, pieces, &status);
        break;
    }
    data += used;
    size -= used;
  }
  return status;
}

}  // namespace proxy
