#include "signals.h"
#include "sound/peak_limiter.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

namespace sondrix {
namespace {

using testing::Signal;
const float kCeiling = std::pow(10.0f, -1.0f / 20);

// An independent meter: libebur128's own true-peak interpolator.
double truePeakDb(const float* Samples, std::size_t Frames, std::uint32_t Rate,
                  std::uint32_t Channels) {
  ebur128_state* State = ebur128_init(Channels, Rate, EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(State, Samples, Frames);
  double Peak = 0, P = 0;
  for (std::uint32_t C = 0; C < Channels; ++C)
    Peak = std::max(Peak, ebur128_true_peak(State, C, &P) == EBUR128_SUCCESS ? P : HUGE_VAL);
  ebur128_destroy(&State);
  return 20 * std::log10(Peak);
}

// The whole signal, then the latency's worth of silence to get all of it out.
std::vector<float> limit(PeakLimiter& Limiter, const Signal& S) {
  std::vector<float> Out = S.Samples;
  Out.resize(Out.size() + Limiter.LatencyFrames() * S.Channels);
  for (std::size_t I = 0; I < Out.size() / S.Channels; I += 1000)
    Limiter.Process(Out.data() + I * S.Channels,
                    std::min<std::size_t>(1000, Out.size() / S.Channels - I));
  return Out;
}

TEST(PeakLimiter, DelaysSoundUnderTheCeilingBitExact) {
  for (std::uint32_t Rate : {44100u, 48000u}) {
    Signal S = Signal(Rate, 2).tone(1, -6, 440);
    std::mt19937 Random(7);
    for (float& V : S.Samples)
      V += std::uniform_real_distribution<float>(-0.05f, 0.05f)(Random); // channels differ
    PeakLimiter Limiter(Rate, 2, {.CeilingDbtp = -1.0, .LookaheadMs = 5.0});
    const std::size_t Delay = Limiter.LatencyFrames();
    EXPECT_EQ(Delay, std::size_t(std::lround(Rate * 0.005)));

    std::vector<float> Out = S.Samples;
    std::size_t Done = 0;
    const std::size_t Blocks[] = {1, 7, 300, 4096, 0, 1, 999, S.frames() - 5404};
    for (std::size_t Block : Blocks) {
      Limiter.Process(Out.data() + Done * 2, Block);
      Done += Block;
    }
    ASSERT_EQ(Done, S.frames());
    for (std::size_t I = 0; I < Out.size(); ++I)
      ASSERT_EQ(Out[I], I < Delay * 2 ? 0.0f : S.Samples[I - Delay * 2]) << "sample " << I;
    EXPECT_EQ(Limiter.DeepestGainDb(), 0.0);
  }
}

TEST(PeakLimiter, KeepsLoudSoundUnderTheCeilingMeasuredIndependently) {
  Signal Square(48000, 2), Noise(44100, 2);
  for (int I = 0; I < 48000; ++I)
    Square.Samples.insert(Square.Samples.end(), 2, (I / 50) % 2 ? 1.0f : -1.0f);
  std::mt19937 Random(3);
  for (int I = 0; I < 2 * 44100; ++I)
    Noise.Samples.push_back(std::uniform_real_distribution<float>(-1.5f, 1.5f)(Random));
  Signal Broken = Signal(48000, 2).tone(1, 5.0);
  Broken.Samples[1000] = std::numeric_limits<float>::quiet_NaN();
  Broken.Samples[2001] = std::numeric_limits<float>::infinity();

  // The quarter-rate sine has its samples at -3 dBFS and its peaks between them at 0 dBTP.
  for (const Signal& S : {Square, Noise, Broken, Signal(44100, 1).tone(1, 5.0, 997),
                          Signal(48000, 2).tone(1, 0.0, 12000, std::numbers::pi / 4)}) {
    SCOPED_TRACE(std::to_string(S.Rate) + " Hz, " + std::to_string(S.Channels) + " channels");
    PeakLimiter Limiter(S.Rate, S.Channels);
    const std::vector<float> Out = limit(Limiter, S);
    EXPECT_LE(truePeakDb(Out.data(), Out.size() / S.Channels, S.Rate, S.Channels), -1.0);
    EXPECT_TRUE(
        std::all_of(Out.begin(), Out.end(), [](float V) { return std::fabs(V) <= kCeiling; }));
    EXPECT_LT(Limiter.DeepestGainDb(), -0.5);
    // Held just under the ceiling, not crushed: its last half second.
    const std::size_t Half = S.Rate / 2 * S.Channels;
    EXPECT_GT(truePeakDb(&*(Out.end() - Half - Limiter.LatencyFrames() * S.Channels),
                         Half / S.Channels, S.Rate, S.Channels),
              -1.6);
  }
}

TEST(PeakLimiter, RecoversAfterATransientAndStartsOnlyAheadOfIt) {
  const std::uint32_t Rate = 48000;
  // A -6 dBFS tone with 10 ms at +12 dBFS half a second in, starting at its crest: nothing
  // warns of that first peak before it comes.
  const Signal S =
      Signal(Rate, 2).tone(0.5, -6).tone(0.01, 12, 1000, std::numbers::pi / 2).tone(1.5, -6);
  PeakLimiter Limiter(Rate, 2);
  const std::vector<float> Out = limit(Limiter, S);
  const std::size_t Delay = Limiter.LatencyFrames(), Burst = Rate / 2;
  for (std::size_t I = 0; I + Delay < Burst; ++I)
    ASSERT_EQ(Out[(I + Delay) * 2], S.Samples[I * 2]) << "frame " << I;
  EXPECT_LE(truePeakDb(Out.data(), Out.size() / 2, Rate, 2), -1.0);
  // 13 dB over the ceiling, and more between the samples where the burst jumps in.
  EXPECT_LT(Limiter.DeepestGainDb(), -13.0);
  EXPECT_GT(Limiter.DeepestGainDb(), -16.0);

  // Output level against input level over 20 ms.
  const auto loss = [&](std::size_t From) {
    double In = 0, Limited = 0;
    for (std::size_t I = From; I < From + Rate / 50; ++I) {
      In += S.Samples[I * 2] * S.Samples[I * 2];
      Limited += Out[(I + Delay) * 2] * Out[(I + Delay) * 2];
    }
    return 10 * std::log10(In / Limited);
  };
  EXPECT_GT(loss(Burst + Rate / 100), 1.0); // still held down right after
  EXPECT_LT(loss(Burst + Rate / 100 + Rate / 2), 0.1);
}

} // namespace
} // namespace sondrix
