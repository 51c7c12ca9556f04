#include "audio_play_list.h"

#include "au_exception.h"
#include "au_file_in.h"
#include "event_handler.h"

namespace sondrix {

TAudioPlayList::TAudioPlayList(TComponent* AOwner) : TAuConverter(AOwner) {}

TAudioPlayList::~TAudioPlayList() = default;

void TAudioPlayList::BeforeDestruction() {
  // A queued item-changed event must not reach a handler after the playlist is gone.
  if (TEventHandler* events = SharedEventHandler()) {
    events->ClearEvents(this);
    events->WaitWhileDelivering(this);
  }
  TAuConverter::BeforeDestruction();
}

std::vector<std::string> TAudioPlayList::Files() const {
  CriticalSectionGuard lock(*DataCS);
  return FFiles;
}

void TAudioPlayList::SetFiles(const std::vector<std::string>& Value) {
  CriticalSectionGuard lock(*DataCS);
  FFiles = Value;
}

TAuFileIn* TAudioPlayList::fileInput() const {
  if (FInput == nullptr)
    throw EAuException("Input is not assigned.");
  auto* input = dynamic_cast<TAuFileIn*>(FInput);
  if (input == nullptr)
    throw EAuException("PlayList input should be a file-reading component.");
  return input;
}

const std::string& TAudioPlayList::fileAt(int index) const {
  if (index < 0 || index >= static_cast<int>(FFiles.size()))
    throw EAuException("List index out of bounds (" + std::to_string(index) + ")");
  return FFiles[static_cast<std::size_t>(index)];
}

void TAudioPlayList::postItemChanged() {
  if (!OnPlayItemChanged)
    return;
  if (TEventHandler* events = SharedEventHandler())
    events->PostGenericEvent(this, OnPlayItemChanged);
}

void TAudioPlayList::DoInit() {
  TAuFileIn* input = fileInput();
  Busy = true;
  const int count = static_cast<int>(FFiles.size());
  const int item = FCurrentItem;
  // An index beyond the list starts at the top; CurrentItem keeps its value.
  input->SetFileName(fileAt(item <= count - 1 ? item : 0));
  input->Init();
  postItemChanged();
  FSize = -1;
}

void TAudioPlayList::DoFlush() {
  if (FInput != nullptr)
    FInput->Flush();
  Busy = false;
}

void TAudioPlayList::DoGetData(void*& Buffer, std::uint32_t& Bytes) {
  const std::uint32_t requested = Bytes;
  TAuFileIn* input = fileInput();
  input->GetData(Buffer, Bytes);
  if (Bytes != 0)
    return;
  const int count = static_cast<int>(FFiles.size());
  if (count == 0 || (FCurrentItem >= count - 1 && !FWrap))
    return;
  // One switch per read: a next file with no data at all ends the list here.
  input->Flush();
  const int next = FCurrentItem >= count - 1 ? 0 : FCurrentItem + 1;
  FCurrentItem = static_cast<std::uint16_t>(next);
  input->SetFileName(fileAt(next));
  input->Init();
  Bytes = requested;
  input->GetData(Buffer, Bytes);
  postItemChanged();
}

void TAudioPlayList::SetCurrentItem(std::uint16_t Value) {
  {
    CriticalSectionGuard lock(*DataCS);
    if (Value != 0 && Value > static_cast<int>(FFiles.size()) - 1)
      return;
    FCurrentItem = Value;
    if (!Busy)
      return;
    TAuFileIn* input = fileInput();
    input->Flush();
    input->SetFileName(fileAt(Value));
    input->Init();
  }
  postItemChanged();
}

} // namespace sondrix
