#include "tag_test_support.h"
#include "tags/id3v2_tags.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

Bytes tag(int major, int flags, const Bytes& frames, std::size_t padding = 0) {
  const auto size = static_cast<std::uint32_t>(frames.size() + padding);
  Bytes out = id3Header(major, flags, size) + frames + Bytes(padding, 0);
  if (flags & 0x10) {
    Bytes footer = id3Header(major, flags, size);
    std::copy_n("3DI", 3, footer.begin());
    out = out + footer;
  }
  return out;
}

Bytes utf16le(std::u16string_view s) {
  Bytes out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

Bytes synchsafeFrame(std::string_view id, const Bytes& body) {
  Bytes h = id3Header(4, 0, static_cast<std::uint32_t>(body.size()));
  Bytes out = bytesOf(id) + Bytes(h.begin() + 6, h.end()) + Bytes{0, 0};
  return out + body;
}

const Bytes kAudio = bytesOf("\xFF\xFB\x90\x64 audio after the tag");

TEST(Id3v2Read, TextEncodingsOfAVersion3Tag) {
  const Bytes frames =
      frame("TIT2", textBody(0, bytesOf("Plain"))) +
      frame("TPE1", textBody(1, Bytes{0xFF, 0xFE} + utf16le(u"Земфира") + Bytes{0, 0})) +
      frame("TALB", textBody(3, bytesOf("Альбом 𝄞\0trailing"))) +
      frame("TCON", textBody(2, Bytes{0, 'R', 0, 'o'})) +
      frame("COMM", textBody(0, bytesOf("eng\0comment"))) +
      frame("TXXX", textBody(0, bytesOf("user"))) + frame("TYER", textBody(0, bytesOf("1998")));
  const Bytes lead = bytesOf("junk before");
  const Bytes t = tag(3, 0, frames, 37);
  TempFile file(lead + t + kAudio);
  ASSERT_EQ(::lseek(file.fd(), static_cast<off_t>(lead.size()), SEEK_SET),
            static_cast<off_t>(lead.size()));

  EXPECT_TRUE(TId3v2Tags::Presents(file.fd()));
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(lead.size()));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_TRUE(tags.New());
  EXPECT_EQ(tags.Values("TIT2"), TTagValue::Narrow("Plain"));
  EXPECT_EQ(tags.Artist(), u"Земфира");
  EXPECT_EQ(tags.Values("TPE1").Kind(), TTagValueKind::WideText);
  EXPECT_EQ(tags.Album(), u"Альбом 𝄞");
  EXPECT_EQ(tags.Album().size(), 9u); // the clef is a surrogate pair
  EXPECT_TRUE(tags.Values("TCON").IsNull());
  EXPECT_TRUE(tags.Values("COMM").IsNull());
  EXPECT_EQ(tags.Year(), "1998");
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(lead.size() + t.size()));
}

TEST(Id3v2Read, Version22UsesTheThreeLetterIds) {
  const Bytes frames = frame22("TT2", textBody(0, bytesOf("Old title"))) +
                       frame22("TP1", textBody(1, Bytes{0xFF, 0xFE} + utf16le(u"Old artist"))) +
                       frame22("TIT", textBody(0, bytesOf("unknown"))) +
                       frame22("TYE", textBody(0, bytesOf("1971")));
  TempFile file(tag(2, 0, frames, 10) + kAudio);
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_FALSE(tags.New());
  EXPECT_EQ(tags.Title(), u"Old title");
  EXPECT_EQ(tags.Artist(), u"Old artist");
  EXPECT_EQ(tags.Year(), "1971");
  EXPECT_EQ(tags.Values("TT2"), TTagValue::Narrow("Old title"));
  EXPECT_TRUE(tags.Values("TIT2").IsNull());
  tags.SetAlbum(u"stored under TAL");
  EXPECT_EQ(tags.AsWideString("TAL"), u"stored under TAL");

  // A later 2.3 tag switches the properties back.
  TempFile next(tag(3, 0, frame("TIT2", textBody(0, bytesOf("New")))));
  ASSERT_TRUE(tags.ReadFromFile(next.fd()));
  EXPECT_TRUE(tags.New());
  EXPECT_EQ(tags.Title(), u"New");
}

