// Where one relay keeps its front end's observer while it runs, and the guard every call into it
// goes through. Internal to the relay.
//
// The relay attaches the observer at start and withdraws it at shutdown; the withdrawal waits
// (bounded) until no call into it is under way, so a front end never goes away under a call.
// Any thread.
#pragma once

#include <atomic>

#include "relay/observer.h"

namespace relay {

class ObserverSlot {
 public:
  ObserverSlot() = default;
  ObserverSlot(const ObserverSlot&) = delete;
  ObserverSlot& operator=(const ObserverSlot&) = delete;

  // `withChunks`: the observer takes relayed chunks ("sniffer").
  void attach(RelayObserver* observer, bool withChunks);
  // From now on calls find no observer; waits at most 3 s for those under way.
  void withdraw();
  // True while an observer takes relayed chunks: the pump asks this first and pays nothing more
  // when it is false.
  bool chunksWanted() const { return chunks_.load(std::memory_order_relaxed) != nullptr; }

 private:
  friend class ObserverCall;
  std::atomic<RelayObserver*> observer_{nullptr};
  std::atomic<RelayObserver*> chunks_{nullptr};
  std::atomic<int> callsInFlight_{0};  // calls into an observer under way
};

// The observer for one call: null when none is attached. While it exists the observer is not
// withdrawn.
class ObserverCall {
 public:
  enum class Which { kAll, kChunks };
  explicit ObserverCall(ObserverSlot& slot, Which which = Which::kAll);
  ~ObserverCall();
  ObserverCall(const ObserverCall&) = delete;
  ObserverCall& operator=(const ObserverCall&) = delete;
  RelayObserver* get() const { return observer_; }
  RelayObserver* operator->() const { return observer_; }
  explicit operator bool() const { return observer_ != nullptr; }

 private:
  ObserverSlot& slot_;
  RelayObserver* observer_ = nullptr;
};

}  // namespace relay
