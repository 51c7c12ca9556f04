#include "audio/audio_play_list.h"
#include "audio/event_handler.h"
#include "raw_pcm_source.h"
#include "test_doubles.h"

#include <gtest/gtest.h>

namespace sondrix::testing {
namespace {

using namespace std::chrono_literals;

class PlayList : public ::testing::Test {
protected:
  void SetUp() override {
    for (std::uint8_t i = 0; i < 3; ++i) {
      files.push_back((dir / ("f" + std::to_string(i + 1) + ".raw")).string());
      writeRawPcm(files.back(), frames[i], static_cast<std::uint8_t>(i + 1));
    }
    file = MakeComponent<RawPcmIn>();
    list = MakeComponent<TAudioPlayList>();
    out = MakeComponent<RecordingOutput>();
    list->SetInput(file.get());
    list->SetFiles(files);
    list->OnPlayItemChanged = [this](TComponent* sender) {
      EXPECT_EQ(sender, list.get());
      EXPECT_TRUE(isMainThread());
      ++itemChanges;
    };
    out->SetInput(list.get());
    out->OnThreadException = [this](TComponent*) { messages.push_back(out->ExceptionMessage()); };
    out->OnDone = [this](TComponent*) { ++done; };
  }
  void TearDown() override {
    out.reset();
    list.reset();
    file.reset();
  }

  void runToEnd() {
    out->Run();
    ASSERT_TRUE(pumpUntil([&] { return done > 0; })) << "the run did not end";
  }

  // The frames every file holds, tagged with its id (1-based).
  std::vector<std::uint32_t> framesOf(int item) const {
    std::vector<std::uint32_t> v;
    for (std::uint32_t i = 0; i < frames[item]; ++i)
      v.push_back((static_cast<std::uint32_t>(item + 1) << 24) | i);
    return v;
  }
  std::vector<std::uint32_t> received() {
    std::lock_guard lock(out->DataMutex);
    EXPECT_EQ(out->Data.size() % 4, 0u);
    std::vector<std::uint32_t> v;
    for (std::size_t i = 0; i < out->Data.size() / 4; ++i)
      v.push_back(frameAt(out->Data, i));
    return v;
  }

  TempDir dir;
  const std::uint32_t frames[3] = {301, 57, 1000};
  std::vector<std::string> files;
  ComponentPtr<RawPcmIn> file;
  ComponentPtr<TAudioPlayList> list;
  ComponentPtr<RecordingOutput> out;
  int itemChanges = 0;
  int done = 0;
  std::vector<std::string> messages;
};

TEST_F(PlayList, ThreeFilesPlayInOrderWithoutAGap) {
  runToEnd();
  std::vector<std::uint32_t> expected;
  for (int i = 0; i < 3; ++i) {
    const auto f = framesOf(i);
    expected.insert(expected.end(), f.begin(), f.end());
  }
  EXPECT_EQ(received(), expected);
  EXPECT_EQ(itemChanges, 3);
  EXPECT_EQ(list->CurrentItem(), 2);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(list->Size(), -1);
  EXPECT_EQ(out->Progress(), -1);
  EXPECT_EQ(list->Position(), static_cast<std::int64_t>(expected.size() * 4));
  EXPECT_FALSE(file->IsOpen()) << "the run's end closes the file";
}

TEST_F(PlayList, StartsAtTheStoredItem) {
  list->SetCurrentItem(2);
  runToEnd();
  EXPECT_EQ(received(), framesOf(2));
  EXPECT_EQ(itemChanges, 1);
  EXPECT_EQ(list->CurrentItem(), 2);

  // A second run goes on from the item that was playing; Position keeps counting.
  const std::int64_t before = list->Position();
  done = 0;
  out->Data.clear();
  runToEnd();
  EXPECT_EQ(received(), framesOf(2));
  EXPECT_EQ(list->Position(), 2 * before);
}

TEST_F(PlayList, AnItemBeyondTheListPlaysTheFirstFileOnly) {
  // Stored while idle through the list, as a saved setting would be.
  list->SetFiles({files[0], files[1], files[2], files[0], files[1], files[2]});
  list->SetCurrentItem(5);
  list->SetFiles(files);
  EXPECT_EQ(list->CurrentItem(), 5);
  runToEnd();
  EXPECT_EQ(received(), framesOf(0));
  EXPECT_EQ(list->CurrentItem(), 5);
  EXPECT_EQ(itemChanges, 1);
}

TEST_F(PlayList, AWrappingListCutBelowTheStoredItemPlaysOnInOrder) {
  // Stopped at the fourth of five, then cut to two: the first file must not come twice.
  list->SetFiles({files[0], files[1], files[2], files[0], files[1]});
  list->SetCurrentItem(3);
  list->SetFiles({files[0], files[1]});
  list->SetWrap(true);
  out->BlockDelayMs = 1; // the items stay among the recent ones until checked
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return list->ItemSerial() >= 3; }));
  out->Stop(false);
  std::vector<std::uint16_t> order;
  for (std::uint64_t serial = 1; serial <= 3; ++serial)
    order.push_back(list->PlayItem(serial).value().Index);
  EXPECT_EQ(order, (std::vector<std::uint16_t>{0, 1, 0}));
  std::vector<std::uint32_t> expected = framesOf(0);
  const auto second = framesOf(1);
  expected.insert(expected.end(), second.begin(), second.end());
  const std::vector<std::uint32_t> heard = received();
  ASSERT_GE(heard.size(), expected.size());
  EXPECT_EQ(std::vector<std::uint32_t>(heard.begin(), heard.begin() + expected.size()), expected);
}

