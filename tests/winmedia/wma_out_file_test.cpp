#include "tags/id3v2_tags.h"
#include "winmedia/wma_out.h"
#include "wma_out_tone_source.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include <sys/resource.h>

namespace sondrix {
namespace {

using namespace wmout_test;
using namespace writer_test;

// Lets the tests see the format list the description query fills.
class TPeekWMAOut : public TWMAOut {
public:
  using TWMAOut::TWMAOut;
  std::size_t listedFormats() const { return FFormats.size(); }
};

class WmaOutFile : public ::testing::Test {
protected:
  void SetUp() override {
    out = MakeComponent<TPeekWMAOut>();
    out->SetDesiredBitrate(128);
    log.watch(*out);
  }
  void TearDown() override {
    out.reset();
    src.reset();
  }
  void useSource(std::vector<ToneSegment> segments) {
    src = MakeComponent<ToneSource>(std::move(segments));
    out->SetInput(src.get());
  }
  // Runs to the end; false when OnDone did not come.
  bool runToEnd() {
    const int before = log.count("done");
    out->Run();
    return pumpUntil([&] { return log.count("done") > before; });
  }
  std::filesystem::path target(const std::string& name) {
    const auto path = dir.path(name);
    out->SetFileName(path.string());
    return path;
  }

  TempDir dir;
  ComponentPtr<ToneSource> src;
  ComponentPtr<TPeekWMAOut> out;
  RunLog log;
};

TEST_F(WmaOutFile, ToneBecomesWmaWithTagsAsAttributes) {
  useSource({{44100, 2, 1000, 3.0}});
  const auto file = target("tone.wma");
  out->SetDesiredBitrate(128);
  TId3v2Tags* tags = out->Id3v2Tags();
  tags->SetTitle(u"Morning \u0422\u0435\u0441\u0442");
  tags->SetArtist(u"The Artist");
  tags->SetAlbum(u"The Album");
  tags->SetGenre(u"Ambient");
  tags->SetYear("2023");
  tags->SetTrack("4");
  tags->SetComment(u"Free to air");
  tags->SetEncoder(u"not an attribute");

  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(log.entries(), std::vector<std::string>{"done"});
  EXPECT_TRUE(log.allOnMain());
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_EQ(out->Status(), TOutputStatus::tosIdle);
  EXPECT_EQ(src->Inits, 1);
  EXPECT_EQ(src->Flushes, 1);

  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("codec_name"), "wmav2");
  EXPECT_EQ(info.at("sample_rate"), "44100");
  EXPECT_EQ(info.at("channels"), "2");
  EXPECT_NEAR(std::stod(info.at("duration")), 3.0, 0.2);
  EXPECT_EQ(info.at("tag:title"), "Morning \xD0\xA2\xD0\xB5\xD1\x81\xD1\x82");
  EXPECT_EQ(info.at("tag:artist"), "The Artist");
  EXPECT_EQ(info.at("tag:album"), "The Album");
  EXPECT_EQ(info.at("tag:genre"), "Ambient");
  EXPECT_EQ(info.at("tag:WM_Year"), "2023");
  EXPECT_EQ(info.at("tag:WM_Track"), "4");
  EXPECT_EQ(info.at("tag:copyright"), "Free to air");
  for (const auto& [key, value] : info)
    EXPECT_NE(value, "not an attribute") << key;

  const auto pcm = decodeS16(file, 44100, 2);
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 2 / 44100, 3.0, 0.2);
  EXPECT_NEAR(dominantFrequency(pcm, 2, 44100, 4410), 1000.0, 15.0);
  EXPECT_NEAR(rms(pcm, 2, 4410), 0.5 / std::sqrt(2.0), 0.05);
}

TEST_F(WmaOutFile, EmptyTagsAreLeftOut) {
  useSource({{44100, 2, 440, 0.5}});
  const auto file = target("plain.wma");
  out->Id3v2Tags()->SetTitle(u"Only a title");
  ASSERT_TRUE(runToEnd());
  const auto info = probe(file);
  EXPECT_EQ(info.at("tag:title"), "Only a title");
  EXPECT_EQ(info.count("tag:artist"), 0u);
  EXPECT_EQ(info.count("tag:album"), 0u);
  EXPECT_EQ(info.count("tag:WM_Year"), 0u);
}

TEST_F(WmaOutFile, MonoAnd48kSourcesAreEncodedAtTheirOwnSpeedAndPitch) {
  // The format choice keeps the first format of the nearest bitrate whose channels match, and
  // the codec offers 44.1 kHz first: other rates are resampled to it.
  for (const ToneSegment& tone :
       {ToneSegment{22050, 1, 500, 2.0}, ToneSegment{48000, 2, 1500, 2.0}}) {
    SCOPED_TRACE(tone.sampleRate);
    useSource({tone});
    const auto file = target("format-" + std::to_string(tone.sampleRate) + ".wma");
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(out->ExceptionMessage(), "");
    const auto info = probe(file);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.at("sample_rate"), "44100");
    EXPECT_EQ(info.at("channels"), std::to_string(tone.channels));
    EXPECT_NEAR(std::stod(info.at("duration")), 2.0, 0.2);
    const auto channels = static_cast<std::uint16_t>(tone.channels);
    const auto pcm = decodeS16(file, 44100, channels);
    EXPECT_NEAR(static_cast<double>(pcm.size()) / channels / 44100, 2.0, 0.2);
    EXPECT_NEAR(dominantFrequency(pcm, channels, 44100, 4410), tone.frequency, 15.0);
  }
}

