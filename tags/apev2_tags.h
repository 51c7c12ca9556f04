#pragma once

#include "tags/au_tags.h"

namespace sondrix {

// The item keys of an APEv2 tag, all null at first. No file reading or writing of its own.
class TAPEv2Tags : public TAuTags {
public:
  TAPEv2Tags();

  std::string ClassName() const override { return "TAPEv2Tags"; }
  static const TAuTagsClass& ClassType();
  const TAuTagsClass& ClassRef() const override { return ClassType(); }

#define SONDRIX_APE_WIDE(Name, Id)                                                                 \
  std::u16string Name() const {                                                                    \
    return AsWideString(Id);                                                                       \
  }                                                                                                \
  void Set##Name(std::u16string_view v) {                                                          \
    SetValues(Id, TTagValue::Wide(v));                                                             \
  }
#define SONDRIX_APE_NARROW(Name, Id)                                                               \
  std::string Name() const {                                                                       \
    return AsString(Id);                                                                           \
  }                                                                                                \
  void Set##Name(std::string_view v) {                                                             \
    SetValues(Id, TTagValue::Narrow(v));                                                           \
  }

  SONDRIX_APE_WIDE(Artist, "Artist")
  SONDRIX_APE_WIDE(Composer, "Composer")
  SONDRIX_APE_WIDE(Album, "Album")
  SONDRIX_APE_WIDE(DebutAlbum, "Debut album")
  SONDRIX_APE_WIDE(Publisher, "Publisher")
  SONDRIX_APE_WIDE(Conductor, "Conductor")
  SONDRIX_APE_WIDE(Copyright, "Copyright")
  SONDRIX_APE_NARROW(ISBN, "ISBN")
  SONDRIX_APE_NARROW(ISRC, "ISRC")
  SONDRIX_APE_NARROW(BarCode, "EAN/UPC")
  SONDRIX_APE_NARROW(LabelCode, "LC")
  SONDRIX_APE_NARROW(Catalog, "Catalog")
  SONDRIX_APE_WIDE(Language, "Language")
  SONDRIX_APE_WIDE(Genre, "Genre")
  SONDRIX_APE_NARROW(Year, "Year")
  SONDRIX_APE_NARROW(RecordDate, "Record Date")
  SONDRIX_APE_WIDE(RecordLocation, "Record Location")
  SONDRIX_APE_WIDE(File_, "File")
  SONDRIX_APE_WIDE(Related, "Related")
  SONDRIX_APE_WIDE(Abstract, "Abstract")
  SONDRIX_APE_WIDE(Bibliography, "Bibliography")
  SONDRIX_APE_NARROW(Track, "Track")
  SONDRIX_APE_WIDE(Title, "Title")
  SONDRIX_APE_WIDE(SubTitle, "Subtitle")
  SONDRIX_APE_WIDE(Comment, "Comment")

#undef SONDRIX_APE_WIDE
#undef SONDRIX_APE_NARROW
};

} // namespace sondrix
