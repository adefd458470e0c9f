#include "platform/socket_errors.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

TEST(SocketErrors, ErrnoMapsToItsWinsockTwin) {
  const std::pair<int, int> cases[] = {
      {0, 0},
      {ECONNREFUSED, 10061},
      {ECONNRESET, 10054},
      {ETIMEDOUT, 10060},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETUNREACH, 10051},
      {EHOSTUNREACH, 10065},
      {ECONNABORTED, 10053},
      {EPIPE, 10058},
      {ESHUTDOWN, 10058},
      {EINTR, 10004},
      {EBADF, 10009},
      {EACCES, 10013},
      {EINVAL, 10022},
      {EMFILE, 10024},
      {EAGAIN, 10035},
      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EMSGSIZE, 10040},
      {EOPNOTSUPP, 10045},
      {EAFNOSUPPORT, 10047},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ELOOP, 10062},
      {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},
      {ENOTEMPTY, 10066},
      {EDQUOT, 10069},
      {ESTALE, 10070},
      {EREMOTE, 10071},
  };
  for (const auto& [err, wsa] : cases) EXPECT_EQ(platform::wsaErrorFromErrno(err), wsa) << err;
}

TEST(SocketErrors, ErrnoWithoutTwinKeepsItsNumberInItsOwnRange) {
  EXPECT_EQ(platform::wsaErrorFromErrno(ENOMEM), platform::kErrnoCodeBase + ENOMEM);
  EXPECT_EQ(platform::wsaErrorFromErrno(ENOENT), 0x00E00002);
}

TEST(SocketErrors, LookupErrors) {
  EXPECT_EQ(platform::wsaErrorFromGai(EAI_NONAME), 11001);
  EXPECT_EQ(platform::wsaErrorFromGai(EAI_AGAIN), 11002);
  EXPECT_EQ(platform::wsaErrorFromGai(EAI_FAIL), 11003);
  EXPECT_EQ(platform::wsaErrorFromGai(EAI_NODATA), 11004);
  EXPECT_EQ(platform::wsaErrorFromGai(EAI_MEMORY), 11001);
}

TEST(SocketErrors, WritingToAClosedPeerGivesAnErrorNotDeath) {
  platform::ignoreSigpipe();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  close(fds[1]);
  errno = 0;
  EXPECT_EQ(write(fds[0], "x", 1), -1);
  EXPECT_EQ(platform::lastSocketError(), 10058);
  close(fds[0]);
}

}  // namespace