TEST_F(WmaOutFile, DesiredBitrateCountsSmallValuesAsKilobits) {
  for (const std::uint32_t asked : {128u, 128000u, 64u}) {
    SCOPED_TRACE(asked);
    useSource({{44100, 2, 1000, 1.0}});
    const auto file = target("rate-" + std::to_string(asked) + ".wma");
    out->SetDesiredBitrate(asked);
    ASSERT_TRUE(runToEnd());
    const auto info = probe(file);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.at("bit_rate"), asked == 64u ? "64000" : "128000");
  }
}

TEST_F(WmaOutFile, CodecAndFormatByIndexOverrideTheTarget) {
  ASSERT_GT(out->CodecsCount(), 0);
  EXPECT_EQ(out->CodecsCount(), out->Codecs().size());
  EXPECT_FALSE(out->Codecs()[0].empty());

  // Beyond the codecs: nothing, and no list left over from an earlier query.
  EXPECT_FALSE(out->GetFormatDesc(0, 0).empty());
  EXPECT_GT(out->listedFormats(), 0u);
  EXPECT_EQ(out->GetFormatDesc(out->CodecsCount(), 0), u"");
  EXPECT_EQ(out->listedFormats(), 0u);
  EXPECT_EQ(out->GetFormatDesc(0, 100000), u"");

  std::int32_t index = -1;
  for (std::int32_t i = 0; index < 0 && !out->GetFormatDesc(0, i).empty(); ++i)
    if (out->GetFormatDesc(0, i) == u"64 kbps, 44 kHz, stereo")
      index = i;
  ASSERT_GE(index, 0);

  useSource({{44100, 2, 1000, 1.0}});
  const auto file = target("indexed.wma");
  out->SetCodecIndex(0);
  out->SetFormatIndex(index);
  out->SetDesiredBitrate(320);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(), "");
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("bit_rate"), "64000");
  EXPECT_EQ(info.at("sample_rate"), "44100");

  // A format that does not exist sets no profile, so the writer cannot start.
  out->SetFormatIndex(100000);
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(),
            "Filed to set data writer, possible reason: required WMA codec not installed.");
}

TEST_F(WmaOutFile, UnwritablePathEndsTheRunWithCannotCreateFile) {
  useSource({{44100, 2, 1000, 1.0}});
  out->SetFileName((dir.path("missing") / "folder" / "x.wma").string());
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(), "Cannot create file");
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"exception:Cannot create file", "done"}));
  EXPECT_TRUE(log.allOnMain());
  EXPECT_FALSE(out->IsBusy());
  EXPECT_EQ(src->Flushes, src->Inits); // the source was given back

  // The same output runs again once the path is fixed, and the old message is gone.
  const auto file = target("fixed.wma");
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_FALSE(probe(file).empty());
}

TEST_F(WmaOutFile, MissingFileNameIsReportedBeforeTheSourceStarts) {
  useSource({{44100, 2, 1000, 1.0}});
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(log.entries(),
            (std::vector<std::string>{"exception:File name is not assigned.", "done"}));
  EXPECT_EQ(src->Inits, 0);
}

TEST_F(WmaOutFile, DeviceThatTakesNoDataEndsTheRunWithAnError) {
  // Every write to this device fails with "no space left", the header's already.
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full";
  useSource({{44100, 2, 1000, -1}});
  out->SetFileName("/dev/full");
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(),
            "Filed to set data writer, possible reason: required WMA codec not installed.");
  EXPECT_EQ(log.count("done"), 1);
}

// The file may grow only so far; writes beyond fail (EFBIG) instead of raising a signal.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &FSaved);
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = FSaved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FSaved);
    std::signal(SIGXFSZ, FOldHandler);
  }

private:
  rlimit FSaved{};
  void (*FOldHandler)(int) = nullptr;
};

TEST_F(WmaOutFile, FullDiskDuringTheRunEndsItWithTheWriteError) {
  useSource({{44100, 2, 1000, -1}});
  const auto file = target("full.wma");
  {
    FileSizeLimit limit(64 * 1024); // the header and a few seconds of sound
    ASSERT_TRUE(runToEnd());
  }
  // The write that fails reports it at once, ahead of the error the sink posts.
  const std::string expected = "Failed to write data: 8007001B";
  EXPECT_EQ(out->ExceptionMessage(), expected);
  EXPECT_EQ(log.entries(), (std::vector<std::string>{"exception:" + expected, "done"}));
  EXPECT_FALSE(out->IsBusy());

  // The next run starts afresh: the error the sink reported is not carried over.
  src->SetInput(nullptr);
  useSource({{44100, 2, 1000, 0.5}});
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_NEAR(std::stod(probe(file).at("duration")), 0.5, 0.2);
}

