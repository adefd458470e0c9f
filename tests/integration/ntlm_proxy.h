// An upstream HTTP proxy for the tests that authenticates CONNECT requests with NTLM as a server
// does: the host's NTLM mechanism accepts the client's tokens and checks them against the users
// of the file named by NTLM_USER_FILE ("DOMAIN:user:password" lines). Once the three messages
// have passed it answers 200 and relays bytes to the destination (127.0.0.0/8 only).
// One thread serves the connections one after another; the destructor stops it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace itest {

class NtlmProxy {
 public:
  NtlmProxy();
  ~NtlmProxy();
  NtlmProxy(const NtlmProxy&) = delete;
  NtlmProxy& operator=(const NtlmProxy&) = delete;

  uint16_t port() const { return port_; }
  // Names (as the mechanism shows them) of the clients whose exchange completed, in order.
  std::vector<std::string> authenticated() const;
  // What the mechanism said about each refused exchange.
  std::vector<std::string> refusals() const;

 private:
  void serve();
  void handle(int fd);
  void relay(int client, int destination);
  void noteAuthenticated(const std::string& name);
  void noteRefusal(const std::string& why);

  int listenFd_ = -1;
  int stopFd_ = -1;
  int stopReadFd_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;  // guards authenticated_ and refusals_
  std::vector<std::string> authenticated_;
  std::vector<std::string> refusals_;
  std::thread thread_;
};

}  // namespace itest
