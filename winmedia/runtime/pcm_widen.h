#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrix {

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
