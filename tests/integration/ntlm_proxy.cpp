#include "ntlm_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gssapi/gssapi.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

// The NTLM mechanism keeps some of its allocations (OpenSSL objects) for the life of the process;
// the slow unwinder is needed to see its library through OpenSSL's frames.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:gssntlmssp.so\n"; }

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxHeader = 16384;
constexpr int kMaxRequests = 6;  // per connection: three NTLM messages and some slack
constexpr auto kReadTimeout = std::chrono::seconds(10);
constexpr auto kRelayTimeout = std::chrono::seconds(60);
constexpr auto kServeTimeout = std::chrono::seconds(300);

gss_OID_desc ntlmOid{10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

constexpr char kChallengeFirst[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: NTLM\r\n"
    "Content-Length: 0\r\n"
    "Proxy-Connection: Keep-Alive\r\n\r\n";
constexpr char kRefused[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: NTLM\r\n"
    "Content-Length: 0\r\n"
    "Proxy-Connection: close\r\n\r\n";
constexpr char kEstablished[] = "HTTP/1.0 200 Connection established\r\n\r\n";

std::string encode(const void* data, size_t size) {
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                static_cast<const unsigned char*>(data), static_cast<int>(size));
  text.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return text;
}

std::string decode(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return {};
  std::string bytes(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t size = static_cast<size_t>(n);
  for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  bytes.resize(size);
  return bytes;
}

bool sendText(int fd, const std::string& text) {
  size_t done = 0;
  for (int round = 0; done < text.size() && round < 1000; ++round) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return done == text.size();
}

// One request header (through the blank line); empty when the peer went, was slow or too long.
std::string readHeader(int fd, int stopFd) {
  std::string header;
  const auto deadline = Clock::now() + kReadTimeout;
  while (Clock::now() < deadline && header.size() < kMaxHeader) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, 200) <= 0) continue;
    if (fds[1].revents != 0) return {};
    char c = 0;  // byte by byte: nothing past the header is taken from the stream
    if (recv(fd, &c, 1, 0) != 1) return {};
    header += c;
    if (header.ends_with("\r\n\r\n")) return header;
  }
  return {};
}

std::string headerValue(const std::string& header, const std::string& name) {
  for (size_t at = header.find("\r\n"); at != std::string::npos && at + 2 < header.size();
       at = header.find("\r\n", at + 2)) {
    const size_t start = at + 2;
    if (strncasecmp(header.c_str() + start, name.c_str(), name.size()) != 0 ||
        header[start + name.size()] != ':') {
      continue;
    }
    size_t value = start + name.size() + 1;
    while (value < header.size() && header[value] == ' ') ++value;
    return header.substr(value, header.find("\r\n", value) - value);
  }
  return {};
}

// A connection to the CONNECT target "127.x.y.z:port", or -1.
int connectTarget(const std::string& header) {
  if (!header.starts_with("CONNECT ")) return -1;
  const size_t end = header.find(' ', 8);
  const std::string target = header.substr(8, end == std::string::npos ? 0 : end - 8);
  const size_t colon = target.rfind(':');
  if (colon == std::string::npos) return -1;
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(std::atoi(target.c_str() + colon + 1)));
  if (inet_pton(AF_INET, target.substr(0, colon).c_str(), &sin.sin_addr) != 1 ||
      (ntohl(sin.sin_addr.s_addr) >> 24) != 127) {
    return -1;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string statusText(OM_uint32 code, int type) {
  OM_uint32 minor = 0;
  OM_uint32 context = 0;
  gss_buffer_desc text{0, nullptr};
  if (GSS_ERROR(gss_display_status(&minor, code, type, &ntlmOid, &context, &text))) {
    return std::to_string(code);
  }
  std::string result(static_cast<const char*>(text.value), text.length);
  gss_release_buffer(&minor, &text);
  return result;
}

// The acceptor's side of one exchange.
struct Acceptor {
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_name_t client = GSS_C_NO_NAME;
  Acceptor() = default;
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;
  ~Acceptor() {
    OM_uint32 minor = 0;
    if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    if (client != GSS_C_NO_NAME) gss_release_name(&minor, &client);
  }
  // GSS_S_COMPLETE, GSS_S_CONTINUE_NEEDED with *reply filled, or an error with *why filled.
  OM_uint32 step(const std::string& token, std::string* reply, std::string* why) {
    OM_uint32 minor = 0;
    gss_buffer_desc in{token.size(), const_cast<char*>(token.data())};
    gss_buffer_desc out{0, nullptr};
    const OM_uint32 major = gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &in,
                                                   GSS_C_NO_CHANNEL_BINDINGS, &client, nullptr,
                                                   &out, nullptr, nullptr, nullptr);
    *reply = out.length > 0 ? encode(out.value, out.length) : std::string();
    OM_uint32 ignored = 0;
    gss_release_buffer(&ignored, &out);
    if (GSS_ERROR(major)) {
      *why = statusText(major, GSS_C_GSS_CODE) + " (" + statusText(minor, GSS_C_MECH_CODE) + ")";
    }
    return major;
  }
  std::string clientName() const {
    OM_uint32 minor = 0;
    gss_buffer_desc text{0, nullptr};
    if (GSS_ERROR(gss_display_name(&minor, client, &text, nullptr))) return {};
    std::string name(static_cast<const char*>(text.value), text.length);
    gss_release_buffer(&minor, &text);
    while (!name.empty() && name.back() == '\0') name.pop_back();
    return name;
  }
};

}  // namespace

