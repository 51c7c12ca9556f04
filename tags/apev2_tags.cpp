#include "tags/apev2_tags.h"

namespace sondrix {
namespace {
std::unique_ptr<TAuTags> create() {
  return std::make_unique<TAPEv2Tags>();
}
} // namespace

TAPEv2Tags::TAPEv2Tags() {
  for (const char* id : {"Artist",       "Composer",        "Album",    "Debut album", "Publisher",
                         "Conductor",    "Copyright",       "ISBN",     "ISRC",        "EAN/UPC",
                         "LC",           "Catalog",         "Language", "Genre",       "Year",
                         "Record Date",  "Record Location", "File",     "Related",     "Abstract",
                         "Bibliography", "Track",           "Title",    "Subtitle",    "Comment"})
    AddId(id, TTagValue());
}

const TAuTagsClass& TAPEv2Tags::ClassType() {
  static const TAuTagsClass cls{"TAPEv2Tags", &create, &TAuTags::Presents};
  return cls;
}

} // namespace sondrix