TEST(Id3v2Read, Utf16ByteOrdersAndOddBodies) {
  struct Case {
    Bytes body;
    std::u16string expected;
  } cases[] = {
      {Bytes{1, 0xFF, 0xFE, 'H', 0, 'i', 0}, u"Hi"},
      {Bytes{1, 0xFE, 0xFF, 0, 'H', 0, 'i'}, u"Hi"}, // big-endian mark
      {Bytes{1, 'H', 0, 'i', 0}, u"Hi"},             // no mark: little-endian
      {Bytes{1, 0xFF, 0xFE, 'H', 0, 'i'}, u"H"},     // odd length: last byte dropped
      {Bytes{1, 0xFF, 0xFE, 'A', 0, 0, 0, 'B', 0}, u"A"},
      {Bytes{1, 0xFF}, u""},
      {Bytes{1}, u""},
  };
  for (const Case& c : cases) {
    TempFile file(tag(3, 0, frame("TIT2", c.body)));
    TId3v2Tags tags;
    ASSERT_TRUE(tags.ReadFromFile(file.fd()));
    EXPECT_EQ(tags.Values("TIT2"), TTagValue::Wide(c.expected)) << c.body.size();
  }
}

TEST(Id3v2Read, TextsWithoutTerminatorEndWithTheFrame) {
  TempFile file(
      tag(3, 0,
          frame("TIT2", textBody(0, bytesOf("abc"))) + frame("TPE1", textBody(3, bytesOf("дом")))));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Title(), u"abc");
  EXPECT_EQ(tags.Artist(), u"дом");
}

TEST(Id3v2Read, FooterFlagExtendsTheTag) {
  const Bytes t = tag(4, 0x10, frame("TIT2", textBody(0, bytesOf("Footer"))), 6);
  TempFile file(t + kAudio);
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Title(), u"Footer");
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(t.size()));
  EXPECT_EQ(t.size(), 20u + 10 + 7 + 6);
}

TEST(Id3v2Read, Version4FrameSizesEitherWay) {
  const Bytes longText = textBody(0, Bytes(299, 'L'));
  const Bytes after = frame("TPE1", textBody(0, bytesOf("After")));
  for (const Bytes& first : {synchsafeFrame("TIT2", longText), frame("TIT2", longText)}) {
    for (std::size_t padding : {0, 20}) {
      TempFile file(tag(4, 0, first + after, padding));
      TId3v2Tags tags;
      ASSERT_TRUE(tags.ReadFromFile(file.fd()));
      EXPECT_EQ(tags.Title(), std::u16string(299, u'L'));
      EXPECT_EQ(tags.Artist(), u"After");
    }
    TempFile last(tag(4, 0, after + first, 16));
    TId3v2Tags tags;
    ASSERT_TRUE(tags.ReadFromFile(last.fd()));
    EXPECT_EQ(tags.Title(), std::u16string(299, u'L'));
  }
}

TEST(Id3v2Read, HeaderCheck) {
  struct Case {
    Bytes header;
    bool valid;
  } cases[] = {
      {id3Header(3, 0, 0), true},
      {id3Header(2, 0x40, 0), true},
      {id3Header(2, 0x20, 0), false},
      {id3Header(2, 0x80, 0), true},
      {id3Header(3, 0x10, 0), false},
      {id3Header(3, 0x40, 0), true},
      {id3Header(4, 0x10, 0), true},
      {id3Header(4, 0x08, 0), false},
      {id3Header(5, 0, 0), false},
      {id3Header(1, 0, 0), false},
      {bytesOf("ID4") + Bytes(7, 0), false},
      {Bytes{'I', 'D', '3', 3, 0xFF, 0, 0, 0, 0, 0}, false},
      {Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 0x80, 0}, false},
      {Bytes{'I', 'D', '3', 3, 0}, false},
  };
  for (const Case& c : cases) {
    TempFile file(c.header);
    EXPECT_EQ(TId3v2Tags::Presents(file.fd()), c.valid) << testing::PrintToString(c.header);
    EXPECT_EQ(file.position(), 0);
    TId3v2Tags tags;
    tags.SetTitle(u"before");
    EXPECT_EQ(tags.ReadFromFile(file.fd()), c.valid);
    if (!c.valid) {
      EXPECT_EQ(file.position(), 0) << testing::PrintToString(c.header);
    }
    EXPECT_TRUE(tags.Values("TIT2").IsNull());
    EXPECT_TRUE(tags.Changed());
  }
  EXPECT_FALSE(TId3v2Tags::Presents(TAuTags::InvalidHandle));
}

