#include "peak_limiter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sondrix {

namespace {

// 4x oversampling by a windowed sinc of kTaps frames. The gain is held flat over the whole
// span of the filter around a peak, so the output's inter-sample peaks scale with it.
constexpr int kPhases = 4;
constexpr int kTaps = 16;
constexpr int kHalf = kTaps / 2; // frames the detector runs behind the input
// Room for what an oversampled estimate of this length misses against a finer one.
constexpr double kMarginDb = 0.2;

using Phase = std::array<float, kTaps>;

std::array<Phase, kPhases - 1> interpolationPhases() {
  std::array<Phase, kPhases - 1> Phases{};
  for (int K = 1; K < kPhases; ++K) {
    double Sum = 0;
    for (int T = 0; T < kTaps; ++T) {
      // Tap T weighs the frame (T - kHalf + 1) after the centre; U is its distance in frames.
      const double U = static_cast<double>(K) / kPhases - (T - kHalf + 1);
      const double X = std::numbers::pi * U;
      const double Sinc = std::sin(X) / X;
      const double V = std::numbers::pi * U / kHalf;
      const double Window = 0.42 + 0.5 * std::cos(V) + 0.08 * std::cos(2 * V);
      Phases[K - 1][T] = static_cast<float>(Sinc * Window);
      Sum += Sinc * Window;
    }
    for (float& C : Phases[K - 1])
      C = static_cast<float>(C / Sum);
  }
  return Phases;
}

double finiteOr(double Value, double Fallback) {
  return std::isfinite(Value) ? Value : Fallback;
}

} // namespace

struct PeakLimiter::State {
  std::uint32_t Channels;
  std::size_t Delay;   // frames, LatencyFrames()
  std::size_t Average; // frames in the moving average of the gain
  std::size_t Hold;    // frames in the sliding minimum
  double Ceiling;      // linear, margin included
  double Release;      // one-pole step towards the held gain, per frame
  std::array<Phase, kPhases - 1> Phases = interpolationPhases();

  // Last kTaps input frames per channel, written twice so that a window is contiguous.
  std::vector<float> History;
  std::size_t HistoryPos = 0;
  std::vector<float> Delayed; // Delay frames, interleaved
  std::size_t DelayedPos = 0;

  // Sliding minimum of the required gain: a ring of (frame, gain), gains increasing.
  std::vector<std::pair<std::uint64_t, double>> MinQueue;
  std::size_t MinHead = 0, MinSize = 0;
  std::uint64_t Frame = 0;

  double Envelope = 1;
  std::vector<double> Window; // last Average envelope values
  std::size_t WindowPos = 0;
  double WindowSum;
  std::size_t Reduced = 0; // envelope values in Window below 1
  double Deepest = 1;

  double requiredGain() const;
  double nextGain(double Required);
};

double PeakLimiter::State::requiredGain() const {
  double Peak = 0;
  for (std::uint32_t C = 0; C < Channels; ++C) {
    const float* X = History.data() + C * 2 * kTaps + HistoryPos;
    Peak = std::max(Peak, static_cast<double>(std::fabs(X[kHalf - 1])));
    for (const Phase& P : Phases) {
      float Y = 0;
      for (int T = 0; T < kTaps; ++T)
        Y += P[T] * X[T];
      Peak = std::max(Peak, static_cast<double>(std::fabs(Y)));
    }
  }
  return Peak > Ceiling ? Ceiling / Peak : 1.0;
}

