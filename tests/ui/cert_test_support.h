// What the tests of the certificate dialogs and the buffer view share: certificate files made
// with the openssl tool, and a way to let the window thread run while another thread waits for
// the relay.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <future>
#include <string>

#include "support/support.h"

namespace cert_test {

using namespace test_support;

inline constexpr char kPemPassword[] = "pem secret";
inline constexpr char kP12Password[] = "p12 secret";
inline constexpr char kKeyPassword[] = "key secret";

// Made in `dir` (false when the openssl tool failed):
//   ca.pem/.key, server.pem/.key, client.pem/.key  the test PKI (client CN "Test Client")
//   server-locked.key                                the server key under kKeyPassword
//   certs/client-plain.pem                          client certificate and its key, in clear
//   certs/client-locked.pem                         the same, the key under kPemPassword
//   certs/client.p12                                the same as PKCS#12 under kP12Password
//   viewer.pem, viewer.der, viewer.p12              a certificate with all seven name entries
//                                                   and six extensions (two critical), the
//                                                   PKCS#12 under kP12Password
bool makeCertificateFiles(const std::string& dir);

// Runs `work` on a thread of its own while the window thread handles its events (the relay's
// questions arrive there), for at most `timeout`; then waits for the work to end.
template <typename Work>
auto whileWindowRuns(Work work, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  auto done = std::async(std::launch::async, std::move(work));
  QElapsedTimer clock;
  clock.start();
  while (done.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready &&
         clock.elapsed() < timeout.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done.get();
}

}  // namespace cert_test
