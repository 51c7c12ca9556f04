#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

struct PeakLimiterParams {
  double CeilingDbtp = -1.0; // true peak (4x oversampled) never above this, nor above 0
  double LookaheadMs = 5.0;  // the gain is down before a peak arrives
  double ReleaseMs = 100.0;  // how fast the gain comes back after one
};

// A look-ahead true-peak limiter on interleaved float PCM. It delays the sound by
// LatencyFrames() (the first ones out are silence) and lowers the gain smoothly ahead of any
// peak that would exceed the ceiling; sound that stays under it passes unchanged, only delayed.
// Never clips. One thread at a time.
class PeakLimiter {
public:
  PeakLimiter(std::uint32_t SampleRate, std::uint32_t Channels, PeakLimiterParams Params = {});
  ~PeakLimiter();

  // Processes Frames frames in place: on return they hold the limited sound of LatencyFrames()
  // frames earlier.
  void Process(float* Interleaved, std::size_t Frames);
  std::size_t LatencyFrames() const;
  // The smallest gain applied so far, dB (0 when the limiter has never acted).
  double DeepestGainDb() const;

private:
  struct State;
  std::unique_ptr<State> FState;
};

} // namespace sondrix
