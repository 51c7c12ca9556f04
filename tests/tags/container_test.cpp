#include "tag_test_support.h"
#include "tags/apev2_tags.h"
#include "tags/common_tags.h"
#include "tags/id3v1_tags.h"
#include "tags/id3v2_tags.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

// Exposes the constructors' registration call.
class TestTags : public TAuTags {
public:
  using TAuTags::AddId;
};

class TOther : public TPersistent {
public:
  std::string ClassName() const override { return "TOther"; }
};

TEST(CommonTags, NewContainerReadsEmptyAndCountsOnlyRealChanges) {
  TCommonTags t;
  EXPECT_EQ(t.Artist(), u"");
  EXPECT_EQ(t.Album(), u"");
  EXPECT_EQ(t.Genre(), u"");
  EXPECT_EQ(t.Year(), "");
  EXPECT_EQ(t.Track(), "");
  EXPECT_EQ(t.Title(), u"");
  EXPECT_TRUE(t.Empty());
  EXPECT_FALSE(t.Changed());

  t.SetArtist(u"");
  EXPECT_TRUE(t.Empty());
  EXPECT_FALSE(t.Changed());

  t.SetArtist(u"Кино");
  EXPECT_FALSE(t.Empty());
  EXPECT_TRUE(t.Changed());
  EXPECT_EQ(t.Artist(), u"Кино");
  EXPECT_EQ(t.Values("artist"), TTagValue::Wide(u"Кино"));
}

TEST(CommonTags, ClearMakesValuesNullSoAnEmptyTextIsAChange) {
  TCommonTags t;
  t.SetTitle(u"x");
  t.Clear();
  EXPECT_TRUE(t.Empty());
  EXPECT_TRUE(t.Changed());
  EXPECT_TRUE(t.Values("Title").IsNull());
  EXPECT_TRUE(t.Values("Artist").IsNull());
  EXPECT_EQ(t.Title(), u"");
  EXPECT_EQ(t.IdCount(), 6);

  t.SetArtist(u"");
  EXPECT_FALSE(t.Empty());
  EXPECT_EQ(t.Values("Artist"), TTagValue::Wide(u""));
}

TEST(CommonTags, IdsAreSortedIgnoringCase) {
  TCommonTags t;
  const char* expected[] = {"Album", "Artist", "Genre", "Title", "Track", "Year"};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(t.Ids(i), expected[i]) << i;
  EXPECT_EQ(t.Ids(6), "");
  EXPECT_EQ(t.Ids(-1), "");
}

TEST(CommonTags, UnregisteredIdReadsNullAndIgnoresStores) {
  TCommonTags t;
  EXPECT_TRUE(t.Values("Composer").IsNull());
  EXPECT_EQ(t.AsInteger("Composer"), 0);
  EXPECT_EQ(t.AsWideString("Composer"), u"");
  t.SetValues("Composer", TTagValue::Wide(u"Bach"));
  EXPECT_TRUE(t.Values("Composer").IsNull());
  EXPECT_EQ(t.IdCount(), 6);
  EXPECT_TRUE(t.Empty());
  EXPECT_FALSE(t.Changed());
}

TEST(StoreRule, ComparesByValueAcrossWidthsAndTextKinds) {
  TestTags t;
  t.AddId("n", TTagValue::UInt8(7));
  t.AddId("s", TTagValue::Narrow("Abc"));
  t.AddId("w", TTagValue::Wide(u"Ёж"));

  t.SetValues("n", TTagValue::Int32(7)); // same number, other width
  t.SetValues("s", TTagValue::Wide(u"Abc"));
  t.SetValues("w", TTagValue::Narrow("Ёж")); // narrow text is UTF-8 here
  EXPECT_FALSE(t.Changed());
  EXPECT_EQ(t.Values("n"), TTagValue::UInt8(7)); // the stored kind is kept

  t.SetValues("n", TTagValue::Narrow("7"));
  EXPECT_FALSE(t.Changed());
  t.SetValues("n", TTagValue::Narrow("07"));
  EXPECT_TRUE(t.Changed());
  EXPECT_EQ(t.Values("n"), TTagValue::Narrow("07"));

  TestTags u;
  u.AddId("s", TTagValue::Narrow("Abc"));
  u.SetValues("s", TTagValue::Narrow("ABC")); // case matters
  EXPECT_TRUE(u.Changed());
  EXPECT_EQ(u.AsString("s"), "ABC");
}

