#include "relay/observer.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace relay {
namespace {

std::atomic<RelayObserver*> observer{nullptr};
std::atomic<RelayObserver*> chunks{nullptr};
// Calls into an observer under way; a withdrawal waits for them to end.
std::atomic<int> callsInFlight{0};

void withdraw(std::atomic<RelayObserver*>* slot) {
  slot->store(nullptr);
  // A question may wait for a person; the front end is going away, so the wait is bounded.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (callsInFlight.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

ObserverCall::ObserverCall(Which which) {
  callsInFlight.fetch_add(1);
  observer_ = (which == Which::kChunks ? chunks : observer).load();
}

ObserverCall::~ObserverCall() { callsInFlight.fetch_sub(1); }

bool chunksWanted() { return chunks.load(std::memory_order_relaxed) != nullptr; }

void registerObserver(RelayObserver* o, bool withChunks) {
  observer.store(o);
  chunks.store(withChunks ? o : nullptr);
}

void withdrawObserver() {
  withdraw(&chunks);
  withdraw(&observer);
}

}  // namespace relay
