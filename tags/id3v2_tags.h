#pragma once

#include "tags/au_tags.h"

#include <array>
#include <cstddef>

namespace sondrix {

class TagFileAccess;

// A selection of ID3v2 text frames addressed by frame id. The properties use the 4-letter
// ids (ID3v2.3/2.4) while FNew is true and the 3-letter ids (ID3v2.2) after ReadFromFile
// met a version 2.2 tag.
class TId3v2Tags : public TAuTags {
public:
  static constexpr int FrameColumns = 12;
  // Row 0: 3-letter ids; row 1: 4-letter ids.
  static const std::array<std::array<const char*, FrameColumns>, 2>& FrameIds();
  enum Column {
    colAlbum = 0,
    colArtist = 1,
    colGenre = 2,
    colTitle = 3,
    colTrack = 4,
    colYear = 5,
    colComment = 6,
    colComposer = 7,
    colEncoder = 8,
    colCopyright = 9,
    colLanguage = 10,
    colLink = 11,
  };

  TId3v2Tags();

  std::string ClassName() const override { return "TId3v2Tags"; }
  static const TAuTagsClass& ClassType();
  const TAuTagsClass& ClassRef() const override { return ClassType(); }

  // True when the properties address the 4-letter frame ids.
  bool New() const { return FNew; }
  // The id of Column in the row FNew selects.
  const char* FrameId(Column column) const { return FrameIds()[FNew ? 1 : 0][column]; }

#define SONDRIX_ID3V2_WIDE(Name, Col)                                                              \
  std::u16string Name() const {                                                                    \
    return AsWideString(FrameId(Col));                                                             \
  }                                                                                                \
  void Set##Name(std::u16string_view v) {                                                          \
    SetValues(FrameId(Col), TTagValue::Wide(v));                                                   \
  }
#define SONDRIX_ID3V2_NARROW(Name, Col)                                                            \
  std::string Name() const {                                                                       \
    return AsString(FrameId(Col));                                                                 \
  }                                                                                                \
  void Set##Name(std::string_view v) {                                                             \
    SetValues(FrameId(Col), TTagValue::Narrow(v));                                                 \
  }

  SONDRIX_ID3V2_WIDE(Artist, colArtist)
  SONDRIX_ID3V2_WIDE(Album, colAlbum)
  SONDRIX_ID3V2_WIDE(Genre, colGenre)
  SONDRIX_ID3V2_NARROW(Year, colYear)
  SONDRIX_ID3V2_NARROW(Track, colTrack)
  SONDRIX_ID3V2_WIDE(Title, colTitle)
  SONDRIX_ID3V2_WIDE(Comment, colComment)
  SONDRIX_ID3V2_WIDE(Composer, colComposer)
  SONDRIX_ID3V2_WIDE(Encoder, colEncoder)
  SONDRIX_ID3V2_WIDE(Copyright, colCopyright)
  SONDRIX_ID3V2_WIDE(Language, colLanguage)
  SONDRIX_ID3V2_WIDE(Link, colLink)

#undef SONDRIX_ID3V2_WIDE
#undef SONDRIX_ID3V2_NARROW

  // True when a valid ID3v2 header starts at the current position, which is kept.
  static bool Presents(int InFile);
  // Clears, then reads the tag at the current position. With a valid header the result is
  // true and the position ends just past the tag, even when frames are damaged.
  bool ReadFromFile(int InFile) override;
  // Puts a new ID3v2.4 tag in front of the file's content (an older tag stays behind it).
  // Unicode: wide values are written as UTF-8. The descriptor must be open for reading and
  // writing and not in append mode. On any failure the file keeps its original bytes and
  // length and the result is false. The position ends at the end of the file.
  bool WriteToFile(int OutFile, bool Unicode) override;
  // The same through the given file access, with content moved in chunks of ChunkSize bytes
  // (tests use it to fail single operations).
  bool WriteToFile(TagFileAccess& File, bool Unicode, std::size_t ChunkSize);

private:
  bool FNew = true;
};

} // namespace sondrix
