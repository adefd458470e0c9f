// Who listens on a local TCP port: the configuration check of a running service must not count
// the ports its own daemon already serves as taken. Reads /proc (Linux); any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// True when a process other than this one whose program name is `program` listens on the TCP
// port (host byte order), on any address. False when none does or it cannot be told.
bool portListenedByProgram(uint16_t port, const std::string& program);

}  // namespace platform