double PeakLimiter::State::nextGain(double Required) {
  const std::size_t Capacity = MinQueue.size();
  while (MinSize > 0 && MinQueue[(MinHead + MinSize - 1) % Capacity].second >= Required)
    --MinSize;
  MinQueue[(MinHead + MinSize) % Capacity] = {Frame, Required};
  ++MinSize;
  while (Frame - MinQueue[MinHead].first >= Hold) {
    MinHead = (MinHead + 1) % Capacity;
    --MinSize;
  }
  ++Frame;
  const double Held = MinQueue[MinHead].second;

  // Down at once (the average below smooths it), back up slowly; reaching 1 exactly again
  // is what lets later sound through untouched.
  Envelope = Held <= Envelope ? Held : Envelope + (Held - Envelope) * Release;
  if (Held - Envelope < 1e-6)
    Envelope = Held;

  double& Slot = Window[WindowPos];
  Reduced -= Slot < 1 ? 1 : 0;
  Reduced += Envelope < 1 ? 1 : 0;
  WindowSum += Envelope - Slot;
  Slot = Envelope;
  if (++WindowPos == Window.size()) {
    WindowPos = 0;
    // A running sum drifts; start it afresh once per turn.
    WindowSum = 0;
    for (double V : Window)
      WindowSum += V;
  }
  return Reduced == 0 ? 1.0 : std::min(1.0, WindowSum / static_cast<double>(Window.size()));
}

PeakLimiter::PeakLimiter(std::uint32_t SampleRate, std::uint32_t Channels, PeakLimiterParams Params)
    : FState(std::make_unique<State>()) {
  if (SampleRate == 0 || Channels == 0)
    throw std::invalid_argument("a limiter needs a sample rate and at least one channel");
  State& S = *FState;
  S.Channels = Channels;
  const double LookaheadMs = std::clamp(finiteOr(Params.LookaheadMs, 5.0), 0.0, 100.0);
  // The gain must be flat over a filter's span on each side of a peak, with room to ramp.
  S.Delay = std::max<std::size_t>(
      2 * kTaps, static_cast<std::size_t>(std::lround(LookaheadMs * SampleRate / 1000)));
  S.Average = S.Delay - 2 * kHalf + 1;
  S.Hold = S.Average + 2 * kHalf;
  // Above full scale is clipping for every fixed-point encoder behind us.
  const double CeilingDb = std::min(finiteOr(Params.CeilingDbtp, -1.0), 0.0) - kMarginDb;
  S.Ceiling = std::pow(10.0, CeilingDb / 20);
  const double ReleaseFrames = std::max(0.0, finiteOr(Params.ReleaseMs, 100.0)) * SampleRate / 1000;
  S.Release = ReleaseFrames < 1 ? 1.0 : 1 - std::exp(-1 / ReleaseFrames);

  S.History.assign(std::size_t{Channels} * 2 * kTaps, 0.0f);
  S.Delayed.assign(S.Delay * Channels, 0.0f);
  S.MinQueue.resize(S.Hold + 1);
  S.Window.assign(S.Average, 1.0);
  S.WindowSum = static_cast<double>(S.Average);
}

PeakLimiter::~PeakLimiter() = default;

void PeakLimiter::Process(float* Interleaved, std::size_t Frames) {
  State& S = *FState;
  const std::uint32_t Channels = S.Channels;
  for (std::size_t I = 0; I < Frames; ++I, Interleaved += Channels) {
    float* Old = S.Delayed.data() + S.DelayedPos * Channels;
    for (std::uint32_t C = 0; C < Channels; ++C) {
      // Whatever a decoder got wrong must not reach the encoders as noise or overload.
      const float X = std::isfinite(Interleaved[C]) ? Interleaved[C] : 0.0f;
      float* H = S.History.data() + C * 2 * kTaps;
      H[S.HistoryPos] = H[S.HistoryPos + kTaps] = X;
      Interleaved[C] = Old[C];
      Old[C] = X;
    }
    S.HistoryPos = (S.HistoryPos + 1) % kTaps;
    S.DelayedPos = (S.DelayedPos + 1) % S.Delay;

    const double Gain = S.nextGain(S.requiredGain());
    if (Gain < 1) {
      S.Deepest = std::min(S.Deepest, Gain);
      const float G = static_cast<float>(Gain);
      for (std::uint32_t C = 0; C < Channels; ++C)
        Interleaved[C] *= G;
    }
  }
}

std::size_t PeakLimiter::LatencyFrames() const {
  return FState->Delay;
}

double PeakLimiter::DeepestGainDb() const {
  return FState->Deepest < 1 ? 20 * std::log10(FState->Deepest) : 0.0;
}

} // namespace sondrix
