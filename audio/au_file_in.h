#pragma once

#include "au_streamed_input.h"
#include "base/critical_section.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace sondrix {

// The base of every source that decodes a file (opened by name) or a stream handed in.
// Concrete sources implement OpenSource, CloseSource, DoGetData and DoSeek; opening, ranges,
// positioning and end of data are done here.
//
// Locks: reading, seeking, Init and Flush hold DataCS and take OpenCS inside it; OpenSource
// and CloseSource run under OpenCS only and must never take DataCS. Name and stream changes
// hold both, so they cannot close the source under a read in progress.
// The source is opened on demand (Valid, a format or length query, Set*Time, Init) and stays
// open until Flush, Reset, a change of name or stream, or destruction.
class TAuFileIn : public TAuStreamedInput {
public:
  static constexpr const char* kNoAudioText = "The file holds no playable audio";

  explicit TAuFileIn(TComponent* AOwner = nullptr);
  ~TAuFileIn() override;

  // UTF-8 name; writing it closes the source and sets both names.
  std::string FileName() const;
  void SetFileName(const std::string& Value);
  // Writing it closes the source and empties FileName.
  std::u16string WideFileName() const;
  void SetWideFileName(const std::u16string& Value);

  // First and last frame (inclusive, -1 = to the end) of the range the next run plays. A run
  // clears both when it ends.
  std::int64_t StartSample() const { return FStartSample; }
  void SetStartSample(std::int64_t Value) { FStartSample = Value; }
  std::int64_t EndSample() const { return FEndSample; }
  void SetEndSample(std::int64_t Value) { FEndSample = Value; }

  // Opens the source to find out; a source without playable audio is left closed, and Init
  // fails on it with the reason.
  bool Valid();
  // Range start / end by time; false (nothing stored) on a source that cannot seek or when
  // the time lies beyond the source.
  bool SetStartTime(std::uint32_t Minutes, std::uint32_t Seconds);
  bool SetEndTime(std::int32_t Minutes, std::int32_t Seconds);

  void Reset() override;
  // Relative move by Offs thousandths of the selected range, clamped to the range.
  void _Jump(std::int32_t Offs) override;

protected:
  std::uint32_t GetBitsPerSample() override;
  std::uint32_t GetChannels() override;
  std::uint32_t GetSampleRate() override;
  // Whole seconds of Size, rounded to nearest (halves to even).
  std::uint32_t GetTotalTime() override;
  // Frames of Size; -1 when the size is not known. Overwrites FTotalSamples.
  std::int64_t GetTotalSamples() override;
  void DoInit() override;
  void DoFlush() override;
  void SetStreamValue(TStream* Value) override;
  void BeforeDestruction() override;

  // Under OpenCS and idempotent: when FOpened > 0 do nothing. Otherwise open the stream
  // (OpenOwnStream unless one was handed in), set FChan/FBPS/FSR, FValid, FSize (PCM bytes of
  // the whole source), FTotalSamples, FSeekable, the tags, and increment FOpened.
  virtual void OpenSource() = 0;
  // Under OpenCS, when FOpened > 0: release the decoder, FOpened := 0, then ReleaseStream.
  virtual void CloseSource() = 0;

  // Opens FWideFileName for reading as the source's own stream. Under OpenCS.
  void OpenOwnStream();
  // Rewinds a handed-in stream or frees the source's own one. Under OpenCS.
  void ReleaseStream();
  // For concrete sources: a handed-in stream, or a file name, is there to open.
  bool hasSourceName() const;

  std::unique_ptr<TCriticalSection> OpenCS;
  std::string FFileName;        // under OpenCS
  std::u16string FWideFileName; // under OpenCS
  std::atomic<std::int32_t> FOpened{0};
  std::atomic<bool> FValid{false};
  std::atomic<std::uint32_t> FBPS{0};
  std::atomic<std::uint32_t> FSR{0};
  std::atomic<std::uint32_t> FChan{0};
  std::atomic<std::uint32_t> FTime{0};
  // Why the opened source is not valid, for Init's error; empty gives kNoAudioText. Set by
  // OpenSource, under OpenCS.
  std::string FInvalidReason;

private:
  void closeQuietly();
  // The frame at a time, when the source can seek and has it (opens the source).
  std::optional<std::int64_t> frameAtTime(std::int64_t Minutes, std::int64_t Seconds);
};

} // namespace sondrix
