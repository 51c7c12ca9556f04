#include "base/utf8_text.h"

#include <cstdint>

namespace sondrix {

namespace {

// Length of the valid sequence at text[i] and its code point; length 0 when invalid.
std::size_t decodeAt(std::string_view text, std::size_t i, char32_t& cp) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(text[i + k]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t length = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i < length) {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return length;
}

bool isControl(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

} // namespace

std::string cleanUtf8(std::string_view text, bool dropControls) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const std::size_t length = decodeAt(text, i, cp);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (!(dropControls && isControl(cp))) {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

std::size_t utf8CutLength(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) {
    return text.size();
  }
  std::size_t cut = maxBytes;
  // Step back over continuation bytes to the start of the character that does not fit.
  while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return cut;
}

} // namespace sondrix