// Damaged tags: each starts with a good title frame, then the damage. None may crash, read
// outside the file or allocate what the file cannot hold; the frames before the damage stay.
struct Damage {
  const char* name;
  int major;
  Bytes afterTitle;
  bool titleKept = true;
  std::size_t padding = 0;
  std::uint32_t declaredSize = 0; // 0: the real size
};

class Id3v2Damaged : public testing::TestWithParam<Damage> {};

TEST_P(Id3v2Damaged, ReadsWithoutHarm) {
  const Damage& d = GetParam();
  const Bytes title = d.major == 2 ? frame22("TT2", textBody(0, bytesOf("Good")))
                                   : frame("TIT2", textBody(0, bytesOf("Good")));
  const Bytes frames = title + d.afterTitle;
  const std::uint32_t size =
      d.declaredSize ? d.declaredSize : static_cast<std::uint32_t>(frames.size() + d.padding);
  const Bytes t = id3Header(d.major, 0, size) + frames + Bytes(d.padding, 0);
  TempFile file(t);
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Title(), d.titleKept ? u"Good" : u"");
  EXPECT_TRUE(tags.Artist().empty());
  EXPECT_EQ(file.position(), 10 + static_cast<std::int64_t>(size));
}

Bytes be32(std::uint32_t v) {
  return Bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

INSTANTIATE_TEST_SUITE_P(
    Table, Id3v2Damaged,
    testing::Values(
        Damage{"FrameSizePastTheEnd", 3, bytesOf("TPE1") + be32(0x7FFFFFFF) + Bytes{0, 0, 1, 'A'}},
        Damage{"FrameSizeAllOnes", 3, bytesOf("TPE1") + be32(0xFFFFFFFF) + Bytes{0, 0, 0, 'A'}},
        Damage{"Version4HugeSize", 4, bytesOf("TPE1") + be32(0x7F7F7F7F) + Bytes{0, 0, 0, 'A'}},
        Damage{"Version22HugeSize", 2, bytesOf("TP1") + Bytes{0xFF, 0xFF, 0xFF, 0, 'A'}},
        Damage{"SizeOneBytePastTheEnd", 3, bytesOf("TPE1") + be32(3) + Bytes{0, 0, 0, 'A'}},
        Damage{"TruncatedFrameHeader", 3, bytesOf("TPE1") + Bytes{0, 0}},
        Damage{"HeaderEndingAtTheEnd", 3, bytesOf("TPE1") + be32(0) + Bytes{0, 0}},
        Damage{"LowerCaseGarbage", 3, bytesOf("tpe1 garbage that is not a frame")},
        Damage{"ZeroSizesThenPadding", 3, bytesOf("TPE1") + be32(0) + Bytes{0, 0}, true, 12},
        Damage{"TagSizePastTheEndOfFile", 3, Bytes{}, false, 0, 0x0FFFFFFF},
        Damage{"TagSizeOneBytePastTheEndOfFile", 3, Bytes{}, false, 0, 16}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(Id3v2Read, ZeroSizeFramesAreSkipped) {
  TempFile file(tag(3, 0,
                    frame("TPE1", Bytes{}) + frame("TALB", textBody(0, bytesOf("Al"))) +
                        frame("TIT2", Bytes{}),
                    4));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Album(), u"Al");
  EXPECT_TRUE(tags.Values("TPE1").IsNull());
}

TEST(Id3v2Read, ExtendedHeaderIsSkipped) {
  const Bytes ext = be32(6) + Bytes{0, 0, 0, 0, 0, 0};
  TempFile file(tag(3, 0x40, ext + frame("TIT2", textBody(0, bytesOf("Hidden")))));
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Title(), u"Hidden");
}

// What an encoder does: a zero after every 0xFF that a false sync or a zero follows.
Bytes unsynchronise(const Bytes& in) {
  Bytes out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    out.push_back(in[i]);
    if (in[i] == 0xFF && (i + 1 == in.size() || in[i + 1] == 0 || in[i + 1] >= 0xE0))
      out.push_back(0);
  }
  return out;
}

