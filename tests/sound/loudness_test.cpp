#include "signals.h"
#include "sound/track_analysis.h"
#include "sound/track_analyzer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace sondrix {
namespace {

using testing::Signal;

double integrated(const Signal& S) {
  LoudnessMeter Meter(S.Rate, S.Channels);
  Meter.Add(S.Samples.data(), S.frames());
  return Meter.Integrated().value_or(-HUGE_VAL);
}

// In uneven blocks, as a decoder delivers them.
TrackAnalysis analyse(const Signal& S, std::size_t Block = 1777) {
  TrackAnalyzer Analyzer(S.Rate, S.Channels);
  for (std::size_t I = 0; I < S.frames(); I += Block)
    Analyzer.Add(S.Samples.data() + I * S.Channels, std::min(Block, S.frames() - I));
  return Analyzer.Finish();
}

TEST(LoudnessMeter, ReadsTheEbuReferenceFigures) {
  for (std::uint32_t Rate : {48000u, 44100u}) {
    EXPECT_NEAR(integrated(Signal(Rate, 2).tone(20, -23)), -23.0, 0.1) << Rate;
    EXPECT_NEAR(integrated(Signal(Rate, 2).tone(20, -33)), -33.0, 0.1) << Rate;
  }
  // The gates leave out the quieter stretches.
  EXPECT_NEAR(integrated(Signal(48000, 2).tone(10, -36).tone(60, -23).tone(10, -36)), -23.0, 0.1);
  EXPECT_NEAR(
      integrated(
          Signal(48000, 2).tone(10, -72).tone(10, -36).tone(60, -23).tone(10, -36).tone(10, -72)),
      -23.0, 0.1);
  // Mono goes out on both channels: it reads as its stereo copy does.
  EXPECT_NEAR(integrated(Signal(48000, 1).tone(20, -23)), -23.0, 0.1);

  const Signal Tone = Signal(48000, 2).tone(2, -23);
  LoudnessMeter Meter(48000, 2);
  EXPECT_EQ(Meter.PeakDb(), -HUGE_VAL);
  Meter.Add(Tone.Samples.data(), 4800); // 100 ms: no gating block yet
  EXPECT_FALSE(Meter.Integrated());
  Meter.Add(Tone.Samples.data() + 4800 * 2, Tone.frames() - 4800);
  EXPECT_NEAR(Meter.Momentary(), -23.0, 0.1);
  EXPECT_NEAR(Meter.PeakDb(), -23.0, 0.01);
  EXPECT_THROW(LoudnessMeter(48000, 0), std::runtime_error);
}

TEST(TrackAnalyzer, FindsCuePointsAtTheEndsOfTheSound) {
  const Signal Padded = Signal(44100, 2).silence(1).tone(20, -20).silence(2);
  const TrackAnalysis A = analyse(Padded);
  EXPECT_FALSE(A.Silent);
  EXPECT_NEAR(A.Loudness, -20.0, 0.1);
  EXPECT_NEAR(A.Peak, -20.0, 0.01);
  EXPECT_DOUBLE_EQ(A.Duration, 23.0);
  EXPECT_NEAR(A.CueIn, 1.0, 0.02);
  EXPECT_NEAR(A.CueOut, 21.0, 0.02);
  EXPECT_FALSE(A.FadesOut()); // a cold ending
  EXPECT_EQ(A.FadeStart, A.CueOut);
  // However the frames arrive.
  EXPECT_EQ(analyse(Padded, Padded.frames()).CueOut, A.CueOut);
  EXPECT_NEAR(analyse(Signal(44100, 2).silence(0.5).tone(1, -20), 1).CueIn, 0.5, 0.02);

  // In a quiet track a -60 dBFS intro and outro are music, in a loud one the hiss around it.
  const auto track = [](double Db) {
    return analyse(Signal(44100, 2).silence(1).tone(2, -60).tone(20, Db).tone(2, -60).silence(1));
  };
  const TrackAnalysis Quiet = track(-30), Loud = track(-6);
  EXPECT_NEAR(Quiet.Loudness, -30.0, 0.1);
  EXPECT_NEAR(Quiet.CueIn, 1.0, 0.02);
  EXPECT_NEAR(Quiet.CueOut, 25.0, 0.02);
  EXPECT_NEAR(Loud.CueIn, 3.0, 0.02);
  EXPECT_NEAR(Loud.CueOut, 23.0, 0.02);
}

TEST(TrackAnalyzer, FindsWhereAFadeOutStarts) {
  const auto fading = [](double FadeSeconds) {
    return analyse(Signal(44100, 2).tone(20, -10).tone(FadeSeconds, -10, 1000, 0, true).silence(1));
  };
  const TrackAnalysis A = fading(3);
  EXPECT_TRUE(A.FadesOut());
  EXPECT_GE(A.FadeStart, 19.9); // such a fade is 2 LU down 0.6 s in
  EXPECT_LE(A.FadeStart, 20.7);
  EXPECT_NEAR(A.CueOut, 23.0, 0.1);
  // Falling away in less than a second is a cold ending.
  const TrackAnalysis Short = fading(0.3);
  EXPECT_FALSE(Short.FadesOut());
  EXPECT_EQ(Short.FadeStart, Short.CueOut);
}

TEST(TrackAnalyzer, CallsATrackWithoutSoundSilentAndLeavesItsGainAlone) {
  for (const Signal& S : {Signal(44100, 2).silence(5), Signal(48000, 1).tone(5, -90)}) {
    const TrackAnalysis A = analyse(S);
    EXPECT_TRUE(A.Silent);
    EXPECT_FALSE(A.FadesOut());
    EXPECT_DOUBLE_EQ(A.Duration, 5.0);
    EXPECT_EQ(gainDbFor(A, -16), 0.0);
  }
  EXPECT_TRUE(analyse(Signal(44100, 2)).Silent);

  EXPECT_DOUBLE_EQ(gainDbFor(-9.0, -16.0), -7.0);
  EXPECT_DOUBLE_EQ(gainDbFor(-20.0, -16.0), 4.0);
  EXPECT_DOUBLE_EQ(gainDbFor(TrackAnalysis{.Loudness = -40}, -16.0), 12.0);
  EXPECT_DOUBLE_EQ(gainDbFor(-40.0, -16.0, 6.0), 6.0);
  EXPECT_DOUBLE_EQ(silenceThresholdDb(std::nullopt), -60.0);
  EXPECT_DOUBLE_EQ(silenceThresholdDb(-23.0), -63.0);
  EXPECT_DOUBLE_EQ(silenceThresholdDb(-3.0), -45.0);
  EXPECT_DOUBLE_EQ(silenceThresholdDb(-55.0), -80.0);
}

} // namespace
} // namespace sondrix
