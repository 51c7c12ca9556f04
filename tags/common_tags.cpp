#include "tags/common_tags.h"

namespace sondrix {
namespace {
std::unique_ptr<TAuTags> create() {
  return std::make_unique<TCommonTags>();
}
} // namespace

TCommonTags::TCommonTags() {
  for (const char* id : {"Title", "Album", "Artist", "Genre", "Year", "Track"})
    AddId(id, TTagValue::Wide(u""));
}

const TAuTagsClass& TCommonTags::ClassType() {
  static const TAuTagsClass cls{"TCommonTags", &create, &TAuTags::Presents};
  return cls;
}

} // namespace sondrix
