#include "base/auto_reset_event.h"
#include "base/critical_section.h"
#include "base/main_thread_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sondrix {
namespace {

using namespace std::chrono_literals;

TEST(AutoResetEvent, ReleasesOneWaitAndClearsItself) {
  TAutoResetEvent evt;
  EXPECT_FALSE(evt.WaitFor(1ms));
  evt.SetEvent();
  EXPECT_TRUE(evt.WaitFor(0ms));
  EXPECT_FALSE(evt.WaitFor(1ms));
  evt.SetEvent();
  evt.ResetEvent();
  EXPECT_FALSE(evt.WaitFor(1ms));
}

TEST(AutoResetEvent, WakesAWaiterOnAnotherThread) {
  TAutoResetEvent evt;
  std::thread t([&] { evt.SetEvent(); });
  EXPECT_TRUE(evt.WaitFor(10s));
  t.join();
}

TEST(CriticalSection, IsRecursiveForItsHolderAndExcludesOthers) {
  TCriticalSection cs;
  CriticalSectionGuard outer(cs);
  CriticalSectionGuard inner(cs);
  bool otherGotIt = true;
  std::thread t([&] { otherGotIt = cs.TryEnter(); });
  t.join();
  EXPECT_FALSE(otherGotIt);
}

TEST(Dispatcher, RunsCallsOfOtherThreadsOnTheMainThreadInOrder) {
  auto dispatcher = makeQueueDispatcher();
  const auto mainId = std::this_thread::get_id();
  std::vector<int> order;
  std::atomic<int> finished{0};
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i)
      dispatcher->runOnMainThreadAndWait([&, i] {
        EXPECT_EQ(std::this_thread::get_id(), mainId);
        order.push_back(i);
      });
    finished = 1;
  });
  for (int spins = 0; spins < 1000 && finished == 0; ++spins)
    dispatcher->waitAndPump(10ms);
  worker.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(Dispatcher, CallFromTheMainThreadRunsAtOnceAndErrorsReachTheCaller) {
  auto dispatcher = makeQueueDispatcher();
  bool ran = false;
  dispatcher->runOnMainThreadAndWait([&] { ran = true; });
  EXPECT_TRUE(ran);

  std::string caught;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    try {
      dispatcher->runOnMainThreadAndWait([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    finished = true;
  });
  for (int spins = 0; spins < 1000 && !finished; ++spins)
    dispatcher->waitAndPump(10ms);
  worker.join();
  EXPECT_EQ(caught, "boom");
}

// Several callers queue while the main thread pumps: each call runs once, on the main thread,
// and its caller wakes. Under ThreadSanitizer this also proves the queue and the done flags
// are only touched under the lock.
TEST(Dispatcher, ManyCallersQueueWhileTheMainThreadPumps) {
  auto dispatcher = makeQueueDispatcher();
  const auto mainId = std::this_thread::get_id();
  constexpr int kCallers = 4;
  constexpr int kCallsEach = 200;
  std::vector<int> runs(kCallers, 0);
  std::vector<int> returned(kCallers, 0);
  std::atomic<int> offMain{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c)
    callers.emplace_back([&, c] {
      for (int i = 0; i < kCallsEach; ++i) {
        dispatcher->runOnMainThreadAndWait([&, c] {
          if (std::this_thread::get_id() != mainId)
            ++offMain;
          ++runs[c];
        });
        ++returned[c];
      }
      ++finished;
    });
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (finished < kCallers && std::chrono::steady_clock::now() < deadline) {
    dispatcher->pumpPending();
    std::this_thread::yield();
  }
  // Lets callers still blocked after a timeout finish, so the joins below cannot hang.
  while (finished < kCallers)
    dispatcher->waitAndPump(10ms);
  for (auto& t : callers)
    t.join();
  EXPECT_EQ(offMain, 0);
  EXPECT_EQ(runs, std::vector<int>(kCallers, kCallsEach));
  EXPECT_EQ(returned, std::vector<int>(kCallers, kCallsEach));
}

} // namespace
} // namespace sondrix
