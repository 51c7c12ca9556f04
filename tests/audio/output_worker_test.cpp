#include "audio/event_handler.h"
#include "test_doubles.h"

#include <gtest/gtest.h>

#include <thread>

namespace sondrix::testing {
namespace {

using namespace std::chrono_literals;

struct EventLog {
  std::mutex m;
  std::vector<std::string> entries;
  std::vector<bool> onMain;
  void add(const std::string& e) {
    std::lock_guard lock(m);
    entries.push_back(e);
    onMain.push_back(isMainThread());
  }
  std::vector<std::string> get() {
    std::lock_guard lock(m);
    return entries;
  }
  int count(const std::string& e) {
    std::lock_guard lock(m);
    return static_cast<int>(std::count(entries.begin(), entries.end(), e));
  }
};

class OutputWorker : public ::testing::Test {
protected:
  void SetUp() override {
    src = MakeComponent<MemorySource>(-1);
    out = MakeComponent<RecordingOutput>();
    out->SetInput(src.get());
    out->OnDone = [this](TComponent* s) {
      EXPECT_EQ(s, out.get());
      log.add("done");
      statusInDone = out->Status();
      finishesInDone = out->Finishes;
    };
    out->OnThreadException = [this](TComponent*) {
      log.add("exception:" + out->ExceptionMessage());
    };
  }
  void TearDown() override {
    out.reset();
    src.reset();
  }

  ComponentPtr<MemorySource> src;
  ComponentPtr<RecordingOutput> out;
  EventLog log;
  TOutputStatus statusInDone = TOutputStatus::tosPlaying;
  int finishesInDone = -1;
};

TEST_F(OutputWorker, RunningTwiceIsRefusedAndTheFirstRunGoesOn) {
  out->Run();
  EXPECT_THROW(
      {
        try {
          out->Run();
        } catch (const EAuException& e) {
          EXPECT_STREQ(e.what(), "Component is Busy");
          throw;
        }
      },
      EAuException);
  EXPECT_TRUE(pumpUntil([&] { return out->Blocks > 5; }));
  EXPECT_EQ(out->Starts, 1);
  out->Stop(false);
}

TEST_F(OutputWorker, RunWithoutInputIsRefused) {
  auto lone = MakeComponent<RecordingOutput>();
  try {
    lone->Run();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Input is not assigned");
  }
  EXPECT_FALSE(lone->IsBusy());
  try {
    lone->Pause();
    FAIL();
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Input is not assigned.");
  }
}

TEST_F(OutputWorker, AsyncStopDeliversDoneOnTheMainThreadAfterFinishing) {
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 3; }));
  out->Stop(true);
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(statusInDone, TOutputStatus::tosIdle);
  EXPECT_EQ(finishesInDone, 1);
  EXPECT_TRUE(log.onMain.at(0));
  EXPECT_FALSE(src->IsBusy());
  EXPECT_TRUE(out->ExceptionMessage().empty());
}

TEST_F(OutputWorker, WaitingStopDeliversNoDoneButTheNextRunDoes) {
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 3; }));
  out->Stop(false);
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
  EXPECT_EQ(out->Finishes, 1);
  pumpUntil([] { return false; }, 150ms);
  EXPECT_EQ(log.count("done"), 0);

  auto finite = MakeComponent<MemorySource>(1000);
  out->SetInput(finite.get());
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  std::lock_guard lock(out->DataMutex);
  EXPECT_EQ(out->Data.size() % 64, 1000u % 64);
}

TEST_F(OutputWorker, EndOfDataDeliversEveryByteThenDone) {
  auto finite = MakeComponent<MemorySource>(1000);
  out->SetInput(finite.get());
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  std::lock_guard lock(out->DataMutex);
  ASSERT_EQ(out->Data.size(), 1000u);
  for (std::size_t i = 0; i < out->Data.size(); ++i)
    ASSERT_EQ(out->Data[i], i % 251);
}

// A source that has played a given number of bytes (16-bit stereo at 1000 Hz: 4000 a second).
class PlayedSource : public MemorySource {
public:
  PlayedSource() : MemorySource(0) {}
  void SetPlayed(std::int64_t Bytes) { FPosition = Bytes; }
};

TEST(OutputTime, TimeElapsedIsThePlayedBytesInWholeSecondsOfTheInputsFormat) {
  auto src = MakeComponent<PlayedSource>();
  auto out = MakeComponent<RecordingOutput>();
  EXPECT_EQ(out->TimeElapsed(), 0) << "no input";
  out->SetInput(src.get());
  const struct {
    std::int64_t bytes;
    std::int32_t seconds;
  } rows[] = {{0, 0}, {40000, 10}, {6000, 2}, {10000, 2}, {14000, 4}, {3999, 1}};
  for (const auto& row : rows) {
    src->SetPlayed(row.bytes);
    EXPECT_EQ(out->TimeElapsed(), row.seconds) << row.bytes << " bytes";
  }
}

