#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace sondrix::testing {

// Interleaved PCM built piece by piece, the same sound on every channel.
struct Signal {
  Signal(std::uint32_t SampleRate, std::uint32_t ChannelCount)
      : Rate(SampleRate), Channels(ChannelCount) {}
  std::uint32_t Rate;
  std::uint32_t Channels;
  std::vector<float> Samples;

  std::size_t frames() const { return Samples.size() / Channels; }

  // A sine of peak Dbfs; Fade ramps its amplitude linearly down to nothing.
  Signal& tone(double Seconds, double Dbfs, double Hz = 1000, double Phase = 0, bool Fade = false) {
    const long N = std::lround(Seconds * Rate);
    for (long I = 0; I < N; ++I) {
      const double V = std::pow(10.0, Dbfs / 20) * (Fade ? 1.0 - double(I) / N : 1.0) *
                       std::sin(2 * std::numbers::pi * Hz * I / Rate + Phase);
      Samples.insert(Samples.end(), Channels, float(V));
    }
    return *this;
  }
  Signal& silence(double Seconds) { return tone(Seconds, -HUGE_VAL); }
};

} // namespace sondrix::testing
