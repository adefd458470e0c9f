// A second local user for the cases about objects that another user made first: created with
// useradd (a home folder under /tmp) when the test begins and removed with userdel -r when it
// ends. Its part of a test runs as a real process of that user, through setpriv. Creating users
// needs root; a test without one skips with the reason.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "support/support.h"

namespace perf_test {

class OtherUser {
 public:
  OtherUser() {
    static std::atomic<int> serial{0};
    name_ = "bklu" + std::to_string(getpid()) + "x" + std::to_string(++serial);
    if (geteuid() != 0) {
      why_ = "creating a second user needs root";
      return;
    }
    const int rc = test_support::run({"useradd", "--create-home", "--home-dir", "/tmp/" + name_,
                                      "--shell", "/bin/sh", "--user-group", name_});
    const passwd* pw = rc == 0 ? getpwnam(name_.c_str()) : nullptr;
    if (pw == nullptr) {
      why_ = "useradd " + name_ + " failed (" + std::to_string(rc) + ")";
      return;
    }
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
    made_ = true;
  }
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;
  ~OtherUser() {
    if (made_) test_support::run({"userdel", "--remove", name_});
  }

  bool made() const { return made_; }
  // Why the user could not be made.
  const std::string& why() const { return why_; }
  const std::string& name() const { return name_; }
  uid_t uid() const { return uid_; }

  // Runs a shell command line as this user (at most 30 s); true when it exits with 0.
  bool run(const std::string& command) const {
    return test_support::run(
               {"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                "--clear-groups", "/bin/sh", "-c", command},
               "/dev/null", std::chrono::seconds(30)) == 0;
  }

 private:
  std::string name_;
  std::string why_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool made_ = false;
};

}  // namespace perf_test
