#pragma once

#include "tags/au_tags.h"

namespace sondrix {

// The format-neutral view that audio inputs fill: every id starts as an empty wide text.
class TCommonTags : public TAuTags {
public:
  TCommonTags();

  std::string ClassName() const override { return "TCommonTags"; }
  static const TAuTagsClass& ClassType();
  const TAuTagsClass& ClassRef() const override { return ClassType(); }

  std::u16string Artist() const { return AsWideString("Artist"); }
  void SetArtist(std::u16string_view v) { SetValues("Artist", TTagValue::Wide(v)); }
  std::u16string Album() const { return AsWideString("Album"); }
  void SetAlbum(std::u16string_view v) { SetValues("Album", TTagValue::Wide(v)); }
  std::u16string Genre() const { return AsWideString("Genre"); }
  void SetGenre(std::u16string_view v) { SetValues("Genre", TTagValue::Wide(v)); }
  std::string Year() const { return AsString("Year"); }
  void SetYear(std::string_view v) { SetValues("Year", TTagValue::Narrow(v)); }
  std::string Track() const { return AsString("Track"); }
  void SetTrack(std::string_view v) { SetValues("Track", TTagValue::Narrow(v)); }
  std::u16string Title() const { return AsWideString("Title"); }
  void SetTitle(std::u16string_view v) { SetValues("Title", TTagValue::Wide(v)); }
};

} // namespace sondrix
