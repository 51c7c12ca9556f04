#include "base/text.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

TEST(Text, Utf8RoundTripsCyrillicAndCharactersBeyondTheBasicPlane) {
  const std::string narrow = "Кино \xF0\x9F\x8E\xB5 Bl\xC3\xA5";
  const std::u16string wide = toWide(narrow);
  EXPECT_EQ(wide, u"Кино \U0001F3B5 Blå");
  EXPECT_EQ(toNarrow(wide), narrow);
}

TEST(Text, InvalidUtf8IsReadAsWindows1252) {
  EXPECT_EQ(toWide("Caf\xE9 \x80"), u"Café €");
  // A lone continuation byte or a truncated sequence makes the whole text Latin.
  EXPECT_EQ(toWide("\xC3"), u"Ã");
  EXPECT_EQ(toWide("\xED\xA0\x80"), u"í\u00A0\u20AC"); // an encoded surrogate is not UTF-8
}

TEST(Text, UnpairedSurrogateBecomesReplacementCharacter) {
  const std::u16string lone = {u'a', char16_t(0xD800), u'b'};
  EXPECT_EQ(toNarrow(lone), "a\xEF\xBF\xBD"
                            "b");
}

TEST(Text, SameTextAsciiIgnoresCaseOfLettersOnly) {
  EXPECT_TRUE(sameTextAscii("TiT2", "TIT2"));
  EXPECT_FALSE(sameTextAscii("TIT2", "TIT3"));
  EXPECT_FALSE(sameTextAscii("a", "ab"));
}

} // namespace
} // namespace sondrix
