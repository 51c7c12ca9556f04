#pragma once

#include "au_converter.h"
#include "au_events.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

class TAuFileIn;

using TPlayItemChangedEvent = TNotifyEvent;

// One item as the playlist opened it: which entry, and the tags its file source read then.
struct TPlayItem {
  std::uint64_t Serial = 0; // the ItemSerial of its blocks
  std::uint16_t Index = 0;
  std::size_t ListSize = 0; // entries in the list when it was opened
  std::uint64_t Key = 0;    // the caller's key of the entry (SetKeys), else its index
  std::string Path;
  std::uint32_t Seconds = 0; // the file's length, whole seconds; 0 when unknown
  std::u16string Artist, Title, Album, Genre;
  std::string Year;
};

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
  // Keys of the entries, one each, recorded with every item opened (PlayItem). Empty: none.
  void SetKeys(const std::vector<std::uint64_t>& Value);
  // Replaces the list while a run goes on with the file it has open, which now stands at
  // Current: the end of that file goes on with Files[Current + 1]. Any thread.
  void ReplaceFiles(const std::vector<std::string>& Files, const std::vector<std::uint64_t>& Keys,
                    std::uint16_t Current);

  std::uint16_t CurrentItem() const { return FCurrentItem; }
  // An index beyond the list is ignored (0 is always taken). While playing, switches at once:
  // the rest of the current file is dropped and the next block read starts the chosen file.
  // An error opening it reaches the caller. Main thread.
  void SetCurrentItem(std::uint16_t Value);

  // When set, the end of the last file goes on with the first, so the list plays until stopped.
  // A file with no data at all still ends the list (a list of silent files must not spin).
  bool Wrap() const { return FWrap; }
  void SetWrap(bool Value) { FWrap = Value; }

  // Counts every file opened (start, end-of-file switch, SetCurrentItem while playing).
  std::uint64_t ItemSerial() override { return FItemSerial; }
  // The item whose blocks carry Serial, while it is among the last kRecentItems opened. Any
  // thread.
  std::optional<TPlayItem> PlayItem(std::uint64_t Serial) const;
  static constexpr std::size_t kRecentItems = 32;

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
  // Opens Files[index] in the file source and records it as a new item. Under DataCS.
  void openItem(TAuFileIn* input, int index);

  std::vector<std::string> FFiles;  // under DataCS
  std::vector<std::uint64_t> FKeys; // under DataCS
  std::atomic<std::uint16_t> FCurrentItem{0};
  std::atomic<bool> FWrap{false};
  std::atomic<std::uint64_t> FItemSerial{0};
  std::deque<TPlayItem> FRecent; // under FRecentLock
  mutable std::mutex FRecentLock;
};

} // namespace sondrix
