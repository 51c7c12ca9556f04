#pragma once

// Interleaved PCM as the encoders take it in. Included only by the runtime's own sources.

#include "winmedia/runtime/media_types.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrix {

inline constexpr std::uint16_t kWaveFormatIeeeFloat = 3;

// The packed FFmpeg format the resampler reads for a PCM format (24-bit after widen24);
// false for a format the encoders refuse.
inline bool inputSampleFormat(const WAVEFORMATEX& wfx, AVSampleFormat* format) {
  if (wfx.wFormatTag == kWaveFormatIeeeFloat) {
    *format = AV_SAMPLE_FMT_FLT;
    return wfx.wBitsPerSample == 32;
  }
  if (wfx.wFormatTag != WAVE_FORMAT_PCM)
    return false;
  switch (wfx.wBitsPerSample) {
  case 8:
    *format = AV_SAMPLE_FMT_U8;
    return true;
  case 16:
    *format = AV_SAMPLE_FMT_S16;
    return true;
  case 24:
  case 32:
    *format = AV_SAMPLE_FMT_S32;
    return true;
  default:
    return false;
  }
}

// Packed 24-bit little-endian samples as 32-bit ones (the value in the top bits): FFmpeg has
// no packed 24-bit sample format. Returns out's bytes.
inline const std::uint8_t* widen24(const std::uint8_t* data, std::size_t samples,
                                   std::vector<std::int32_t>& out) {
  out.resize(samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const std::uint8_t* p = data + i * 3;
    const std::uint32_t v = (static_cast<std::uint32_t>(p[0]) << 8) |
                            (static_cast<std::uint32_t>(p[1]) << 16) |
                            (static_cast<std::uint32_t>(p[2]) << 24);
    out[i] = static_cast<std::int32_t>(v);
  }
  return reinterpret_cast<const std::uint8_t*>(out.data());
}

} // namespace sondrix
