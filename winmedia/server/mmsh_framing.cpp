#include "winmedia/server/mmsh_framing.h"

#include <cassert>

namespace sondrix {

void writeMmshChunkPrefix(std::uint8_t* out, char type, std::uint32_t locationId,
                          std::uint8_t afFlags, std::size_t payloadSize) {
  assert(payloadSize <= kMmshMaxPayload);
  const auto length = static_cast<std::uint16_t>(payloadSize + 8);
  out[0] = 0x24; // '$' with the B flag clear: clients reject it set
  out[1] = static_cast<std::uint8_t>(type);
  out[2] = static_cast<std::uint8_t>(length & 0xFF);
  out[3] = static_cast<std::uint8_t>(length >> 8);
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<std::uint8_t>(locationId >> (8 * i));
  }
  out[8] = 0; // incarnation
  out[9] = afFlags;
  out[10] = out[2];
  out[11] = out[3];
}

std::vector<std::uint8_t> frameMmshHeader(const std::uint8_t* blob, std::size_t size) {
  std::vector<std::uint8_t> chunk(kMmshChunkPrefix + size);
  writeMmshChunkPrefix(chunk.data(), 'H', 0, kMmshHeaderAFFlags, size);
  std::copy(blob, blob + size, chunk.begin() + kMmshChunkPrefix);
  return chunk;
}

} // namespace sondrix