TEST_F(OutputWorker, FailingBlockReportsThenCompletesAndCanRunAgain) {
  out->FailAtBlock = 2;
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(log.get(), (std::vector<std::string>{"exception:Windows Media output error", "done"}));
  EXPECT_EQ(out->ExceptionMessage(), "Windows Media output error");
  EXPECT_FALSE(out->IsBusy());
  EXPECT_EQ(out->Finishes, 1);

  out->FailAtBlock = -1;
  out->Run();
  EXPECT_TRUE(out->ExceptionMessage().empty());
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 10; }));
  out->Stop(true);
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 2; }));
}

TEST_F(OutputWorker, FailingStartStillFinishes) {
  out->FailStart = true;
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(out->ExceptionMessage(), "start failed");
  EXPECT_EQ(out->Finishes, 1);
  EXPECT_EQ(out->Blocks, 0);
}

TEST_F(OutputWorker, StopWhilePausedWritesOneAbortBlock) {
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 3; }));
  out->Pause();
  EXPECT_EQ(out->Status(), TOutputStatus::tosPaused);
  const int blocks = out->Blocks;
  pumpUntil([] { return false; }, 50ms);
  EXPECT_EQ(out->Blocks, blocks) << "blocks were written while paused";
  out->Stop(false);
  EXPECT_EQ(out->AbortBlocks, 1);
  EXPECT_EQ(out->Blocks, blocks);
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
}

TEST_F(OutputWorker, ResumeGoesOnWriting) {
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 3; }));
  out->Pause();
  const int blocks = out->Blocks;
  out->Resume();
  EXPECT_TRUE(pumpUntil([&] { return out->Blocks > blocks + 3; }));
  EXPECT_EQ(out->Status(), TOutputStatus::tosPlaying);
  out->Stop(false);
}

TEST_F(OutputWorker, SyncDoneCanChainTheNextRun) {
  auto finite = MakeComponent<MemorySource>(500);
  out->SetInput(finite.get());
  std::atomic<int> syncDones{0};
  out->OnSyncDone = [&](TComponent*) {
    EXPECT_FALSE(isMainThread());
    if (++syncDones < 3)
      out->Run();
  };
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return syncDones == 3 && log.count("done") >= 1; }));
  EXPECT_EQ(out->Starts, 3);
  std::lock_guard lock(out->DataMutex);
  EXPECT_EQ(out->Data.size(), 1500u);
}

TEST_F(OutputWorker, StopFromTheWorkerItselfIsRefused) {
  auto finite = MakeComponent<MemorySource>(100);
  out->SetInput(finite.get());
  std::string message;
  out->OnSyncDone = [&](TComponent*) {
    try {
      out->Stop(false);
    } catch (const EAuException& e) {
      message = e.what();
    }
  };
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(message, "You are trying to stop this thread from the thread itself!");
}

TEST_F(OutputWorker, ProgressOfAnEndlessSourceIsPostedOnceAsMinusOne) {
  src->SetSizeLimit(-1);
  std::vector<std::int32_t> seen;
  out->OnProgress = [&](TComponent*) { seen.push_back(out->Progress()); };
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 20 && !seen.empty(); }));
  out->Stop(false);
  EXPECT_EQ(seen, std::vector<std::int32_t>{-1});
}

TEST_F(OutputWorker, DelayAbove100IsIgnored) {
  out->SetDelay(50);
  out->SetDelay(150);
  EXPECT_EQ(out->Delay(), 50);
  out->Run();
  pumpUntil([] { return false; }, 240ms);
  out->Stop(false);
  EXPECT_LE(out->Blocks, 6); // about one block per 50 ms
  EXPECT_GE(out->Blocks, 1);
}

TEST_F(OutputWorker, DestroyingAPlayingOutputStopsItAndTheLastOneEndsTheEventThread) {
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 3; }));
  ASSERT_NE(SharedEventHandler(), nullptr);
  out.reset();
  EXPECT_FALSE(src->IsBusy());
  EXPECT_EQ(SharedEventHandler(), nullptr);
  EXPECT_EQ(log.count("done"), 0);
}

