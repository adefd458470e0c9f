// What the counter tests share: a configuration store of their own, names of shared objects that
// no other test (or running relay) uses, the raw bytes of a block as /dev/shm holds them, bounded
// waits for forked children and a byte channel to talk to them.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "log/log.h"
#include "log/sinks.h"
#include "platform/registry.h"
#include "platform/shared_memory.h"

namespace perf_test {

using namespace std::chrono_literals;

// The exit status of a child, waiting at most `limit`; the child is killed and -1 returned when
// it has not ended by then.
inline int waitChild(pid_t pid, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(5ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// A byte pipe between a test and the children it forks.
class Channel {
 public:
  Channel() { EXPECT_EQ(pipe(fds_), 0); }
  ~Channel() {
    close(fds_[0]);
    close(fds_[1]);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  void put(char c) const { EXPECT_EQ(write(fds_[1], &c, 1), 1); }
  // The next byte, or 0 when none came within the time.
  char get(std::chrono::milliseconds limit = 10s) const {
    pollfd p{fds_[0], POLLIN, 0};
    char c = 0;
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1 || read(fds_[0], &c, 1) != 1) return 0;
    return c;
  }

 private:
  int fds_[2] = {-1, -1};
};

class PerfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    prefix_ = "bkltest" + std::to_string(getpid()) + "_" + std::to_string(++serial) + "_";
    char pattern[] = "/tmp/bkl-perf-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    platform::setHiveDirectory(dir_);
    logging::log_open(&log_, nullptr);
  }
  void TearDown() override {
    logging::log_close();
    platform::SharedMemory::remove("/" + prefix_ + "BKL");
    platform::SharedMemory::remove("/" + prefix_ + "TAV_Optex_MMF_BKL");
    platform::NamedSemaphore::remove("/" + prefix_ + "TAV_Optex_Event_BKL");
    platform::setHiveDirectory("");
    std::filesystem::remove_all(dir_);
  }

  std::string shmFile(const std::string& base = "BKL") const {
    return "/dev/shm/" + prefix_ + base;
  }
  // Writes bytes over the start of a shared object as another process of this user could.
  static void overwrite(const std::string& file, const std::string& bytes) {
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << file;
  }
  // The 16 bytes of a lock state: spin count, lock count, owner, recursion count.
  static std::string lockState(uint32_t spins, int32_t count, uint32_t owner, uint32_t recursion) {
    std::string bytes(16, '\0');
    std::memcpy(&bytes[0], &spins, 4);
    std::memcpy(&bytes[4], &count, 4);
    std::memcpy(&bytes[8], &owner, 4);
    std::memcpy(&bytes[12], &recursion, 4);
    return bytes;
  }
  bool blockExists() const { return std::filesystem::exists(shmFile()); }
  // The block's bytes as the file system shows them.
  std::string rawBlock() const {
    std::ifstream in(shmFile(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static uint32_t u32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
    return v;
  }
  static uint64_t u64(const std::string& bytes, size_t at) {
    uint64_t v = 0;
    if (at + 8 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 8);
    return v;
  }

  static platform::RegKey key(const std::string& path) {
    platform::RegKey k;
    EXPECT_EQ(platform::regCreateKey(platform::Hive::kLocalMachine, path, &k), 0) << path;
    return k;
  }
  static void setDword(const std::string& path, const char* name, uint32_t value) {
    ASSERT_EQ(platform::regSetValue(key(path), name, platform::REG_DWORD, &value, 4), 0);
  }
  static uint32_t dword(const std::string& path, const char* name) {
    platform::RegKey k;
    uint32_t value = 0xDEADBEEF;
    uint32_t size = 4;
    if (platform::regOpenKey(platform::Hive::kLocalMachine, path, &k) != 0) return value;
    platform::regQueryValue(k, name, nullptr, &value, &size);
    return value;
  }
  static void setBytes(const std::string& path, const char* name, uint32_t type,
                       const std::string& data) {
    ASSERT_EQ(platform::regSetValue(key(path), name, type, data.data(),
                                    static_cast<uint32_t>(data.size())),
              0);
  }
  static std::string bytes(const std::string& path, const char* name) {
    platform::RegKey k;
    if (platform::regOpenKey(platform::Hive::kLocalMachine, path, &k) != 0) return "<no key>";
    char buf[8192];
    uint32_t size = sizeof buf;
    if (platform::regQueryValue(k, name, nullptr, buf, &size) != 0) return "<no value>";
    return std::string(buf, size);
  }

  // An object under the block's name, `size` bytes of `fill`, as another program might leave it.
  platform::SharedMemory foreignObject(size_t size, uint8_t fill) const {
    platform::SharedMemory object;
    bool created = false;
    EXPECT_EQ(object.openOrCreate("/" + prefix_ + "BKL", &created), 0);
    EXPECT_EQ(object.resize(size), 0);
    EXPECT_EQ(object.map(size), 0);
    std::memset(object.data(), fill, size);
    return object;
  }

  bool logged(const std::string& text) const {
    for (const std::string& line : log_.lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::string prefix_;
  std::string dir_;
  logging::CollectingSink log_;
};

}  // namespace perf_test
