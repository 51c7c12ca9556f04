#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrix {

// Chunk framing of Windows Media streaming over HTTP. Every chunk starts with a 4-byte basic
// header ('$', type, LE16 length L); $H and $D add an 8-byte extension (LE32 location id,
// incarnation, AFFlags, LE16 PacketSize == L), so their payload follows 12 bytes in and
// L = payload + 8. FFmpeg reads L from bytes 2-3, VLC from bytes 10-11: both must agree.

constexpr std::size_t kMmshChunkPrefix = 12;
// L is 16 bits wide, so no $H or $D payload may exceed this.
constexpr std::size_t kMmshMaxPayload = 0xFFFF - 8;
// $H AFFlags: the whole header in one piece. FFmpeg only reads the first $H it gets.
constexpr std::uint8_t kMmshHeaderAFFlags = 0x0C;

// "$E" with reason 0: the broadcast ended normally.
constexpr std::array<std::uint8_t, 8> kMmshEndChunk = {0x24, 0x45, 0x04, 0x00,
                                                       0x00, 0x00, 0x00, 0x00};

// Writes the 12-byte prefix of a $H ('H') or $D ('D') chunk carrying payloadSize bytes.
// payloadSize must not exceed kMmshMaxPayload.
void writeMmshChunkPrefix(std::uint8_t* out, char type, std::uint32_t locationId,
                          std::uint8_t afFlags, std::size_t payloadSize);

// A whole $H chunk around the header blob (ASF header object + 50-byte data object head).
std::vector<std::uint8_t> frameMmshHeader(const std::uint8_t* blob, std::size_t size);

} // namespace sondrix
