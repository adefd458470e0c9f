// A proxy that misbehaves on purpose, for the proxy client's tests.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/unique_fd.h"

namespace test_support {

// A proxy on 127.0.0.1 that answers each request header it reads with the next scripted answer;
// an answer of "" closes the connection instead. Records the requests. Gives up after 5 s of
// silence.
class ScriptedProxy {
 public:
  explicit ScriptedProxy(std::vector<std::string> answers) : answers_(std::move(answers)) {
    int err = 0;
    listen_ = platform::tcpSocket(&err);
    platform::bindTo(listen_.get(), platform::IpAddress::ipv4(inet_addr("127.0.0.1")), 0);
    platform::listenOn(listen_.get(), 8);
    platform::setReceiveTimeout(listen_.get(), 5000);  // bounds the accept too
    platform::IpAddress address;
    platform::localAddress(listen_.get(), &address, &port_);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedProxy() { thread_.join(); }
  ScriptedProxy(const ScriptedProxy&) = delete;
  ScriptedProxy& operator=(const ScriptedProxy&) = delete;
  uint16_t port() const { return port_; }
  std::vector<std::string> requests;
  int connections = 0;

 private:
  void serve() {
    size_t next = 0;
    while (next < answers_.size()) {
      platform::IpAddress a;
      uint16_t p = 0;
      int err = 0;
      bool passing = false;
      platform::UniqueFd fd = platform::acceptOn(listen_.get(), &a, &p, &err, &passing);
      if (!fd.valid()) return;
      platform::WaitBudget budget(5000);
      ++connections;
      while (next < answers_.size()) {
        std::string request;
        char c;
        while (request.find("\r\n\r\n") == std::string::npos &&
               platform::receiveExactly(fd.get(), &c, 1, &budget, &err) == 1) {
          request += c;
        }
        if (request.empty()) break;
        requests.push_back(request);
        const std::string& answer = answers_[next++];
        if (answer.empty()) break;
        platform::sendAll(fd.get(), answer.data(), answer.size());
      }
    }
  }
  std::vector<std::string> answers_;
  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace test_support