TEST(StoreRule, NullDiffersFromEveryValue) {
  TestTags t;
  t.AddId("a", TTagValue());
  t.SetValues("a", TTagValue());
  EXPECT_FALSE(t.Changed());
  t.SetValues("a", TTagValue::UInt8(0));
  EXPECT_TRUE(t.Changed());
  EXPECT_FALSE(t.Empty());
}

TEST(TypedReads, ConvertBetweenKinds) {
  TestTags t;
  t.AddId("year", TTagValue::Narrow("2012"));
  t.AddId("bad", TTagValue::Wide(u"20a2"));
  t.AddId("seven", TTagValue::UInt8(7));
  t.AddId("big", TTagValue::UInt32(4000000000u));
  t.AddId("neg", TTagValue::Wide(u"-15"));
  t.AddId("huge", TTagValue::Narrow("99999999999"));
  t.AddId("latin", TTagValue::Narrow("Caf\xe9")); // an old single-byte text
  t.AddId("none", TTagValue());
  EXPECT_EQ(t.AsInteger("year"), 2012);
  EXPECT_EQ(t.AsInteger("bad"), 0);
  EXPECT_EQ(t.AsInteger("neg"), -15);
  EXPECT_EQ(t.AsInteger("huge"), 0);
  EXPECT_EQ(t.AsInteger("none"), 0);
  EXPECT_EQ(t.AsString("seven"), "7");
  EXPECT_EQ(t.AsWideString("seven"), u"7");
  EXPECT_EQ(t.AsString("big"), "4000000000");
  EXPECT_EQ(t.AsString("neg"), "-15");
  EXPECT_EQ(t.AsWideString("latin"), u"Café");
  EXPECT_EQ(t.AsString("none"), "");
}

TEST(AddId, RejectsEmptyAndKeepsExistingValue) {
  TestTags t;
  EXPECT_FALSE(t.AddId("", TTagValue::UInt8(1)));
  EXPECT_EQ(t.IdCount(), 0);
  EXPECT_TRUE(t.AddId("Title", TTagValue::Narrow("old")));
  EXPECT_TRUE(t.AddId("TITLE", TTagValue::Narrow("new")));
  EXPECT_EQ(t.IdCount(), 1);
  EXPECT_EQ(t.AsString("title"), "old");
  EXPECT_EQ(t.Ids(0), "Title");
  EXPECT_TRUE(t.Empty());
  EXPECT_FALSE(t.Changed());
}

TEST(Id3v1Tags, GenreDefaultsToOtherAndClearsToBlues) {
  TId3v1Tags t;
  EXPECT_EQ(t.GenreId(), 12);
  EXPECT_EQ(t.Genre(), "Other");
  EXPECT_TRUE(t.Values("title").IsNull());
  EXPECT_EQ(t.IdCount(), 7);
  t.Clear();
  EXPECT_EQ(t.GenreId(), 0);
  EXPECT_EQ(t.Genre(), "Blues");
}

TEST(Id3v1Tags, GenreNameWriteTrimsAndIgnoresCase) {
  TId3v1Tags t;
  t.SetGenre("  rock \t");
  EXPECT_EQ(t.GenreId(), 17);
  EXPECT_EQ(t.Values("genre"), TTagValue::UInt8(17));
  t.SetGenre("Not a genre");
  EXPECT_EQ(t.GenreId(), 17);
  t.SetGenre("SYNTHPOP");
  EXPECT_EQ(t.GenreId(), 147);
  t.SetGenre("blues");
  EXPECT_EQ(t.GenreId(), 0);
}

