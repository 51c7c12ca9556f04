#include "percent_text.h"

namespace sondrix {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecodeStrict(std::string_view Text) {
  std::string out;
  for (std::size_t i = 0; i < Text.size(); ++i) {
    if (Text[i] != '%') {
      out += Text[i];
      continue;
    }
    if (i + 2 >= Text.size() || hexDigitValue(Text[i + 1]) < 0 || hexDigitValue(Text[i + 2]) < 0)
      return std::nullopt;
    out += static_cast<char>(hexDigitValue(Text[i + 1]) * 16 + hexDigitValue(Text[i + 2]));
    i += 2;
  }
  return out;
}

} // namespace sondrix
