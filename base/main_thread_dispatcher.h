#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace sondrix {

// Runs calls on the application's main thread for threads that must wait for them (event
// delivery). The default implementation queues the calls until the main thread pumps them;
// the station installs one backed by its event loop.
class MainThreadDispatcher {
public:
  virtual ~MainThreadDispatcher() = default;
  // Runs fn on the main thread and returns when it has run; a call from the main thread itself
  // runs at once. An exception thrown by fn is rethrown to the caller.
  virtual void runOnMainThreadAndWait(const std::function<void()>& fn) = 0;
  // Runs the calls other threads are waiting for. Main thread only.
  virtual void pumpPending() = 0;
  // Waits up to timeout for a call to arrive, then pumps. Main thread only; for loops that
  // have nothing else to do (tests, the headless broadcaster).
  virtual void waitAndPump(std::chrono::milliseconds timeout) = 0;
  virtual bool isMainThread() const = 0;
};

// The process's dispatcher. The thread that first asks for it becomes the main thread of the
// default queue dispatcher, unless setMainThreadDispatcher installed another one.
MainThreadDispatcher& mainThreadDispatcher();
// Installs a dispatcher (nullptr restores a fresh default). Only while no other thread uses it.
void setMainThreadDispatcher(std::unique_ptr<MainThreadDispatcher> dispatcher);

// The queue-based dispatcher: the main thread is the thread that created it. onQueued, when
// given, runs on the calling thread after each call is queued, so an event loop can be woken to
// pump (it must not block).
std::unique_ptr<MainThreadDispatcher> makeQueueDispatcher(std::function<void()> onQueued = {});

inline void runOnMainThreadAndWait(const std::function<void()>& fn) {
  mainThreadDispatcher().runOnMainThreadAndWait(fn);
}
inline void pumpPending() {
  mainThreadDispatcher().pumpPending();
}
inline bool isMainThread() {
  return mainThreadDispatcher().isMainThread();
}

} // namespace sondrix
