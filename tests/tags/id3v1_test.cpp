#include "tag_test_support.h"
#include "tags/id3v1_tags.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace sondrix {
namespace {

const Bytes kAudio = bytesOf("\xFF\xFB\x90\x64 some mpeg frames here");

// A 128-byte block with the given fields; the comment field's bytes 28 and 29 (file bytes
// 125 and 126) are given separately.
Bytes block(std::string_view title, std::string_view comment28, std::uint8_t b125,
            std::uint8_t b126, std::uint8_t genre, std::string_view year = "1999") {
  Bytes b(128, 0);
  std::copy_n("TAG", 3, b.begin());
  std::copy(title.begin(), title.end(), b.begin() + 3);
  std::copy(year.begin(), year.end(), b.begin() + 93);
  std::copy(comment28.begin(), comment28.end(), b.begin() + 97);
  b[125] = b125;
  b[126] = b126;
  b[127] = genre;
  return b;
}

TEST(Id3v1File, WriteThenReadBack) {
  TempFile file(kAudio);
  TId3v1Tags out;
  out.SetTitle("A title");
  out.SetArtist("An artist");
  out.SetAlbum("An album");
  out.SetYear(1994);
  out.SetComment("Short note");
  out.SetTrack(7);
  out.SetGenre("Trip-Hop");
  EXPECT_FALSE(TId3v1Tags::Presents(file.fd()));
  ASSERT_TRUE(out.WriteToFile(file.fd(), true));
  const Bytes written = file.content();
  ASSERT_EQ(written.size(), kAudio.size() + 128);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(kAudio.size())),
            kAudio);

  file.rewind();
  EXPECT_TRUE(TId3v1Tags::Presents(file.fd()));
  EXPECT_EQ(file.position(), 0); // Presents keeps the position

  TId3v1Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), "A title");
  EXPECT_EQ(in.Artist(), "An artist");
  EXPECT_EQ(in.Album(), "An album");
  EXPECT_EQ(in.Year(), 1994);
  EXPECT_EQ(in.Comment(), "Short note");
  EXPECT_EQ(in.Track(), 7);
  EXPECT_EQ(in.Genre(), "Trip-Hop");
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(kAudio.size() + 128));
  EXPECT_FALSE(in.Empty());
}

TEST(Id3v1File, EveryWriteAppendsANewBlock) {
  TempFile file(kAudio);
  TId3v1Tags t;
  t.SetTitle("first");
  ASSERT_TRUE(t.WriteToFile(file.fd(), false));
  t.SetTitle("second");
  ASSERT_TRUE(t.WriteToFile(file.fd(), false));
  EXPECT_EQ(file.content().size(), kAudio.size() + 256);
  TId3v1Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), "second");
}

TEST(Id3v1File, FieldsAreClippedAndUtf8IsNotSplit) {
  TempFile file;
  TId3v1Tags t;
  t.SetTitle(std::string(40, 't'));
  std::string artist = "a";
  for (int i = 0; i < 15; ++i)
    artist += "Ж";
  t.SetArtist(artist);
  t.SetComment(std::string(35, 'c'));
  t.SetTrack(0);
  ASSERT_TRUE(t.WriteToFile(file.fd(), false));
  const Bytes b = file.content();
  ASSERT_EQ(b.size(), 128u);
  EXPECT_EQ(b[125], 'c'); // no track byte: the comment runs over the whole field
  EXPECT_EQ(b[126], 'c');

  TId3v1Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), std::string(30, 't'));
  EXPECT_EQ(in.Artist(), "aЖЖЖЖЖЖЖЖЖЖЖЖЖЖ"); // 29 bytes: the 15th letter would not fit
  EXPECT_EQ(in.Comment(), std::string(30, 'c'));
  EXPECT_EQ(in.Track(), 0);

  t.SetTrack(3);
  TempFile second;
  ASSERT_TRUE(t.WriteToFile(second.fd(), false));
  const Bytes c = second.content();
  EXPECT_EQ(c[124], 'c');
  EXPECT_EQ(c[125], 0);
  EXPECT_EQ(c[126], 3);
  ASSERT_TRUE(in.ReadFromFile(second.fd()));
  EXPECT_EQ(in.Comment(), std::string(28, 'c'));
  EXPECT_EQ(in.Track(), 3);
}

TEST(Id3v1File, TrackByteNeedsItsMarker) {
  struct Case {
    std::uint8_t b125, b126;
    int track;
    std::string comment;
  } cases[] = {
      {0, 5, 5, std::string(28, 'c')},
      {0, 0, 0, std::string(28, 'c')},
      {' ', 'x', 'x', std::string(28, 'c')},
      {' ', ' ', 0, std::string(28, 'c')},
      {'Y', 'Z', 0, std::string(28, 'c') + "YZ"},
  };
  for (const Case& c : cases) {
    TempFile file(kAudio + block("t", std::string(28, 'c'), c.b125, c.b126, 17));
    TId3v1Tags t;
    ASSERT_TRUE(t.ReadFromFile(file.fd()));
    EXPECT_EQ(t.Track(), c.track) << int(c.b125) << "," << int(c.b126);
    EXPECT_EQ(t.Comment(), c.comment) << int(c.b125) << "," << int(c.b126);
  }
}

TEST(Id3v1File, FieldsAreTrimmedAndCutAtTheTerminator) {
  Bytes b = block("", "", 0, 0, 200, "19x9");
  const std::string title = "  \x01Title\tX\0old bytes";
  std::copy(title.begin(), title.end(), b.begin() + 3);
  TempFile file(b);
  TId3v1Tags t;
  ASSERT_TRUE(t.ReadFromFile(file.fd()));
  EXPECT_EQ(t.Title(), "Title\tX");
  EXPECT_EQ(t.Year(), 0);
  EXPECT_EQ(t.GenreId(), 12);
  EXPECT_EQ(t.Values("genre"), TTagValue::UInt8(200));
  EXPECT_EQ(t.Artist(), "");
}

TEST(Id3v1File, MissingBlockFailsAndLeavesValuesCleared) {
  TempFile shortFile(bytesOf("TAG too short"));
  TId3v1Tags t;
  t.SetTitle("keep?");
  EXPECT_FALSE(TId3v1Tags::Presents(shortFile.fd()));
  EXPECT_FALSE(t.ReadFromFile(shortFile.fd()));
  EXPECT_TRUE(t.Values("title").IsNull());
  EXPECT_EQ(t.GenreId(), 0);

  TempFile noTag(Bytes(300, 'x'));
  t.SetTitle("again");
  EXPECT_FALSE(TId3v1Tags::Presents(noTag.fd()));
  EXPECT_FALSE(t.ReadFromFile(noTag.fd()));
  EXPECT_EQ(t.Title(), "");

  t.SetTitle("kept");
  EXPECT_FALSE(t.ReadFromFile(TAuTags::InvalidHandle));
  EXPECT_FALSE(t.WriteToFile(TAuTags::InvalidHandle, false));
  EXPECT_EQ(t.Title(), "kept");
}

TEST(Id3v1File, WriteFailsOnAReadOnlyDescriptor) {
  TempFile file(kAudio);
  const int ro = file.reopen(O_RDONLY);
  TId3v1Tags t;
  t.SetTitle("x");
  EXPECT_FALSE(t.WriteToFile(ro, false));
  EXPECT_EQ(file.content(), kAudio);
}

} // namespace
} // namespace sondrix
