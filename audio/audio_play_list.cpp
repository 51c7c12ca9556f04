#include "audio_play_list.h"

#include "au_exception.h"
#include "au_file_in.h"
#include "au_tagged_file_in.h"
#include "event_handler.h"
#include "tags/common_tags.h"

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

void TAudioPlayList::SetKeys(const std::vector<std::uint64_t>& Value) {
  CriticalSectionGuard lock(*DataCS);
  FKeys = Value;
}

void TAudioPlayList::ReplaceFiles(const std::vector<std::string>& Files,
                                  const std::vector<std::uint64_t>& Keys, std::uint16_t Current) {
  CriticalSectionGuard lock(*DataCS);
  FFiles = Files;
  FKeys = Keys;
  FCurrentItem = Current;
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

std::optional<TPlayItem> TAudioPlayList::PlayItem(std::uint64_t Serial) const {
  std::lock_guard lock(FRecentLock);
  for (const TPlayItem& item : FRecent)
    if (item.Serial == Serial)
      return item;
  return std::nullopt;
}

void TAudioPlayList::openItem(TAuFileIn* input, int index) {
  input->SetFileName(fileAt(index));
  input->Init();
  TPlayItem item;
  item.Serial = ++FItemSerial;
  item.Index = static_cast<std::uint16_t>(index);
  item.ListSize = FFiles.size();
  item.Path = FFiles[static_cast<std::size_t>(index)];
  item.Key = static_cast<std::size_t>(index) < FKeys.size() ? FKeys[static_cast<std::size_t>(index)]
                                                            : static_cast<std::uint64_t>(index);
  item.Seconds = input->TotalTime();
  // Taken now: by the time the sound is heard the source may have opened the next file.
  if (auto* tagged = dynamic_cast<TAuTaggedFileIn*>(input)) {
    const TCommonTags& tags = *tagged->CommonTags();
    item.Artist = tags.Artist();
    item.Title = tags.Title();
    item.Album = tags.Album();
    item.Genre = tags.Genre();
    item.Year = tags.Year();
  }
  std::lock_guard lock(FRecentLock);
  FRecent.push_back(std::move(item));
  if (FRecent.size() > kRecentItems)
    FRecent.pop_front();
}

void TAudioPlayList::DoInit() {
  TAuFileIn* input = fileInput();
  Busy = true;
  const int count = static_cast<int>(FFiles.size());
  const int item = FCurrentItem;
  // An index beyond the list starts at the top; CurrentItem keeps its value.
  openItem(input, item <= count - 1 ? item : 0);
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
  // An index beyond a shortened list played the first file (DoInit): the second follows it.
  const int playing = FCurrentItem < count ? FCurrentItem.load() : 0;
  const int next = playing >= count - 1 ? 0 : playing + 1;
  FCurrentItem = static_cast<std::uint16_t>(next);
  openItem(input, next);
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
    openItem(input, Value);
  }
  postItemChanged();
}

} // namespace sondrix
