#include "auto_reset_event.h"

namespace sondrix {

void TAutoResetEvent::SetEvent() {
  {
    std::lock_guard lock(FMutex);
    FSet = true;
  }
  FCond.notify_one();
}

void TAutoResetEvent::ResetEvent() {
  std::lock_guard lock(FMutex);
  FSet = false;
}

bool TAutoResetEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(FMutex);
  if (!FCond.wait_for(lock, timeout, [this] { return FSet; }))
    return false;
  FSet = false;
  return true;
}

void TAutoResetEvent::Wait() {
  std::unique_lock lock(FMutex);
  FCond.wait(lock, [this] { return FSet; });
  FSet = false;
}

} // namespace sondrix
