// Internal to the log module: the lock that keeps the three log BIOs and the bound sink alive
// while a thread uses them. Held shared by every writer; log_close takes it exclusively.
#pragma once

#include <openssl/bio.h>

#include <shared_mutex>

namespace logging::detail {

// One of the three log BIOs (null when the log is not live), kept alive while this is held.
struct LiveBio {
  std::shared_lock<std::shared_mutex> hold;
  BIO* bio = nullptr;
};
LiveBio liveBio(int stream);

}  // namespace logging::detail
