#include "track_analyzer.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace sondrix {

namespace {

struct Ebur128Closer {
  void operator()(ebur128_state* State) const { ebur128_destroy(&State); }
};
using Ebur128Ptr = std::unique_ptr<ebur128_state, Ebur128Closer>;

constexpr float kNoSound = -std::numeric_limits<float>::infinity();
// Seconds from the end of a momentary window back to its middle.
constexpr double kMomentaryCentre = 0.2;

float meanSquareDb(double Sum, std::size_t Samples) {
  return Sum > 0 ? static_cast<float>(10 * std::log10(Sum / static_cast<double>(Samples)))
                 : kNoSound;
}

// Frames in a stretch of Seconds, at least one so that odd rates still make progress.
std::size_t framesFor(std::uint32_t Rate, double Seconds) {
  return std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(Rate * Seconds)));
}

} // namespace

struct LoudnessMeter::State {
  Ebur128Ptr Handle;
  std::uint32_t Channels = 0;
};

LoudnessMeter::LoudnessMeter(std::uint32_t SampleRate, std::uint32_t Channels)
    : FState(std::make_unique<State>()) {
  // True-peak mode would oversample every sample and cost most of the time; the limiter
  // guards the true peak at playout anyway.
  FState->Handle.reset(
      SampleRate == 0 || Channels == 0
          ? nullptr
          : ebur128_init(Channels, SampleRate, EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK));
  if (!FState->Handle)
    throw std::runtime_error("cannot measure the loudness of " + std::to_string(Channels) +
                             " channels at " + std::to_string(SampleRate) + " Hz");
  FState->Channels = Channels;
  // A mono track goes out on both channels of the stream: measure it as heard there.
  if (Channels == 1)
    ebur128_set_channel(FState->Handle.get(), 0, EBUR128_DUAL_MONO);
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::Add(const float* Interleaved, std::size_t Frames) {
  if (Frames == 0)
    return;
  if (ebur128_add_frames_float(FState->Handle.get(), Interleaved, Frames) != EBUR128_SUCCESS)
    throw std::runtime_error("out of memory measuring loudness");
}

std::optional<double> LoudnessMeter::Integrated() const {
  double Lufs = 0;
  if (ebur128_loudness_global(FState->Handle.get(), &Lufs) != EBUR128_SUCCESS ||
      !std::isfinite(Lufs))
    return std::nullopt;
  return Lufs;
}

double LoudnessMeter::Momentary() const {
  double Lufs = -HUGE_VAL;
  if (ebur128_loudness_momentary(FState->Handle.get(), &Lufs) != EBUR128_SUCCESS ||
      std::isnan(Lufs))
    return -HUGE_VAL;
  return Lufs;
}

double LoudnessMeter::PeakDb() const {
  double Peak = 0;
  for (std::uint32_t C = 0; C < FState->Channels; ++C) {
    double ChannelPeak = 0;
    if (ebur128_sample_peak(FState->Handle.get(), C, &ChannelPeak) == EBUR128_SUCCESS)
      Peak = std::max(Peak, ChannelPeak);
  }
  return Peak > 0 ? 20 * std::log10(Peak) : -HUGE_VAL;
}

TrackAnalyzer::TrackAnalyzer(std::uint32_t SampleRate, std::uint32_t Channels)
    : FRate(SampleRate), FChannels(Channels), FMeter(SampleRate, Channels),
      FChunkLen(framesFor(SampleRate, 0.010)), FStepLen(framesFor(SampleRate, 0.100)) {}

TrackAnalyzer::~TrackAnalyzer() = default;

void TrackAnalyzer::Add(const float* Interleaved, std::size_t Frames) {
  while (Frames > 0) {
    // Up to the next 10 ms or 100 ms boundary, whichever comes first.
    const std::size_t N = std::min({Frames, FChunkLen - FChunkFrames, FStepLen - FStepFrames});
    FMeter.Add(Interleaved, N);
    const float* End = Interleaved + N * FChannels;
    double Sum = 0;
    for (const float* S = Interleaved; S != End; ++S)
      Sum += static_cast<double>(*S) * *S;
    FChunkSum += Sum;
    FChunkFrames += N;
    FStepFrames += N;
    FFrames += N;
    Interleaved = End;
    Frames -= N;
    if (FChunkFrames == FChunkLen) {
      FChunkDb.push_back(meanSquareDb(FChunkSum, FChunkLen * FChannels));
      FChunkFrames = 0;
      FChunkSum = 0;
    }
    if (FStepFrames == FStepLen) {
      FMomentaryDb.push_back(static_cast<float>(FMeter.Momentary()));
      FStepFrames = 0;
    }
  }
}

std::optional<double> TrackAnalyzer::LoudnessSoFar() const {
  return FMeter.Integrated();
}

TrackAnalysis TrackAnalyzer::Finish() {
  const double Rate = FRate;
  TrackAnalysis Result;
  Result.Duration = static_cast<double>(FFrames) / Rate;
  Result.Peak = FMeter.PeakDb();

  // The stretches cut short by the end count like whole ones but are not kept: more frames
  // may still complete them.
  const std::size_t Chunks = FChunkDb.size() + (FChunkFrames > 0 ? 1 : 0);
  const auto chunkDb = [&](std::size_t I) {
    return I < FChunkDb.size() ? FChunkDb[I] : meanSquareDb(FChunkSum, FChunkFrames * FChannels);
  };
  const auto chunkStart = [&](std::size_t I) { return static_cast<double>(I * FChunkLen) / Rate; };
  const auto chunkEnd = [&](std::size_t I) {
    return static_cast<double>(std::min((I + 1) * FChunkLen, FFrames)) / Rate;
  };

  const std::optional<double> Loudness = FMeter.Integrated();
  const double Threshold = silenceThresholdDb(Loudness);
  std::size_t First = 0;
  while (First < Chunks && !(chunkDb(First) > Threshold))
    ++First;
  if (!Loudness || First == Chunks) {
    Result.Loudness = Loudness.value_or(0);
    Result.Silent = true;
    Result.CueIn = 0;
    Result.CueOut = Result.FadeStart = Result.Duration;
    return Result;
  }
  std::size_t Last = Chunks - 1;
  while (!(chunkDb(Last) > Threshold))
    --Last;
  Result.Loudness = *Loudness;
  Result.CueIn = chunkStart(First);
  Result.CueOut = chunkEnd(Last);

  // Each momentary figure covers the 400 ms before its step's end; its middle is where that
  // level was heard, which keeps a fade's start from being found late.
  const std::size_t Steps = FMomentaryDb.size() + (FStepFrames > 0 ? 1 : 0);
  const double Loud = *Loudness - 2.0;
  Result.FadeStart = Result.CueOut;
  for (std::size_t I = Steps; I-- > 0;) {
    const double Momentary = I < FMomentaryDb.size() ? FMomentaryDb[I] : FMeter.Momentary();
    if (Momentary >= Loud) {
      const double StepEnd = static_cast<double>(std::min((I + 1) * FStepLen, FFrames)) / Rate;
      const double Heard = std::max(Result.CueIn, StepEnd - kMomentaryCentre);
      if (Result.CueOut - Heard >= 1.0)
        Result.FadeStart = Heard;
      break;
    }
  }
  return Result;
}

} // namespace sondrix
