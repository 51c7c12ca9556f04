#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sondrix {

// An event that releases one waiter per SetEvent and clears itself when a wait succeeds.
class TAutoResetEvent {
public:
  explicit TAutoResetEvent(bool initiallySet = false) : FSet(initiallySet) {}

  void SetEvent();
  void ResetEvent();
  // Waits until set; returns false on time-out. The event is cleared by a successful wait.
  bool WaitFor(std::chrono::milliseconds timeout);
  void Wait();

private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FSet;
};

} // namespace sondrix
