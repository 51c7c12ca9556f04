#include "au_tagged_file_in.h"

#include "tags/apev2_tags.h"
#include "tags/common_tags.h"
#include "tags/id3v1_tags.h"
#include "tags/id3v2_tags.h"

namespace sondrix {

TAuTaggedFileIn::TAuTaggedFileIn(TComponent* AOwner)
    : TAuFileIn(AOwner), FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()), FAPEv2Tags(std::make_unique<TAPEv2Tags>()),
      FCommonTags(std::make_unique<TCommonTags>()) {}

TAuTaggedFileIn::~TAuTaggedFileIn() = default;

} // namespace sondrix
