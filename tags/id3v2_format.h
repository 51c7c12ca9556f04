#pragma once

// Internal to the ID3v2 reader and writer: the 10-byte tag header.

#include <cstdint>

namespace sondrix::id3v2 {

constexpr int kHeaderSize = 10;
constexpr std::uint8_t kFooterFlag = 0x10;
constexpr std::uint32_t kMaxSynchsafe = 0x0FFFFFFF;

struct Header {
  std::uint8_t major = 0;
  std::uint8_t revision = 0;
  std::uint8_t flags = 0;
  std::uint32_t size = 0; // bytes after the header, footer not counted

  bool hasFooter() const { return (flags & kFooterFlag) != 0; }
  // Header, body and footer.
  std::int64_t totalSize() const {
    return kHeaderSize + std::int64_t(size) + (hasFooter() ? 10 : 0);
  }
};

// Checks the ten bytes at b: "ID3", a known major version whose undefined flag bits are clear,
// revision not 0xFF, four 7-bit size bytes.
bool parseHeader(const unsigned char* b, Header& out);

std::uint32_t fromSynchsafe(const unsigned char* b);
void toSynchsafe(std::uint32_t v, unsigned char* out);

} // namespace sondrix::id3v2
