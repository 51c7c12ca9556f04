#include "station/playlist_file.h"

#include "temp_folder.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

using namespace std::string_literals;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;
using Strings = std::vector<std::string>;

std::string utf16(std::u16string_view text, bool little) {
  std::string out;
  for (const char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    out += little ? low : high;
    out += little ? high : low;
  }
  return out;
}

TEST(PlaylistFile, DecodesLineEndsMarksAndNul) {
  struct Case {
    std::string Bytes;
    Strings Entries;
    TPlaylistEncoding Encoding;
  };
  const auto A = TPlaylistEncoding::Ansi;
  const std::vector<Case> cases = {
      {"", {}, A},
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}, A},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}, A},
      {"\r\n", {""}, A},
      {"\r\r\n\n", {"", "", ""}, A},
      {"a\r\nb\0c\r\nd"s, {"a", "b"}, A},
      {"/m/Кино.mp3\r\nCaf\xE9.mp3\r\n", {"/m/Кино.mp3", "Café.mp3"}, A},
      {"\xEF\xBB\xBFx\r\n\xEF\xBB\xBFy", {"x", "\xEF\xBB\xBFy"}, TPlaylistEncoding::Utf8Bom},
      {"\xFF\xFE" + utf16(u"a\r\nб\rc\n\U0001F3B5", true),
       {"a", "б", "c", "\xF0\x9F\x8E\xB5"},
       TPlaylistEncoding::Utf16LE},
      {"\xFE\xFF" + utf16(u"a\r\nб", false), {"a", "б"}, TPlaylistEncoding::Utf16BE},
      // A NUL unit ends UTF-16 text; a zero byte inside a unit does not.
      {"\xFF\xFE" + utf16(u"Ā\r\nb"s + u'\0' + u"c", true), {"Ā", "b"}, TPlaylistEncoding::Utf16LE},
      {"\xFF\xFE" + utf16(u"ab", true) + "\x63", {"ab"}, TPlaylistEncoding::Utf16LE}};
  for (const Case& c : cases) {
    const TPlaylistText text = decodePlaylist(c.Bytes);
    EXPECT_EQ(text.Entries, c.Entries) << ::testing::PrintToString(c.Bytes);
    EXPECT_EQ(text.Encoding, c.Encoding) << ::testing::PrintToString(c.Bytes);
  }
}

TEST(PlaylistFile, WritesBackInTheEncodingItWasReadIn) {
  TempFolder dir;
  const Strings entries = {"/music/Кино.mp3", "", "relative/\xF0\x9F\x8E\xB5 song.mp3"};
  for (const auto encoding : {TPlaylistEncoding::Ansi, TPlaylistEncoding::Utf8Bom,
                              TPlaylistEncoding::Utf16LE, TPlaylistEncoding::Utf16BE}) {
    const std::string file = dir / "playlist.spl";
    writePlaylistFile(file, entries, encoding);
    const TPlaylistText back = readPlaylistFile(file);
    EXPECT_EQ(back.Entries, entries);
    EXPECT_EQ(back.Encoding, encoding);
  }
  EXPECT_EQ(encodePlaylist({"a", "б"}, TPlaylistEncoding::Ansi), "a\r\nб\r\n");
  EXPECT_EQ(encodePlaylist({"a"}, TPlaylistEncoding::Utf8Bom), "\xEF\xBB\xBF"
                                                               "a\r\n");
  EXPECT_EQ(encodePlaylist({"a"}, TPlaylistEncoding::Utf16LE), "\xFF\xFE"
                                                               "a\0\r\0\n\0"s);
  EXPECT_EQ(encodePlaylist({"a"}, TPlaylistEncoding::Utf16BE), "\xFE\xFF\0a\0\r\0\n"s);
  EXPECT_EQ(encodePlaylist({}, TPlaylistEncoding::Ansi), "");

  // A file read with a mark keeps it; one read without gets none.
  writeBytes(dir / "bom.spl", "\xEF\xBB\xBFone\ntwo");
  const TPlaylistText bom = readPlaylistFile(dir / "bom.spl");
  writePlaylistFile(dir / "bom.spl", bom.Entries, bom.Encoding);
  EXPECT_EQ(readBytes(dir / "bom.spl"), "\xEF\xBB\xBFone\r\ntwo\r\n");
  writeBytes(dir / "plain.spl", "one\rtwo");
  const TPlaylistText plain = readPlaylistFile(dir / "plain.spl");
  writePlaylistFile(dir / "plain.spl", plain.Entries, plain.Encoding);
  EXPECT_EQ(readBytes(dir / "plain.spl"), "one\r\ntwo\r\n");
}

TEST(PlaylistFile, FailuresNameTheFileAndLeaveTheOldOne) {
  TempFolder dir;
  for (const std::string& file : {dir / "missing.spl", dir / "gone/playlist.spl"}) {
    try {
      if (file.find("gone") == std::string::npos)
        readPlaylistFile(file);
      else
        writePlaylistFile(file, {"a"}, TPlaylistEncoding::Ansi);
      ADD_FAILURE() << "no error for " << file;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
  }
  // A folder in the file's place cannot be replaced; what was there stays.
  std::filesystem::create_directories(dir / "taken.spl/inside");
  EXPECT_THROW(writePlaylistFile(dir / "taken.spl", {"a"}, TPlaylistEncoding::Ansi),
               std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "taken.spl/inside"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

} // namespace
} // namespace sondrix