Bytes synchsafe(std::uint32_t v) {
  const Bytes h = id3Header(4, 0, v);
  return Bytes(h.begin() + 6, h.end());
}

// A version 2.3 frame with the given format flags (the second flag byte).
Bytes frame3(std::string_view id, std::uint8_t format, const Bytes& body) {
  Bytes f = frame(id, body);
  f[9] = format;
  return f;
}

// A version 2.4 frame: synchsafe size, the given format flags.
Bytes frame4(std::string_view id, std::uint8_t format, const Bytes& body) {
  return bytesOf(id) + synchsafe(static_cast<std::uint32_t>(body.size())) + Bytes{0, format} + body;
}

Bytes utf16be(std::u16string_view s) {
  Bytes out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c >> 8));
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
  }
  return out;
}

struct Layout {
  const char* name;
  Bytes tag;
  TTagValue title;
  TTagValue artist;
};

void PrintTo(const Layout& l, std::ostream* os) {
  *os << l.name;
}

class Id3v2Layouts : public testing::TestWithParam<Layout> {};

TEST_P(Id3v2Layouts, ReadAsTheirFlagsSay) {
  const Layout& l = GetParam();
  TempFile file(l.tag + kAudio);
  TId3v2Tags tags;
  ASSERT_TRUE(tags.ReadFromFile(file.fd()));
  EXPECT_EQ(tags.Values(tags.FrameId(TId3v2Tags::colTitle)), l.title);
  EXPECT_EQ(tags.Values(tags.FrameId(TId3v2Tags::colArtist)), l.artist);
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(l.tag.size()));
}

const Bytes kTitle3 = frame("TIT2", textBody(0, bytesOf("Title")));
const Bytes kArtist3 = frame("TPE1", textBody(0, bytesOf("Artist")));
const Bytes kTitle4 = frame4("TIT2", 0, textBody(0, bytesOf("Title")));
const Bytes kArtist4 = frame4("TPE1", 0, textBody(0, bytesOf("Artist")));
const TTagValue kTitle = TTagValue::Narrow("Title");
const TTagValue kArtist = TTagValue::Narrow("Artist");
// A little-endian mark and a character whose low byte is 0xFF, then a zero: both need the
// inserted zeros removed.
const Bytes kMarkedText = textBody(1, Bytes{0xFF, 0xFE} + utf16le(u"\u00FF\u01FFx") + Bytes{0, 0});
const TTagValue kMarked = TTagValue::Wide(u"\u00FF\u01FFx");
// Plain size 0x1FF: unsynchronisation puts a zero inside the frame header.
const Bytes kLongTitle = textBody(0, Bytes(510, 'T'));