NtlmProxy::NtlmProxy() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    return;  // port() stays 0 and the test fails on it
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  port_ = ntohs(sin.sin_port);
  stopReadFd_ = pipeFds[0];
  stopFd_ = pipeFds[1];
  thread_ = std::thread([this] { serve(); });
}

NtlmProxy::~NtlmProxy() {
  if (thread_.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = write(stopFd_, &byte, 1);
    thread_.join();
  }
  for (int fd : {stopFd_, stopReadFd_, listenFd_}) {
    if (fd >= 0) close(fd);
  }
}

std::vector<std::string> NtlmProxy::authenticated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return authenticated_;
}

std::vector<std::string> NtlmProxy::refusals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusals_;
}

void NtlmProxy::noteAuthenticated(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  authenticated_.push_back(name);
}

void NtlmProxy::noteRefusal(const std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  refusals_.push_back(why);
}

void NtlmProxy::serve() {
  const auto deadline = Clock::now() + kServeTimeout;
  while (Clock::now() < deadline) {
    pollfd fds[2] = {{stopReadFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    if (poll(fds, 2, 200) <= 0) continue;
    if (fds[0].revents != 0) return;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    handle(fd);
    close(fd);
  }
}

void NtlmProxy::handle(int fd) {
  Acceptor acceptor;
  for (int request = 0; request < kMaxRequests; ++request) {
    const std::string header = readHeader(fd, stopReadFd_);
    if (header.empty()) return;
    const std::string auth = headerValue(header, "Proxy-Authorization");
    if (auth.size() <= 5 || strncasecmp(auth.c_str(), "NTLM ", 5) != 0) {
      if (!sendText(fd, kChallengeFirst)) return;
      continue;
    }
    std::string reply;
    std::string why;
    const OM_uint32 major = acceptor.step(decode(auth.substr(5)), &reply, &why);
    if (GSS_ERROR(major)) {
      noteRefusal(why);
      sendText(fd, kRefused);
      return;
    }
    if (major & GSS_S_CONTINUE_NEEDED) {
      if (!sendText(fd,
                    "HTTP/1.1 407 Proxy Authentication Required\r\n"
                    "Proxy-Authenticate: NTLM " +
                        reply +
                        "\r\n"
                        "Content-Length: 0\r\n"
                        "Proxy-Connection: Keep-Alive\r\n\r\n")) {
        return;
      }
      continue;
    }
    noteAuthenticated(acceptor.clientName());
    const int destination = connectTarget(header);
    if (destination < 0) {
      sendText(fd, "HTTP/1.0 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    if (sendText(fd, kEstablished)) relay(fd, destination);
    close(destination);
    return;
  }
}

void NtlmProxy::relay(int client, int destination) {
  const auto deadline = Clock::now() + kRelayTimeout;
  char buffer[16384];
  while (Clock::now() < deadline) {
    pollfd fds[3] = {{client, POLLIN, 0}, {destination, POLLIN, 0}, {stopReadFd_, POLLIN, 0}};
    if (poll(fds, 3, 200) <= 0) continue;
    if (fds[2].revents != 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0 || !sendText(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n)))) {
        return;
      }
    }
  }
}

}  // namespace itest