TEST(Id3v1Tags, GenreTableHasEveryPublishedNameAtItsIndex) {
  const auto& names = TId3v1Tags::GenreNames();
  EXPECT_STREQ(names[12], "Other");
  EXPECT_STREQ(names[17], "Rock");
  EXPECT_STREQ(names[40], "Alt. Rock");
  EXPECT_STREQ(names[79], "Hard Rock");
  EXPECT_STREQ(names[132], "BritPop");
  EXPECT_STREQ(names[133], "Negerpunk");
  EXPECT_STREQ(names[134], "Polsk Punk");
  EXPECT_STREQ(names[147], "Synthpop");
  // Every name is unique, so each one written reads back as its own index.
  TId3v1Tags t;
  for (int i = 0; i < TId3v1Tags::GenreCount; ++i) {
    t.SetGenre(names[static_cast<std::size_t>(i)]);
    EXPECT_EQ(t.GenreId(), i) << names[static_cast<std::size_t>(i)];
  }
}

TEST(Id3v1Tags, GenreNumbersOutsideTheTableReadAsOther) {
  TId3v1Tags t;
  t.SetGenreId(147);
  EXPECT_EQ(t.GenreId(), 147);
  t.SetGenreId(148);
  EXPECT_EQ(t.GenreId(), 12);
  EXPECT_EQ(t.Genre(), "Other");

  TCommonTags common;
  common.SetGenre(u"200");
  t.Assign(&common);
  EXPECT_EQ(t.GenreId(), 12);
  common.SetGenre(u"-1");
  t.Assign(&common);
  EXPECT_EQ(t.GenreId(), 12);
  common.SetGenre(u"9");
  t.Assign(&common);
  EXPECT_EQ(t.GenreId(), 9);
}

TEST(Id3v1Tags, NumericFieldsKeepTheirWidth) {
  TId3v1Tags t;
  t.SetYear(1999);
  t.SetTrack(250);
  EXPECT_EQ(t.Values("year"), TTagValue::UInt16(1999));
  EXPECT_EQ(t.Values("track"), TTagValue::UInt8(250));
  EXPECT_EQ(t.Year(), 1999);
  EXPECT_EQ(t.Track(), 250);
  TestTags wide;
  wide.AddId("year", TTagValue::UInt32(70000));
  t.Assign(&wide);
  EXPECT_EQ(t.Year(), 70000 & 0xFFFF);
}

TEST(Assign, MatchesIdsByNameAcrossClasses) {
  TId3v1Tags v1;
  v1.SetArtist("Artist");
  v1.SetAlbum("Album");
  v1.SetTitle("Title");
  v1.SetComment("Comment");
  v1.SetYear(2001);
  v1.SetTrack(4);
  v1.SetGenreId(17);

  TCommonTags common;
  common.Assign(&v1);
  EXPECT_EQ(common.Artist(), u"Artist");
  EXPECT_EQ(common.Album(), u"Album");
  EXPECT_EQ(common.Title(), u"Title");
  EXPECT_EQ(common.Year(), "2001");
  EXPECT_EQ(common.Track(), "4");
  EXPECT_EQ(common.Values("Genre"), TTagValue::UInt8(17)); // arrives as a number
  EXPECT_EQ(common.IdCount(), 6);
  EXPECT_TRUE(common.Values("comment").IsNull());

  TId3v2Tags v2;
  v2.SetTitle(u"T");
  common.Assign(&v2);
  EXPECT_TRUE(common.Empty());
  EXPECT_TRUE(common.Changed());
  EXPECT_TRUE(common.Values("Title").IsNull());
}

