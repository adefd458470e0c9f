// The browser's side of a plain HTTP proxy connection, cut into requests as the bytes arrive: each
// request header whole (so that its request line can say where the request goes), and the body
// bytes after it, framed by Content-Length or chunked transfer coding. The bytes come out as the
// browser sent them. One stream per connection; one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace proxy {

// The longest request header a browser may send.
constexpr size_t kMaxRequestHeader = 16385;

class RequestStream {
 public:
  struct Piece {
    bool header = false;  // a whole request header, else body bytes of the current request
    std::string bytes;
  };
  enum class Status { kOk, kHeaderTooLarge, kBadFraming };

  // Takes the next bytes from the browser and appends what they complete to *pieces. After a
  // status other than kOk the stream takes nothing more.
  Status feed(const char* data, size_t size, std::vector<Piece>* pieces);
  // True while a request header has begun and is not complete yet.
  bool inHeader() const { return state_ == State::kHeader && !header_.empty(); }

 private:
  enum class State { kHeader, kBody, kChunkSize, kChunkData, kChunkEnd, kTrailer, kFailed };
  size_t takeHeader(const char* data, size_t size, std::vector<Piece>* pieces, Status* status);
  size_t takeLine(const char* data, size_t size, std::vector<Piece>* pieces, Status* status);
  void body(const char* data, size_t size, std::vector<Piece>* pieces);

  State state_ = State::kHeader;
  std::string header_;  // the header read so far
  std::string line_;    // a chunk-size or trailer line read so far
  uint64_t left_ = 0;   // body or chunk bytes still to come
};

}  // namespace proxy