TEST_F(PlayList, CurrentItemRulesWhileIdle) {
  list->SetCurrentItem(3);
  EXPECT_EQ(list->CurrentItem(), 0) << "an index beyond the list is ignored";
  list->SetCurrentItem(1);
  EXPECT_EQ(list->CurrentItem(), 1);
  EXPECT_FALSE(file->IsOpen()) << "idle: only the index is stored";
  EXPECT_EQ(itemChanges, 0);
  list->SetFiles({});
  list->SetCurrentItem(0);
  EXPECT_EQ(list->CurrentItem(), 0);
}

TEST_F(PlayList, MissingFileInTheMiddleEndsTheRunWithTheOpenError) {
  std::filesystem::remove(files[1]);
  runToEnd();
  // The block that was being filled when the open failed is lost with the run.
  const auto f1 = framesOf(0);
  const std::size_t whole = f1.size() * 4 / out->BlockSize * out->BlockSize / 4;
  EXPECT_EQ(received(), std::vector<std::uint32_t>(f1.begin(), f1.begin() + whole));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "No such file or directory");
  EXPECT_EQ(out->ExceptionMessage(), "No such file or directory");
  EXPECT_EQ(list->CurrentItem(), 1) << "names the item that failed";
  EXPECT_FALSE(out->IsBusy());
  EXPECT_FALSE(file->IsBusy());
}

TEST_F(PlayList, StartFailures) {
  list->SetFiles({});
  runToEnd();
  EXPECT_EQ(out->ExceptionMessage(), "List index out of bounds (0)");

  list->SetInput(nullptr);
  try {
    list->Init();
    ADD_FAILURE() << "started without an input";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Input is not assigned.");
  }
  list->Reset();

  auto memory = MakeComponent<MemorySource>(100);
  list->SetInput(memory.get());
  try {
    list->Init();
    ADD_FAILURE() << "started on a source that is not a file source";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "PlayList input should be a file-reading component.");
  }
  list->Reset();
  list->SetInput(nullptr);
}

TEST_F(PlayList, FormatIsTheCurrentFilesFormat) {
  writeRawPcm(files[1], 10, 2, 22050);
  list->SetCurrentItem(1);
  list->Init();
  EXPECT_EQ(list->SampleRate(), 22050u);
  list->SetCurrentItem(0);
  EXPECT_EQ(list->SampleRate(), 1000u);
  list->Flush();
}

TEST_F(PlayList, SwitchWhileIdleReadingRestartsFromTheChosenFilesStart) {
  list->Init();
  drainSource(*list, 64, 64);
  list->SetCurrentItem(1);
  EXPECT_EQ(drainSource(*list, 64, 64).size(), 64u);
  list->SetCurrentItem(1); // the playing item again: restarts it
  const auto data = drainSource(*list, 8, 8);
  EXPECT_EQ(frameAt(data, 0), (2u << 24) | 0);
  EXPECT_EQ(frameAt(data, 1), (2u << 24) | 1);

  std::filesystem::remove(files[2]);
  EXPECT_THROW(list->SetCurrentItem(2), EAuException);
  EXPECT_EQ(list->CurrentItem(), 2);
  // The lock was released: another thread can take it.
  std::atomic<bool> locked{false};
  std::thread other([&] {
    list->_Lock();
    locked = true;
    list->_Unlock();
  });
  other.join();
  EXPECT_TRUE(locked);
  list->Reset();
}

