#pragma once

#include "tags/au_tags.h"

#include <array>
#include <cstdint>

namespace sondrix {

// Genre number of an ID3v1 tag; names exist for 0..147.
using TId3v1TagsGenreId = std::uint8_t;

// The fields of an ID3v1 (v1.1) tag: the last 128 bytes of a file.
class TId3v1Tags : public TAuTags {
public:
  static constexpr int GenreCount = 148;
  static constexpr TId3v1TagsGenreId OtherGenre = 12;
  static const std::array<const char*, GenreCount>& GenreNames();

  TId3v1Tags();

  std::string ClassName() const override { return "TId3v1Tags"; }
  static const TAuTagsClass& ClassType();
  const TAuTagsClass& ClassRef() const override { return ClassType(); }

  std::string Title() const { return AsString("title"); }
  void SetTitle(std::string_view v) { SetValues("title", TTagValue::Narrow(v)); }
  std::string Artist() const { return AsString("artist"); }
  void SetArtist(std::string_view v) { SetValues("artist", TTagValue::Narrow(v)); }
  std::string Album() const { return AsString("album"); }
  void SetAlbum(std::string_view v) { SetValues("album", TTagValue::Narrow(v)); }
  std::uint16_t Year() const { return static_cast<std::uint16_t>(AsInteger("year")); }
  void SetYear(std::uint16_t v) { SetValues("year", TTagValue::UInt16(v)); }
  std::string Comment() const { return AsString("comment"); }
  void SetComment(std::string_view v) { SetValues("comment", TTagValue::Narrow(v)); }
  std::uint8_t Track() const { return static_cast<std::uint8_t>(AsInteger("track")); }
  void SetTrack(std::uint8_t v) { SetValues("track", TTagValue::UInt8(v)); }

  // The name of GenreId. Writing a name (trimmed, ignoring case) sets its number; an
  // unknown name changes nothing.
  std::string Genre() const;
  void SetGenre(std::string_view Name);
  // A stored number above 147 (or any non-number) reads as 12, "Other".
  TId3v1TagsGenreId GenreId() const;
  void SetGenreId(TId3v1TagsGenreId v) { SetValues("genre", TTagValue::UInt8(v)); }

  // True when the file ends with an ID3v1 block. The file position is left alone.
  static bool Presents(int InFile);
  // Clears, then reads the block at the end of the file. The position ends at end of file.
  bool ReadFromFile(int InFile) override;
  // Appends a new 128-byte block at the end of the file (Unicode is ignored).
  bool WriteToFile(int OutFile, bool Unicode) override;
};

} // namespace sondrix
