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

} // namespace
} // namespace sondrix
