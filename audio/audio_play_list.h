#pragma once

#include "au_converter.h"
#include "au_events.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace sondrix {

class TAuFileIn;

using TPlayItemChangedEvent = TNotifyEvent;

// Plays a list of files through one file source (its Input) as one continuous stream: at the
// end of a file the source is pointed at the next one within the same read. Its Size is -1
// (unknown) once started, and Position counts every byte delivered since creation.
//
// Switching happens on the reading thread at the end of a file and on the main thread through
// SetCurrentItem; both hold this playlist's DataCS, then the file source's (consumer first).
// OnPlayItemChanged is posted through the shared event handler and runs on the main thread.
class TAudioPlayList : public TAuConverter {
public:
  explicit TAudioPlayList(TComponent* AOwner = nullptr);
  ~TAudioPlayList() override;

  // A copy of the list.
  std::vector<std::string> Files() const;
  // Copies the entries; a run in progress goes on with its current file.
  void SetFiles(const std::vector<std::string>& Value);

  std::uint16_t CurrentItem() const { return FCurrentItem; }
  // An index beyond the list is ignored (0 is always taken). While playing, switches at once:
  // the rest of the current file is dropped and the next block read starts the chosen file.
  // An error opening it reaches the caller. Main thread.
  void SetCurrentItem(std::uint16_t Value);

  // When set, the end of the last file goes on with the first, so the list plays until stopped.
  // A file with no data at all still ends the list (a list of silent files must not spin).
  bool Wrap() const { return FWrap; }
  void SetWrap(bool Value) { FWrap = Value; }

  // Assign while idle.
  TPlayItemChangedEvent OnPlayItemChanged;

protected:
  void DoInit() override;
  void DoFlush() override;
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override;
  void BeforeDestruction() override;

private:
  TAuFileIn* fileInput() const;
  // Files[index], or the list's index error. Under DataCS.
  const std::string& fileAt(int index) const;
  void postItemChanged();

  std::vector<std::string> FFiles; // under DataCS
  std::atomic<std::uint16_t> FCurrentItem{0};
  std::atomic<bool> FWrap{false};
};

} // namespace sondrix
