#pragma once

#include "au_file_in.h"

#include <memory>

namespace sondrix {

class TId3v1Tags;
class TId3v2Tags;
class TAPEv2Tags;
class TCommonTags;

// A file source with tag containers, filled by the concrete source's OpenSource. The
// containers live as long as the source; they are filled on whichever thread opens it, so read
// them when no run is opening a file (or from the playlist's item-changed event).
class TAuTaggedFileIn : public TAuFileIn {
public:
  explicit TAuTaggedFileIn(TComponent* AOwner = nullptr);
  ~TAuTaggedFileIn() override;

  TCommonTags* CommonTags() const { return FCommonTags.get(); }
  TId3v1Tags* Id3v1Tags() const { return FId3v1Tags.get(); }
  TId3v2Tags* Id3v2Tags() const { return FId3v2Tags.get(); }
  TAPEv2Tags* APEv2Tags() const { return FAPEv2Tags.get(); }

protected:
  std::unique_ptr<TId3v1Tags> FId3v1Tags;
  std::unique_ptr<TId3v2Tags> FId3v2Tags;
  std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
  std::unique_ptr<TCommonTags> FCommonTags;
};

} // namespace sondrix
