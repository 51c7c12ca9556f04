#pragma once

// Helpers for tests that play files through the Windows Media file inputs.

#include "audio/au_input.h"
#include "audio/au_streamed_input.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sondrix::testing {

// Everything the source delivers from here to the end of its data, in chunk-byte reads.
inline std::vector<std::uint8_t> readToEnd(TAuInput& in, std::uint32_t chunk = 8192) {
  std::vector<std::uint8_t> out;
  for (;;) {
    void* data = nullptr;
    std::uint32_t bytes = chunk;
    in.GetData(data, bytes);
    if (bytes == 0)
      return out;
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + bytes);
  }
}

// A whole run: Init, every block, Flush.
inline std::vector<std::uint8_t> playThrough(TAuInput& in, std::uint32_t chunk = 8192) {
  in.Init();
  auto pcm = readToEnd(in, chunk);
  in.Flush();
  return pcm;
}

inline std::vector<std::int16_t> pcm16(const std::vector<std::uint8_t>& pcm) {
  std::vector<std::int16_t> s(pcm.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
  return s;
}

// The shift (in frames, within +-maxShift) at which `part` best matches `whole` from frame
// `at` on, over the first `frames` frames of `part`; worst sample difference at that shift.
struct Alignment {
  std::int64_t shift = 0;
  int worstDifference = 0;
};
inline Alignment align(const std::vector<std::int16_t>& whole,
                       const std::vector<std::int16_t>& part, int channels, std::int64_t at,
                       std::int64_t frames, std::int64_t maxShift) {
  Alignment best;
  std::int64_t bestSum = -1;
  const auto totalFrames = static_cast<std::int64_t>(whole.size()) / channels;
  for (std::int64_t shift = -maxShift; shift <= maxShift; ++shift) {
    const std::int64_t start = at + shift;
    if (start < 0 || start + frames > totalFrames ||
        frames * channels > static_cast<std::int64_t>(part.size()))
      continue;
    std::int64_t sum = 0;
    int worst = 0;
    for (std::int64_t i = 0; i < frames * channels; ++i) {
      const int d = std::abs(whole[static_cast<std::size_t>(start * channels + i)] -
                             part[static_cast<std::size_t>(i)]);
      sum += d;
      worst = std::max(worst, d);
    }
    if (bestSum < 0 || sum < bestSum) {
      bestSum = sum;
      best = {shift, worst};
    }
  }
  return best;
}

} // namespace sondrix::testing
