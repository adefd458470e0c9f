// Internal to the log module: the lock that keeps the three log BIOs and the bound sink alive
// while a thread uses them. Held shared by every writer; log_close takes it exclusively.
#pragma once

#include <shared_mutex>

namespace logging::detail {

// True while logging is live; the returned lock keeps it so until released.
std::shared_lock<std::shared_mutex> holdLiveState();

}  // namespace logging::detail
