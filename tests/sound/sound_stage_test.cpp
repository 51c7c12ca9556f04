#include "signals.h"
#include "sound/sound_stage.h"
#include "sound/track_analyzer.h"
#include "tone_presence.h"

#include <gtest/gtest.h>

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace sondrix {
namespace {

using testing::kStepsPerSecond;
using testing::presence;
using testing::Signal;

constexpr std::uint32_t kRate = 44100;

std::vector<std::int16_t> toInt16(const std::vector<float>& Samples) {
  std::vector<std::int16_t> out;
  for (float v : Samples)
    out.push_back(
        static_cast<std::int16_t>(std::clamp(std::lround(v * 32768.0f), -32768L, 32767L)));
  return out;
}

// A list of items as a playlist delivers them: 16-bit blocks of one item each, of uneven
// sizes, each item under a serial of its own; with Wrap it starts over, as the station's does.
class ItemList : public TAuInput {
public:
  ItemList(std::uint32_t Channels, const std::vector<Signal>& Items, bool Wrap = false)
      : FChannels(Channels), FWrap(Wrap) {
    for (const Signal& item : Items)
      FItems.push_back(toInt16(item.Samples));
  }
  std::uint64_t ItemSerial() override { return FServed; }
  std::uint64_t Opened() const { return FSerial; }
  // Switches to item Index at once, as a playlist does for a skip. Caller holds DataLock().
  void Jump(std::size_t Index) {
    FIndex = Index;
    FOffset = 0;
    ++FSerial;
  }

protected:
  std::uint32_t GetBitsPerSample() override { return 16; }
  std::uint32_t GetChannels() override { return FChannels; }
  std::uint32_t GetSampleRate() override { return kRate; }
  void DoInit() override {
    FIndex = FOffset = 0;
    FSerial = 1;
    Busy = true;
  }
  void DoFlush() override { Busy = false; }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    if (FIndex == FItems.size() && FWrap && ++FLaps < 1000) {
      FIndex = 0;
      ++FSerial;
    }
    if (FIndex == FItems.size()) {
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    const std::vector<std::int16_t>& item = FItems[FIndex];
    const std::size_t frames =
        std::min<std::size_t>({Bytes / (2 * FChannels), 700 + (FOffset / FChannels) % 901,
                               (item.size() - FOffset) / FChannels});
    Buffer = const_cast<std::int16_t*>(item.data() + FOffset);
    Bytes = static_cast<std::uint32_t>(frames * 2 * FChannels);
    FServed = FSerial;
    FOffset += frames * FChannels;
    if (FOffset == item.size()) {
      ++FIndex;
      FOffset = 0;
      if (FIndex < FItems.size())
        ++FSerial;
    }
  }

private:
  std::uint32_t FChannels;
  bool FWrap;
  std::vector<std::vector<std::int16_t>> FItems;
  std::size_t FIndex = 0, FOffset = 0, FLaps = 0;
  std::uint64_t FSerial = 0, FServed = 0;
};

struct Played {
  std::vector<float> Samples;                                 // interleaved
  std::vector<std::pair<std::size_t, std::uint64_t>> Changes; // frame, serial heard from there
  std::vector<std::string> Skipped;
};

// Plays the items through a stage as the encoder's worker pulls: 80 ms at a time.
Played play(const std::vector<Signal>& Items, SoundParams Params, bool KnownAnalyses,
            bool Wrap = false, std::size_t MaxFrames = 60 * kRate) {
  const std::uint32_t channels = Items.front().Channels;
  auto list = MakeComponent<ItemList>(channels, Items, Wrap);
  auto stage = MakeComponent<TSoundStage>();
  std::map<std::string, TrackAnalysis> analyses;
  for (std::size_t i = 0; i < Items.size(); ++i) {
    TrackAnalyzer analyzer(kRate, channels);
    analyzer.Add(Items[i].Samples.data(), Items[i].frames());
    analyses["item" + std::to_string(i)] = analyzer.Finish();
  }
  const std::size_t count = Items.size();
  stage->SetItemLookup([count](std::uint64_t Serial) -> std::optional<SoundItem> {
    return SoundItem{"item" + std::to_string((Serial - 1) % count), count};
  });
  stage->SetAnalysisLookup([&](const std::string& Path) -> std::optional<TrackAnalysis> {
    if (!KnownAnalyses)
      return std::nullopt;
    return analyses.at(Path);
  });
  stage->SetParams(Params);
  stage->SetInput(list.get());
  stage->Init();
  Played played;
  std::uint64_t heard = 0;
  while (played.Samples.size() / channels < MaxFrames) {
    void* p = nullptr;
    std::uint32_t bytes = 3528 * 2 * channels;
    stage->GetData(p, bytes);
    if (bytes == 0)
      break;
    const auto* s = static_cast<const std::int16_t*>(p);
    for (std::size_t i = 0; i < bytes / 2; ++i)
      played.Samples.push_back(s[i] / 32768.0f);
    if (stage->AudibleSerial() != heard) {
      heard = stage->AudibleSerial();
      played.Changes.emplace_back(played.Samples.size() / channels, heard);
    }
  }
  played.Skipped = stage->TakeSkipped();
  stage->Flush();
  return played;
}

// Stereo sine whose mean square is RmsDbfs.
Signal tone(double Seconds, double RmsDbfs, double Hz, bool Fade = false) {
  Signal s(kRate, 2);
  s.tone(Seconds, RmsDbfs + 3.0103, Hz, 0, Fade);
  return s;
}

double loudness(const std::vector<float>& Samples, std::size_t From, std::size_t To) {
  LoudnessMeter meter(kRate, 2);
  meter.Add(Samples.data() + 2 * From, To - From);
  return meter.Integrated().value_or(-100);
}

double truePeakDb(const std::vector<float>& Samples) {
  ebur128_state* st = ebur128_init(2, kRate, EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(st, Samples.data(), Samples.size() / 2);
  double a = 0, b = 0;
  ebur128_true_peak(st, 0, &a);
  ebur128_true_peak(st, 1, &b);
  ebur128_destroy(&st);
  return 20 * std::log10(std::max(a, b));
}

// Seconds from the start to where Hz is first and last heard: within 30 dB of its loudest.
std::pair<double, double> heardSpan(const std::vector<float>& Samples, double Hz) {
  const std::vector<double> p = presence(Samples, Hz);
  if (p.empty())
    return {-1, -1};
  const double floor = *std::max_element(p.begin(), p.end()) - 30;
  const auto first = std::find_if(p.begin(), p.end(), [&](double v) { return v > floor; });
  const auto last = std::find_if(p.rbegin(), p.rend(), [&](double v) { return v > floor; });
  // A window centred half a step past its start; the last one heard ends a window later.
  return {static_cast<double>(first - p.begin() + 1) / kStepsPerSecond,
          static_cast<double>(p.rend() - last + 1) / kStepsPerSecond};
}

TEST(SoundStage, WithNothingAskedItemsPassBitExactAndBackToBack) {
  SoundParams off;
  off.TargetLufs.reset();
  off.TrimSilence = false;
  Signal a = tone(0.5, -20, 440);
  a.silence(0.3);
  const std::vector<Signal> items = {a, tone(0.7, -10, 880), tone(0.05, -30, 1200)};
  const Played played = play(items, off, false);
  std::vector<float> expected;
  for (const Signal& s : items)
    for (std::int16_t v : toInt16(s.Samples))
      expected.push_back(v / 32768.0f);
  ASSERT_EQ(played.Samples.size(), expected.size());
  EXPECT_EQ(played.Samples, expected);
  // Each item is heard from the block that reaches its first frame.
  ASSERT_EQ(played.Changes.size(), 3u);
  EXPECT_EQ(played.Changes[0].second, 1u);
  EXPECT_EQ(played.Changes[1].second, 2u);
  const std::size_t secondStarts = a.frames();
  EXPECT_GT(played.Changes[1].first, secondStarts);
  EXPECT_LE(played.Changes[1].first, secondStarts + 3528);
}

TEST(SoundStage, SilenceGoesOnlyAtItemEndsAndSilentItemsAreSkipped) {
  SoundParams trim;
  trim.TargetLufs.reset();
  Signal padded(kRate, 2);
  padded.silence(1.0).tone(2.0, -20, 440).silence(0.5).tone(1.0, -20, 440).silence(2.0);
  Signal silent(kRate, 2);
  silent.silence(3.0);
  // A quiet track's quiet passage is music, not silence: -52 dBFS under a -40 dBFS body.
  Signal quiet = tone(1.0, -40, 1760);
  Signal soft = tone(0.5, -52, 1760);
  quiet.Samples.insert(quiet.Samples.end(), soft.Samples.begin(), soft.Samples.end());
  const Played played = play({padded, silent, quiet}, trim, true);
  EXPECT_EQ(played.Skipped, std::vector<std::string>{"item1"});
  // 2 + 0.5 (inside the track) + 1 s of the first, then 1.5 s of the last: nothing else.
  const double seconds = static_cast<double>(played.Samples.size() / 2) / kRate;
  EXPECT_NEAR(seconds, 3.5 + 1.5, 0.04);
  const auto [from440, to440] = heardSpan(played.Samples, 440);
  EXPECT_NEAR(from440, 0.0, 0.04);
  EXPECT_NEAR(to440, 3.5, 0.04);
  const auto [fromQuiet, toQuiet] = heardSpan(played.Samples, 1760);
  EXPECT_NEAR(fromQuiet, 3.5, 0.04);
  EXPECT_NEAR(toQuiet, 5.0, 0.04);

  // A list of nothing but silence, played round and round, ends instead of spinning.
  Signal hush(kRate, 2);
  hush.silence(0.4);
  const Played none = play({hush, hush, hush}, trim, false, true);
  EXPECT_TRUE(none.Samples.empty());
  EXPECT_EQ(none.Skipped.size(), 3u);
}

TEST(SoundStage, QuietAndLoudItemsReachTheTargetWithPeaksUnderTheCeiling) {
  const SoundParams loud; // -16 LUFS, -1 dBTP
  // A square-ish wave at full scale: far above the ceiling at any gain.
  Signal harsh = tone(3.0, -12, 997);
  for (float& v : harsh.Samples)
    v = std::clamp(v * 8.0f, -0.999f, 0.999f);
  const std::vector<Signal> items = {tone(4.0, -30, 1000), tone(4.0, -12, 1000), harsh,
                                     tone(3.0, -45, 1000)};
  for (const bool known : {true, false}) {
    SCOPED_TRACE(known ? "analysed ahead" : "estimated while playing");
    const Played played = play(items, loud, known);
    ASSERT_NEAR(static_cast<double>(played.Samples.size() / 2), 14.0 * kRate, 0.05 * kRate);
    const auto second = [](double s) { return static_cast<std::size_t>(s * kRate); };
    // Estimated gains settle within the first second; analysed ones are right from the start.
    const double settle = known ? 0.0 : 1.0;
    EXPECT_NEAR(loudness(played.Samples, second(settle), second(4)), -16, 0.5);
    EXPECT_NEAR(loudness(played.Samples, second(4 + settle), second(8)), -16, 0.5);
    // The limiter holds the loud one down without clipping; its loudness stays near.
    EXPECT_NEAR(loudness(played.Samples, second(8 + settle), second(11)), -16, 1.5);
    // A quiet one is raised by at most 12 dB.
    EXPECT_NEAR(loudness(played.Samples, second(11 + settle), second(14)), -45 + 3 + 12, 0.5);
    EXPECT_LE(truePeakDb(played.Samples), -1.0);
    EXPECT_LT(*std::max_element(played.Samples.begin(), played.Samples.end()), 0.9);
  }
}

TEST(SoundStage, CrossfadesCrossFadesWhereTheyBeginAndNeverFadeJingles) {
  SoundParams params;
  params.TargetLufs.reset();
  params.CrossfadeSeconds = 3;
  Signal fading = tone(5.0, -20, 500);
  Signal fade = tone(3.0, -20, 500, true);
  fading.Samples.insert(fading.Samples.end(), fade.Samples.begin(), fade.Samples.end());
  const std::vector<Signal> items = {fading, tone(8.0, -20, 1000), tone(8.0, -20, 2000),
                                     tone(2.0, -20, 3000), tone(7.0, -20, 1500)};
  const Played played = play(items, params, true);
  const auto [start1000, end1000] = heardSpan(played.Samples, 1000);
  const auto [start2000, end2000] = heardSpan(played.Samples, 2000);
  const auto [start3000, end3000] = heardSpan(played.Samples, 3000);
  const auto [start1500, end1500] = heardSpan(played.Samples, 1500);
  const double end500 = heardSpan(played.Samples, 500).second;
  // The next track starts under the fade, where it begins (within the 400 ms that loudness
  // takes to fall), and the fade is the track's own: its end is where the file's fade ends.
  EXPECT_GT(end500 - start1000, 2.0);
  EXPECT_LE(end500 - start1000, 3.0);
  EXPECT_NEAR(end500, 8.0, 0.1);
  // A cold ending is crossed briefly.
  EXPECT_GT(end1000 - start2000, 0.3);
  EXPECT_LE(end1000 - start2000, 0.55);
  // The jingle is neither faded in nor out: back to back on both sides, whole.
  EXPECT_NEAR(start3000, end2000, 0.04);
  EXPECT_NEAR(end3000 - start3000, 2.0, 0.04);
  EXPECT_NEAR(start1500, end3000, 0.04);
  EXPECT_NEAR(end1500 - start1500, 7.0, 0.04);
  // Each item is heard from when it is the louder one.
  ASSERT_EQ(played.Changes.size(), 5u);
  const double heard2 = static_cast<double>(played.Changes[1].first) / kRate;
  EXPECT_GT(heard2, start1000);
  EXPECT_LT(heard2, end500 + 0.1);
}

TEST(SoundStage, ASkipFadesWhatIsQueuedAndTheChosenItemFollowsAtOnce) {
  const std::vector<Signal> items = {tone(6.0, -20, 500), tone(6.0, -20, 1000),
                                     tone(6.0, -20, 2000)};
  for (const double crossfade : {0.0, 3.0}) {
    SCOPED_TRACE(crossfade);
    auto list = MakeComponent<ItemList>(2, items);
    auto stage = MakeComponent<TSoundStage>();
    SoundParams params;
    params.TargetLufs.reset();
    params.CrossfadeSeconds = crossfade;
    stage->SetParams(params);
    stage->SetInput(list.get());
    stage->Init();
    std::vector<float> out;
    const auto pull = [&](double Seconds) {
      while (out.size() < static_cast<std::size_t>(Seconds * kRate) * 2) {
        void* p = nullptr;
        std::uint32_t bytes = 3528 * 4;
        stage->GetData(p, bytes);
        ASSERT_GT(bytes, 0u);
        for (std::size_t i = 0; i < bytes / 2; ++i)
          out.push_back(static_cast<const std::int16_t*>(p)[i] / 32768.0f);
      }
    };
    pull(1.0);
    {
      CriticalSectionGuard lock(stage->DataLock());
      list->Jump(2);
      stage->Skip(list->Opened());
    }
    const double skippedAt = static_cast<double>(out.size() / 2) / kRate;
    pull(4.0);
    stage->Flush();
    const auto [from500, to500] = heardSpan(out, 500);
    const auto [from2000, to2000] = heardSpan(out, 2000);
    EXPECT_NEAR(from500, 0, 0.04);
    // What had been queued fades out within half a second, at once without a crossfade.
    EXPECT_LE(to500 - skippedAt, crossfade > 0 ? 0.55 : 0.05);
    EXPECT_LE(from2000 - skippedAt, crossfade > 0 ? 0.05 : 0.06);
    EXPECT_GE(to2000, 3.9);
    const std::vector<double> skipped = presence(out, 1000);
    // Heard, it would stand at -17 dB: only the click of the cut reaches it.
    EXPECT_LT(*std::max_element(skipped.begin(), skipped.end()), -40) << "the skipped-over item";
  }
}

} // namespace
} // namespace sondrix
