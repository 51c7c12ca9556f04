#include "main_thread_dispatcher.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace sondrix {
namespace {

class QueueDispatcher final : public MainThreadDispatcher {
public:
  explicit QueueDispatcher(std::function<void()> onQueued)
      : FMainThread(std::this_thread::get_id()), FOnQueued(std::move(onQueued)) {}

  void runOnMainThreadAndWait(const std::function<void()>& fn) override {
    if (isMainThread()) {
      fn();
      return;
    }
    auto call = std::make_shared<Call>();
    call->fn = fn;
    {
      std::lock_guard lock(FMutex);
      FQueue.push_back(call);
    }
    FPumpCond.notify_all();
    if (FOnQueued)
      FOnQueued();
    std::exception_ptr error;
    {
      std::unique_lock lock(FMutex);
      FDoneCond.wait(lock, [&] { return call->done; });
      // Taken out under the lock so the exception is only ever released on this thread.
      error = std::move(call->error);
    }
    if (error)
      std::rethrow_exception(error);
  }

  void pumpPending() override {
    for (;;) {
      std::shared_ptr<Call> call;
      {
        std::lock_guard lock(FMutex);
        if (FQueue.empty())
          return;
        call = FQueue.front();
        FQueue.pop_front();
      }
      std::exception_ptr error;
      try {
        call->fn();
      } catch (...) {
        error = std::current_exception();
      }
      {
        std::lock_guard lock(FMutex);
        call->error = std::move(error);
        call->done = true;
      }
      FDoneCond.notify_all();
    }
  }

  void waitAndPump(std::chrono::milliseconds timeout) override {
    {
      std::unique_lock lock(FMutex);
      FPumpCond.wait_for(lock, timeout, [this] { return !FQueue.empty(); });
    }
    pumpPending();
  }

  bool isMainThread() const override { return std::this_thread::get_id() == FMainThread; }

private:
  struct Call {
    std::function<void()> fn;
    std::exception_ptr error;
    bool done = false;
  };
  const std::thread::id FMainThread;
  const std::function<void()> FOnQueued;
  std::mutex FMutex;
  std::condition_variable FPumpCond;
  std::condition_variable FDoneCond;
  std::deque<std::shared_ptr<Call>> FQueue;
};

std::mutex gDispatcherMutex;
std::unique_ptr<MainThreadDispatcher> gDispatcher;

} // namespace

std::unique_ptr<MainThreadDispatcher> makeQueueDispatcher(std::function<void()> onQueued) {
  return std::make_unique<QueueDispatcher>(std::move(onQueued));
}

MainThreadDispatcher& mainThreadDispatcher() {
  std::lock_guard lock(gDispatcherMutex);
  if (!gDispatcher)
    gDispatcher = makeQueueDispatcher();
  return *gDispatcher;
}

void setMainThreadDispatcher(std::unique_ptr<MainThreadDispatcher> dispatcher) {
  std::lock_guard lock(gDispatcherMutex);
  gDispatcher = dispatcher ? std::move(dispatcher) : makeQueueDispatcher();
}

} // namespace sondrix
