#pragma once

// A canonical 16-bit PCM WAV file built in memory, for tests that need exact header numbers.

#include <cstdint>
#include <vector>

namespace sondrix::testing {

// `frames` frames of a quiet square wave (silence when sound is false).
inline std::vector<std::uint8_t> wavBytes(std::uint32_t rate, std::uint16_t channels,
                                          std::uint32_t frames, bool sound = true) {
  std::vector<std::uint8_t> w;
  const auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      w.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  const auto tag = [&](const char* t) {
    for (int i = 0; i < 4; ++i)
      w.push_back(static_cast<std::uint8_t>(t[i]));
  };
  const std::uint32_t data = frames * channels * 2;
  tag("RIFF");
  put(36 + data, 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(1, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * 2, 4);
  put(channels * 2u, 2);
  put(16, 2);
  tag("data");
  put(data, 4);
  for (std::uint32_t i = 0; i < frames * channels; ++i)
    put(!sound ? 0 : (i / channels / 20) % 2 ? 0x1000 : 0xF000, 2);
  return w;
}

} // namespace sondrix::testing
