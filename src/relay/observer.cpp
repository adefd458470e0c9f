#include <chrono>
#include <thread>

#include "relay/observer_slot.h"

namespace relay {

void ObserverSlot::attach(RelayObserver* observer, bool withChunks) {
  observer_.store(observer);
  chunks_.store(withChunks ? observer : nullptr);
}

void ObserverSlot::withdraw() {
  chunks_.store(nullptr);
  observer_.store(nullptr);
  // A question may wait for a person; the front end is going away, so the wait is bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (callsInFlight_.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ObserverCall::ObserverCall(ObserverSlot& slot, Which which) : slot_(slot) {
  slot_.callsInFlight_.fetch_add(1);
  observer_ = (which == Which::kChunks ? slot_.chunks_ : slot_.observer_).load();
}

ObserverCall::~ObserverCall() { slot_.callsInFlight_.fetch_sub(1); }

}  // namespace relay
