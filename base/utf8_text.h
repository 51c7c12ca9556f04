#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sondrix {

// Text from tags and settings as the station may send it: valid UTF-8, every byte that is not
// part of a valid sequence (overlong forms, surrogates, beyond U+10FFFF, cut sequences) turned
// into U+FFFD. With dropControls, C0 and C1 control characters and DEL are removed.
std::string cleanUtf8(std::string_view text, bool dropControls);

// The longest prefix of valid UTF-8 text that fits into maxBytes without cutting a character.
std::size_t utf8CutLength(std::string_view text, std::size_t maxBytes);

} // namespace sondrix