TEST_F(PlayList, SwitchWaitsForAReadInProgress) {
  list->Init();
  list->_Lock(); // as the worker does for the length of one read
  std::atomic<bool> switched{false};
  std::thread main([&] {
    list->SetCurrentItem(2);
    switched = true;
  });
  std::this_thread::sleep_for(50ms); // a switch that ignored the lock would be done by now
  EXPECT_FALSE(switched);
  EXPECT_EQ(frameAt(drainSource(*list, 4, 4), 0), (1u << 24) | 0) << "file changed under a read";
  list->_Unlock();
  main.join();
  EXPECT_TRUE(switched);
  EXPECT_EQ(frameAt(drainSource(*list, 4, 4), 0), (3u << 24) | 0);
  list->Flush();
}

// The main thread switches items again and again while the worker reads. Every frame the
// output receives must continue the previous one or start a file at its first frame, and the
// switches must show up in the data in the order they were made.
TEST_F(PlayList, SwitchingFromTheMainThreadWhileTheWorkerReads) {
  const std::uint32_t big = 200000;
  for (std::uint8_t i = 0; i < 3; ++i)
    writeRawPcm(files[i], big, static_cast<std::uint8_t>(i + 1));
  file->MaxChunk = 40;
  out->BlockDelayMs = 1;
  out->Run();
  // Switches before the worker's start would only store the index.
  ASSERT_TRUE(pumpUntil([&] {
    std::lock_guard lock(out->DataMutex);
    return !out->Data.empty();
  }));
  std::vector<int> targets;
  for (int i = 0; i < 150; ++i) {
    const int target = (i * 7 + 1) % 3;
    std::size_t before = 0;
    {
      std::lock_guard lock(out->DataMutex);
      before = out->Data.size();
    }
    list->SetCurrentItem(static_cast<std::uint16_t>(target));
    targets.push_back(target);
    // Let a few blocks through, so the next switch meets the worker at another point.
    ASSERT_TRUE(pumpUntil(
        [&] {
          std::lock_guard lock(out->DataMutex);
          return out->Data.size() >= before + 3 * out->BlockSize;
        },
        5s))
        << "no data after switch " << i;
  }
  out->Stop(false);
  ASSERT_TRUE(pumpUntil([&] { return itemChanges == 1 + static_cast<int>(targets.size()); }))
      << itemChanges;
  EXPECT_TRUE(messages.empty());

  const auto data = received();
  ASSERT_FALSE(data.empty());
  std::vector<int> starts;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::uint32_t id = data[i] >> 24, frame = data[i] & 0xFFFFFF;
    ASSERT_GE(id, 1u);
    ASSERT_LE(id, 3u);
    ASSERT_LT(frame, big - 1) << "a file ran to its end; the switches came too slowly";
    if (frame == 0) {
      starts.push_back(static_cast<int>(id) - 1);
      continue;
    }
    ASSERT_GT(i, 0u);
    ASSERT_EQ(data[i], data[i - 1] + 1) << "frame " << i << " neither continues nor restarts";
  }
  ASSERT_FALSE(starts.empty());
  EXPECT_EQ(starts.front(), 0) << "the run starts with the first item";
  // Every switch started its file, in order (the last ones may not have been read yet).
  const std::vector<int> switched(starts.begin() + 1, starts.end());
  ASSERT_LE(switched.size(), targets.size());
  EXPECT_GE(switched.size() + 1, targets.size());
  EXPECT_TRUE(std::equal(switched.begin(), switched.end(), targets.begin()));
}

TEST_F(PlayList, DestroyingThePlayListDropsItsQueuedEvents) {
  std::atomic<int> calls{0};
  list->OnPlayItemChanged = [&](TComponent*) { ++calls; };
  list->Init();
  for (int i = 0; i < 20; ++i)
    list->SetCurrentItem(static_cast<std::uint16_t>(i % 3));
  out->SetInput(nullptr);
  list.reset(); // no event may run after this
  const int atDestruction = calls;
  for (int i = 0; i < 20; ++i)
    mainThreadDispatcher().waitAndPump(2ms);
  EXPECT_EQ(calls, atDestruction);
  EXPECT_LT(atDestruction, 21) << "events were not queued at all";
}

} // namespace
} // namespace sondrix::testing
