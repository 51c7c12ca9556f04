#pragma once

// Where a test tone is heard in interleaved stereo PCM: the level of one frequency around
// each 10 ms step of the left channel, in 20 ms Hann windows, so that tones a few hundred
// hertz apart do not leak into each other.

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace sondrix::testing {

inline constexpr std::size_t kStepsPerSecond = 100;

// dB of the tone's amplitude at each step.
inline std::vector<double> presence(const std::vector<float>& Stereo, double Hz,
                                    double Rate = 44100) {
  const auto step = static_cast<std::size_t>(Rate) / kStepsPerSecond;
  const std::size_t n = 2 * step;
  std::vector<double> out;
  const double w = 2 * std::numbers::pi * Hz / Rate;
  for (std::size_t at = 0; at + n <= Stereo.size() / 2; at += step) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / n);
      re += hann * Stereo[2 * (at + i)] * std::cos(w * static_cast<double>(at + i));
      im += hann * Stereo[2 * (at + i)] * std::sin(w * static_cast<double>(at + i));
    }
    out.push_back(20 * std::log10(4 * std::hypot(re, im) / static_cast<double>(n) + 1e-9));
  }
  return out;
}

} // namespace sondrix::testing