TEST(Assign, ClearsTheDestinationFirst) {
  TestTags from;
  from.AddId("ARTIST", TTagValue::Wide(u"A"));
  TCommonTags to;
  to.SetTitle(u"old");
  TPersistent& dest = to;
  dest.Assign(&from);
  EXPECT_EQ(to.Artist(), u"A");
  EXPECT_TRUE(to.Values("Title").IsNull());
  EXPECT_TRUE(to.Values("Year").IsNull());
}

TEST(Assign, SelfAssignmentKeepsTheValues) {
  TCommonTags t;
  t.SetArtist(u"A");
  t.Assign(&t);
  EXPECT_EQ(t.Artist(), u"A");
}

TEST(Assign, NonContainersRaiseTheAssignmentError) {
  TCommonTags tags;
  TOther other;
  try {
    tags.Assign(&other);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TOther to a TCommonTags");
  }
  try {
    other.Assign(&tags);
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TCommonTags to a TOther");
  }
  TId3v1Tags v1;
  EXPECT_THROW(v1.Assign(nullptr), EConvertError);
  EXPECT_EQ(v1.GenreId(), 12); // nothing cleared
}

TEST(Id3v2Tags, PropertiesUseTheFourLetterIds) {
  TId3v2Tags t;
  EXPECT_EQ(t.IdCount(), 24);
  EXPECT_TRUE(t.New());
  t.SetTitle(u"Song");
  t.SetYear("1987");
  t.SetLink(u"http://example.org");
  EXPECT_EQ(t.Values("TIT2"), TTagValue::Wide(u"Song"));
  EXPECT_TRUE(t.Values("TT2").IsNull());
  EXPECT_EQ(t.Values("TYER"), TTagValue::Narrow("1987"));
  EXPECT_EQ(t.AsWideString("WXXX"), u"http://example.org");
}

TEST(APEv2Tags, RegistersItsKeysWithTheirKinds) {
  TAPEv2Tags t;
  EXPECT_EQ(t.IdCount(), 25);
  t.SetBarCode("4006381333931");
  t.SetDebutAlbum(u"Первый");
  t.SetFile_(u"x.ape");
  EXPECT_EQ(t.Values("EAN/UPC"), TTagValue::Narrow("4006381333931"));
  EXPECT_EQ(t.Values("debut ALBUM"), TTagValue::Wide(u"Первый"));
  EXPECT_EQ(t.AsWideString("File"), u"x.ape");
}

TEST(ContainerClasses, CreateFromTheClassAlone) {
  for (const TAuTagsClass* cls :
       {&TAuTags::ClassType(), &TCommonTags::ClassType(), &TId3v1Tags::ClassType(),
        &TId3v2Tags::ClassType(), &TAPEv2Tags::ClassType()}) {
    const std::unique_ptr<TAuTags> made = cls->Create();
    EXPECT_EQ(made->ClassName(), cls->Name);
    EXPECT_EQ(&made->ClassRef(), cls);
  }
  EXPECT_EQ(TCommonTags::ClassType().Create()->IdCount(), 6);
}

TEST(BaseFileOperations, InvalidHandleLeavesValuesAlone) {
  TCommonTags t;
  t.SetArtist(u"A");
  EXPECT_FALSE(t.ReadFromFile(TAuTags::InvalidHandle));
  EXPECT_FALSE(t.WriteToFile(TAuTags::InvalidHandle, true));
  EXPECT_FALSE(TCommonTags::Presents(TAuTags::InvalidHandle));
  EXPECT_EQ(t.Artist(), u"A");

  TempFile file(bytesOf("data"));
  EXPECT_TRUE(TCommonTags::Presents(file.fd()));
  EXPECT_TRUE(t.WriteToFile(file.fd(), false));
  EXPECT_EQ(file.content(), bytesOf("data"));
  EXPECT_TRUE(t.ReadFromFile(file.fd()));
  EXPECT_TRUE(t.Values("Artist").IsNull());
}

} // namespace
} // namespace sondrix
