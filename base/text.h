#pragma once

#include <string>
#include <string_view>

namespace sondrix {

// The one place where narrow and wide text meet. Narrow text is UTF-8; bytes that are not
// valid UTF-8 are read as Windows-1252, so Latin tags of old files still come out right.
std::u16string toWide(std::string_view narrow);
// Wide text to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string toNarrow(std::u16string_view wide);

// Case-insensitive (ASCII letters) comparison of narrow identifiers.
bool sameTextAscii(std::string_view a, std::string_view b);

// Text without the blanks (spaces and tabs) at either end, as hand-written files have them.
std::string_view trimBlanks(std::string_view text);

} // namespace sondrix
