// Socket error codes in Winsock numbering.
//
// Messages quote socket errors by their Winsock numbers (10061 "Connection refused.") and the
// relay's own codes live in the same number space, so every errno from a socket call is mapped
// to its Winsock twin before it is logged or compared.
#pragma once

namespace platform {

// errno values without a Winsock twin are reported as kErrnoCodeBase + errno, so the fallback
// text "WSAError #00e0000c" still shows the errno (here ENOMEM, 12) in its last digits.
constexpr int kErrnoCodeBase = 0x00E00000;

// The Winsock code for an errno value; 0 stays 0.
int wsaErrorFromErrno(int err);
// The Winsock code for a getaddrinfo/getnameinfo error; unknown errors count as "host not found".
int wsaErrorFromGai(int gaiError);
// The current errno as a Winsock code.
int lastSocketError();
// Writing to a socket whose peer has gone must give an error, never kill the process.
void ignoreSigpipe();

}  // namespace platform
