#include "au_file_out.h"

#include "base/text.h"
#include "tags/apev2_tags.h"
#include "tags/id3v1_tags.h"
#include "tags/id3v2_tags.h"

namespace sondrix {

TAuStreamedOutput::TAuStreamedOutput(TComponent* AOwner) : TAuOutput(AOwner) {}

TAuStreamedOutput::~TAuStreamedOutput() = default;

void TAuStreamedOutput::SetStreamValue(TStream* Value) {
  FStream = Value;
  FStreamAssigned = (Value != nullptr);
}

TAuFileOut::TAuFileOut(TComponent* AOwner) : TAuStreamedOutput(AOwner) {}

void TAuFileOut::SetFileName(const std::string& Value) {
  FFileName = Value;
  FWideFileName = toWide(Value);
}

void TAuFileOut::SetWideFileName(const std::u16string& Value) {
  FWideFileName = Value;
  FFileName.clear();
}

void TAuFileOut::SetFileMode(TFileOutputMode Mode) {
  (void)Mode;
  FFileMode = TFileOutputMode::foRewrite;
}

TAuTaggedFileOut::TAuTaggedFileOut(TComponent* AOwner)
    : TAuFileOut(AOwner), FId3v1Tags(std::make_unique<TId3v1Tags>()),
      FId3v2Tags(std::make_unique<TId3v2Tags>()), FAPEv2Tags(std::make_unique<TAPEv2Tags>()) {}

TAuTaggedFileOut::~TAuTaggedFileOut() = default;

void TAuTaggedFileOut::SetId3v2Tags(const TId3v2Tags* Value) {
  if (Value == FId3v2Tags.get())
    return;
  if (Value == nullptr)
    FId3v2Tags->Clear();
  else
    FId3v2Tags->Assign(Value);
}

} // namespace sondrix