TEST(EventHandler, EventsOfABlockedSenderAreDroppedAndOthersDeliveredInOrder) {
  auto keep = MakeComponent<RecordingOutput>(); // keeps the shared handler alive
  auto a = MakeComponent<MemorySource>(1);
  auto b = MakeComponent<MemorySource>(1);
  EventLog log;
  TEventHandler& h = *SharedEventHandler();
  h.BlockEvents(a.get());
  h.PostGenericEvent(a.get(), [&](TComponent*) { log.add("a1"); });
  h.PostGenericEvent(b.get(), [&](TComponent*) { log.add("b1"); });
  h.PostGenericEvent(b.get(), [&](TComponent*) { log.add("b2"); });
  h.UnblockEvents(nullptr);
  h.PostGenericEvent(a.get(), [&](TComponent*) { log.add("a2"); });
  ASSERT_TRUE(pumpUntil([&] { return log.get().size() == 3; }));
  EXPECT_EQ(log.get(), (std::vector<std::string>{"b1", "b2", "a2"}));
}

TEST(EventHandler, AThrowingHandlerIsReportedAndLaterEventsStillArrive) {
  auto keep = MakeComponent<RecordingOutput>();
  TEventHandler& h = *SharedEventHandler();
  EventLog log;
  h.SetHandlerExceptionHook([&](const std::string& m) { log.add("reported:" + m); });
  h.PostGenericEvent(nullptr, [](TComponent*) { throw EAuException("handler broke"); });
  h.PostGenericEvent(nullptr, [&](TComponent*) { log.add("next"); });
  ASSERT_TRUE(pumpUntil([&] { return log.get().size() == 2; }));
  EXPECT_EQ(log.get(), (std::vector<std::string>{"reported:handler broke", "next"}));
  h.SetHandlerExceptionHook(nullptr);
}

TEST(EventHandler, ClearEventsRemovesOnlyThatSender) {
  auto keep = MakeComponent<RecordingOutput>();
  TEventHandler& h = *SharedEventHandler();
  EventLog log;
  auto a = MakeComponent<MemorySource>(1);
  // Hold the event thread up so the queue fills.
  std::atomic<bool> release{false};
  h.PostNonGuiEvent(nullptr, [&](TComponent*) {
    while (!release)
      std::this_thread::sleep_for(1ms);
  });
  h.PostGenericEvent(a.get(), [&](TComponent*) { log.add("a"); });
  h.PostGenericEvent(nullptr, [&](TComponent*) { log.add("other"); });
  h.ClearEvents(a.get());
  release = true;
  ASSERT_TRUE(pumpUntil([&] { return log.count("other") == 1; }));
  EXPECT_EQ(log.count("a"), 0);
}

TEST(EventHandler, CoalescedAndProgressEventsWaitOncePerSenderAndKindInOrderOfTheirLatestPost) {
  auto keep = MakeComponent<RecordingOutput>();
  TEventHandler& h = *SharedEventHandler();
  EventLog log;
  auto a = MakeComponent<MemorySource>(1);
  auto b = MakeComponent<MemorySource>(1);
  std::atomic<bool> release{false};
  h.PostNonGuiEvent(nullptr, [&](TComponent*) {
    while (!release)
      std::this_thread::sleep_for(1ms);
  });
  ASSERT_TRUE(pumpUntil([&] { return h.QueuedCount() == 0; })); // the blocker is running
  for (int i = 0; i < 500; ++i) {
    h.PostCoalescedEvent(a.get(), 1, [&, i](TComponent*) { log.add("a1:" + std::to_string(i)); });
    h.PostCoalescedEvent(a.get(), 2, [&, i](TComponent*) { log.add("a2:" + std::to_string(i)); });
    h.PostOnProgress(a.get(), [&, i](TComponent*) { log.add("p:" + std::to_string(i)); });
  }
  h.PostCoalescedEvent(b.get(), 1, [&](TComponent*) { log.add("b1"); });
  h.PostGenericEvent(a.get(), [&](TComponent*) { log.add("plain"); });
  h.PostCoalescedEvent(a.get(), 1, [&](TComponent*) { log.add("a1:last"); });
  EXPECT_EQ(h.QueuedCount(), 5u);
  release = true;
  ASSERT_TRUE(pumpUntil([&] { return log.get().size() == 5; }));
  EXPECT_EQ(log.get(), (std::vector<std::string>{"a2:499", "p:499", "b1", "plain", "a1:last"}));
}

TEST(OutputAbort, AbortedOutputRefusesToRunAgain) {
  auto src = MakeComponent<MemorySource>(-1);
  auto out = MakeComponent<RecordingOutput>();
  out->SetInput(src.get());
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return out->Blocks > 2; }));
  out->Abort();
  EXPECT_FALSE(out->IsBusy());
  EXPECT_EQ(out->Finishes, 1);
  EXPECT_THROW(out->Run(), EAuException);
}

} // namespace
} // namespace sondrix::testing