INSTANTIATE_TEST_SUITE_P(
    Table, Id3v2Layouts,
    testing::Values(
        Layout{"ExtendedHeader3", tag(3, 0x40, be32(6) + Bytes(6, 0) + kTitle3 + kArtist3, 8),
               kTitle, kArtist},
        Layout{"ExtendedHeader3WithCrc",
               tag(3, 0x40, be32(10) + Bytes{0x80, 0, 0, 0, 0, 0, 1, 2, 3, 4} + kTitle3 + kArtist3),
               kTitle, kArtist},
        Layout{"ExtendedHeader3PastTheEnd", tag(3, 0x40, be32(200) + Bytes(6, 0) + kTitle3),
               TTagValue(), TTagValue()},
        Layout{"ExtendedHeader4", tag(4, 0x40, synchsafe(6) + Bytes{1, 0} + kTitle4 + kArtist4),
               kTitle, kArtist},
        Layout{
            "ExtendedHeader4WithCrc",
            tag(4, 0x40, synchsafe(12) + Bytes{1, 0x20, 5, 1, 2, 3, 4, 5} + kTitle4 + kArtist4, 4),
            kTitle, kArtist},
        Layout{"ExtendedHeader4TooSmall", tag(4, 0x40, synchsafe(2) + Bytes{1, 0} + kTitle4),
               TTagValue(), TTagValue()},
        Layout{"TagUnsynchronised3",
               tag(3, 0x80, unsynchronise(frame("TIT2", kLongTitle) + frame("TPE1", kMarkedText))),
               TTagValue::Narrow(std::string(510, 'T')), kMarked},
        Layout{"TagUnsynchronised3WithExtendedHeader",
               tag(3, 0xC0,
                   unsynchronise(be32(10) + Bytes{0x80, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF} +
                                 frame("TPE1", kMarkedText) + kTitle3)),
               kTitle, kMarked},
        Layout{"TagUnsynchronised22",
               tag(2, 0x80,
                   unsynchronise(frame22("TP1", kMarkedText) +
                                 frame22("TT2", textBody(0, bytesOf("Title"))))),
               kTitle, kMarked},
        Layout{"FrameUnsynchronised4",
               tag(4, 0, frame4("TPE1", 0x02, unsynchronise(kMarkedText)) + kTitle4), kTitle,
               kMarked},
        Layout{"TagUnsynchronised4", tag(4, 0x80, frame4("TPE1", 0, unsynchronise(kMarkedText))),
               TTagValue(), kMarked},
        Layout{"DataLength4",
               tag(4, 0,
                   frame4("TIT2", 0x01, synchsafe(6) + textBody(0, bytesOf("Title"))) + kArtist4),
               kTitle, kArtist},
        Layout{
            "DataLengthShorterThanTheBody4",
            tag(4, 0, frame4("TIT2", 0x01, synchsafe(6) + textBody(0, bytesOf("Title and more")))),
            kTitle, TTagValue()},
        Layout{"DataLengthUnsynchronised4",
               tag(4, 0,
                   frame4("TPE1", 0x03,
                          unsynchronise(synchsafe(static_cast<std::uint32_t>(kMarkedText.size())) +
                                        kMarkedText))),
               TTagValue(), kMarked},
        Layout{"GroupAndDataLength4",
               tag(4, 0,
                   frame4("TIT2", 0x41, Bytes{7} + synchsafe(6) + textBody(0, bytesOf("Title")))),
               kTitle, TTagValue()},
        Layout{"DataLengthCutShort4", tag(4, 0, frame4("TIT2", 0x01, Bytes{0, 0}) + kArtist4),
               TTagValue(), kArtist},
        Layout{"Compressed4",
               tag(4, 0,
                   frame4("TIT2", 0x09, synchsafe(40) + bytesOf("\x78\x9c compressed")) + kArtist4),
               TTagValue(), kArtist},
        Layout{"Encrypted4", tag(4, 0, frame4("TIT2", 0x04, bytesOf("\x81secret")) + kArtist4),
               TTagValue(), kArtist},
        Layout{
            "Compressed3",
            tag(3, 0, frame3("TIT2", 0x80, be32(40) + bytesOf("\x78\x9c compressed")) + kArtist3),
            TTagValue(), kArtist},
        Layout{"Encrypted3", tag(3, 0, frame3("TIT2", 0x40, bytesOf("\x81secret")) + kArtist3),
               TTagValue(), kArtist},
        Layout{"Grouped3",
               tag(3, 0, frame3("TIT2", 0x20, Bytes{3} + textBody(0, bytesOf("Title")))), kTitle,
               TTagValue()},
        Layout{"Utf16BigEndian4",
               tag(4, 0,
                   frame4("TIT2", 0, textBody(2, utf16be(u"Земфира") + Bytes{0, 0, 0, 'x'})) +
                       frame4("TPE1", 0, textBody(2, Bytes{0xFE, 0xFF} + utf16be(u"BOM")))),
               TTagValue::Wide(u"Земфира"), TTagValue::Wide(u"BOM")},
        Layout{"Utf16BigEndianIsNotVersion3", tag(3, 0, frame("TIT2", textBody(2, utf16be(u"x")))),
               TTagValue(), TTagValue()},
        Layout{"Compressed22", tag(2, 0x40, frame22("TT2", textBody(0, bytesOf("Title")))),
               TTagValue(), TTagValue()}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

} // namespace
} // namespace sondrix
