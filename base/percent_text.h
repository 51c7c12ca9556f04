#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sondrix {

// Strict percent-decoding (of a URL's user or password): "%" + two hex digits, either case,
// becomes that byte; a "%" without them makes the whole text unusable (nullopt).
std::optional<std::string> percentDecodeStrict(std::string_view Text);

// The value of a hexadecimal digit of either case, or -1.
int hexDigitValue(char c);

} // namespace sondrix
