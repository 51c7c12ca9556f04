#pragma once

#include "audio/au_converter.h"
#include "audio/au_events.h"
#include "track_analysis.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

class LoudnessMeter;
class PeakLimiter;

// How the stage shapes the sound; set while idle, taken at the next Init.
struct SoundParams {
  std::optional<double> TargetLufs = -16.0; // nullopt: every track as loud as its file
  double CrossfadeSeconds = 0;              // 0: back to back
  bool TrimSilence = true;                  // cut silence at each track's start and end
  double CeilingDbtp = -1.0;
  double MaxBoostDb = 12.0;
};

// What the stage learns of an item from whoever made the list.
struct SoundItem {
  std::string Path;
  std::size_t ListSize = 1; // items in the list: that many silent ones in a row end the stream
};

// The stage between a playlist and the encoders: each item at the gain that brings it to the
// target loudness (from its analysis, else estimated from what has been read of it), leading
// and trailing silence cut, the next item started under the end of the last when a crossfade
// is set, and a look-ahead limiter that keeps true peaks under the ceiling. Its Input must mark
// items with ItemSerial (a playlist, through a converter that keeps items apart) and deliver
// 16-bit or float PCM; the stage delivers the same format.
//
// The stage reads ahead of what it delivers (the crossfade's length, and up to half a second of
// a new item whose loudness is not yet known), so it tells on its own when an item is heard:
// OnItemAudible, posted through the shared event handler when the output reaches the item's
// first frame, or during a crossfade the frame from which it is the louder.
class TSoundStage : public TAuConverter {
public:
  using ItemLookup = std::function<std::optional<SoundItem>(std::uint64_t Serial)>;
  using AnalysisLookup = std::function<std::optional<TrackAnalysis>(const std::string& Path)>;

  explicit TSoundStage(TComponent* AOwner = nullptr);
  ~TSoundStage() override;

  SoundParams Params() const;
  void SetParams(const SoundParams& Value);
  // Both are called on the reading thread; assign while idle.
  void SetItemLookup(ItemLookup Lookup) { FItemLookup = std::move(Lookup); }
  void SetAnalysisLookup(AnalysisLookup Lookup) { FAnalysisLookup = std::move(Lookup); }

  // The item heard now (its ItemSerial; 0 before the first) and frames of it heard so far.
  std::uint64_t AudibleSerial() const { return FAudibleSerial; }
  std::uint64_t AudibleFrames() const { return FAudibleFrames; }
  // Cuts the item heard now short for Serial, the item the Input has just switched to: what is
  // queued of the old one fades out (over half a second with a crossfade set, else 10 ms; less
  // if less is queued) and the rest goes, as do blocks of items before Serial that the Input
  // still delivers; with a crossfade the new item comes in under the fade. Main thread, holding
  // DataLock() across the Input's switch and this call, so the worker reads neither in between.
  void Skip(std::uint64_t Serial);
  // Paths of items skipped because they held nothing but silence, since the last call.
  std::vector<std::string> TakeSkipped();

  // Assign while idle; both run on the main thread.
  TNotifyEvent OnItemAudible;
  TNotifyEvent OnItemSkipped;

protected:
  void DoInit() override;
  void DoFlush() override;
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override;
  void BeforeDestruction() override;

private:
  struct Item;
  struct Mark {
    std::uint64_t Frame;  // absolute frame of the stage's output
    std::uint64_t Serial; // heard from there on
  };

  // Reads one block from the Input into the current item; false at the Input's end.
  bool readBlock();
  void startItem(std::uint64_t Serial);
  // The item's input ended: held silence is dropped, a silent item is skipped.
  void endItem();
  void processChunk(const float* Frames, std::size_t Count);
  // Takes the item's audio into the queue at its gain, mixing into the last item's tail while
  // a crossfade lasts.
  void commit(const float* Frames, std::size_t Count);
  void settleGain(bool Force);
  double targetGainDb();
  std::size_t crossfadeFrames(const Item& Last, const Item& Next) const;
  void emit(std::size_t Frames);
  void post(const TNotifyEvent& Event);

  SoundParams FParams; // as set
  SoundParams FRun;    // for the run in progress
  mutable std::mutex FParamsLock;
  ItemLookup FItemLookup;
  AnalysisLookup FAnalysisLookup;

  std::uint32_t FRate = 0;
  std::uint32_t FChannels = 0;
  std::uint32_t FBits = 0;
  std::unique_ptr<Item> FItem;     // the item being read
  std::unique_ptr<Item> FLastItem; // the one before it, while its tail may still be mixed
  std::vector<float> FQueue;       // committed frames not yet delivered, from FQueueStart
  std::size_t FQueueStart = 0;
  std::uint64_t FQueuedFrames = 0; // frames ever committed (absolute end of the queue)
  std::uint64_t FOutFrames = 0;    // frames ever delivered
  std::uint64_t FMixEnd = 0;       // while FMixAt < FMixEnd the current item mixes in
  std::uint64_t FMixAt = 0;
  std::uint64_t FMixLength = 0;
  bool FMarkPending = false; // the current item's audible mark is still to be placed
  std::deque<Mark> FMarks;
  std::unique_ptr<PeakLimiter> FLimiter;
  std::vector<float> FBlock;
  std::vector<std::uint8_t> FOutBytes;
  bool FInputEnded = false;
  std::size_t FSilentInARow = 0;
  std::atomic<std::uint64_t> FAudibleSerial{0};
  std::atomic<std::uint64_t> FAudibleFrames{0};
  std::uint64_t FAudibleFrom = 0;            // output frame where the audible item began
  std::uint64_t FSkipBelow = 0;              // blocks of earlier items are dropped
  std::optional<std::uint64_t> FSkipOverlap; // the next item's reach back after a skip
  std::mutex FSkippedLock;
  std::vector<std::string> FSkipped;
};

} // namespace sondrix