// Reports a runtime status through the file sink's callback from a thread of its own, as
// the runtime does, once a given number of blocks have gone.
class TStatusAfterBlocks : public TWMAOut {
public:
  using TWMAOut::TWMAOut;
  int AfterBlocks = 5;
  WMT_STATUS Status = WMT_ERROR;
  std::atomic<int> Blocks{0};

protected:
  bool WriteBlock(bool Abort) override {
    if (Blocks++ == AfterBlocks && Writer.ErrorCallback) {
      std::thread([this] {
        Writer.ErrorCallback->OnStatus(Status, E_FAIL, WMT_TYPE_DWORD, nullptr, nullptr);
      }).join();
      std::lock_guard lock(SeenLock);
      SeenMessage = ExceptionMessage();
    }
    return TWMAOut::WriteBlock(Abort);
  }

public:
  std::mutex SeenLock;
  std::string SeenMessage;
};

TEST_F(WmaOutFile, RuntimeErrorStatusEndsTheRunAtTheNextBlock) {
  for (const WMT_STATUS status : {WMT_ERROR, WMT_NO_RIGHTS, WMT_NO_RIGHTS_EX, WMT_ERROR_WITHURL}) {
    SCOPED_TRACE(status);
    auto faulty = MakeComponent<TStatusAfterBlocks>();
    RunLog faultyLog;
    faultyLog.watch(*faulty);
    faulty->Status = status;
    faulty->SetDesiredBitrate(128);
    faulty->SetFileName(dir.path("status.wma").string());
    useSource({{44100, 2, 1000, 2.0}});
    faulty->SetInput(src.get());
    faulty->Run();
    ASSERT_TRUE(pumpUntil([&] { return faultyLog.count("done") == 1; }));
    EXPECT_EQ(faultyLog.entries(),
              (std::vector<std::string>{"exception:Windows Media output error", "done"}));
    EXPECT_EQ(faulty->SeenMessage, "Windows Media output error.");
    // The block after the report wrote nothing.
    EXPECT_EQ(faulty->Blocks, faulty->AfterBlocks + 1);
    EXPECT_EQ(src->BytesDelivered, 14112 * faulty->AfterBlocks);
  }
}

TEST_F(WmaOutFile, OtherRuntimeStatusIsIgnored) {
  auto faulty = MakeComponent<TStatusAfterBlocks>();
  RunLog faultyLog;
  faultyLog.watch(*faulty);
  faulty->Status = WMT_CLIENT_CONNECT_EX;
  faulty->SetDesiredBitrate(128);
  const auto file = dir.path("fine.wma");
  faulty->SetFileName(file.string());
  useSource({{44100, 2, 1000, 1.0}});
  faulty->SetInput(src.get());
  faulty->Run();
  ASSERT_TRUE(pumpUntil([&] { return faultyLog.count("done") == 1; }));
  EXPECT_EQ(faultyLog.entries(), std::vector<std::string>{"done"});
  EXPECT_EQ(faulty->ExceptionMessage(), "");
  EXPECT_NEAR(std::stod(probe(file).at("duration")), 1.0, 0.2);
}

TEST_F(WmaOutFile, TagsChangedWhileRunningWaitForTheNextRun) {
  useSource({{44100, 2, 1000, 20.0}});
  const auto file = target("tags.wma");
  out->Id3v2Tags()->SetTitle(u"Before");
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return src->BytesDelivered > 0; }));
  out->Id3v2Tags()->SetTitle(u"During");
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(probe(file).at("tag:title"), "Before");

  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(probe(file).at("tag:title"), "During");
}

TEST_F(WmaOutFile, StopMidRunLeavesAPlayableFile) {
  useSource({{44100, 2, 1000, -1}});
  const auto file = target("stopped.wma");
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return src->BytesDelivered > 176400 * 2; }));
  out->Stop(true);
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  EXPECT_EQ(out->ExceptionMessage(), "");
  const double written = static_cast<double>(src->BytesDelivered) / 176400;
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_NEAR(std::stod(info.at("duration")), written, 0.2);
  const auto pcm = decodeS16(file, 44100, 2);
  EXPECT_NEAR(dominantFrequency(pcm, 2, 44100, 4410), 1000.0, 15.0);
}

TEST_F(WmaOutFile, SourceThatFailsToFlushStillGetsItsFileClosed) {
  useSource({{44100, 2, 1000, 1.5}});
  src->FlushError = "flush failed";
  const auto file = target("flush.wma");
  ASSERT_TRUE(runToEnd());
  EXPECT_FALSE(out->IsBusy());
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_NEAR(std::stod(info.at("duration")), 1.5, 0.2);
}

} // namespace
} // namespace sondrix
