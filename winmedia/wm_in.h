#pragma once

#include "audio/au_tagged_file_in.h"
#include "winmedia/wma_sync_reader.h"

#include <atomic>
#include <cstdint>

namespace sondrix {

// The channel layout asked of the decoder.
enum class TChannelsNumber : std::uint8_t {
  cnMaxAvailable = 0, // the largest format the decoder offers
  cnMonoOrStereo = 1, // the stream's own layout
  cn5dot1 = 2,
  cn7dot1 = 3,
};

// The reader's channel request for a layout.
std::uint8_t channelRequest(TChannelsNumber value);

// A file source decoding whatever the media runtime reads (WMA, MP3, FLAC, ...) into PCM,
// with its text attributes in Id3v2Tags and CommonTags.
//
// Threads: the reading path (Init, GetData, Seek, Flush) runs on the output's worker under
// DataCS; OpenSource/CloseSource under OpenCS. The property calls below use the reader on the
// calling thread without DataCS: HighPrecision, OutputChannels, FormatsCount and
// FormatSelected do nothing while Busy; HasAudio, IsProtected, Bitrate, IsVBR and Id3v2Tags
// open the source and must not be called while a run reads it.
class TWMIn : public TAuTaggedFileIn {
public:
  // Why Init refuses a source (the run's error text).
  static constexpr const char* kEmptyFileText = "The file is empty";
  static constexpr const char* kNotMediaText = "Not a media file, or a damaged one";

  explicit TWMIn(TComponent* AOwner = nullptr);
  ~TWMIn() override;

  // Discrete (full depth, all channels) output. Takes effect only with cnMonoOrStereo; any
  // other layout forces it on. Writing reopens an open source.
  bool HighPrecision() const { return FHighPrecision; }
  void SetHighPrecision(bool Value);
  TChannelsNumber OutputChannels() const { return FOutputChannels; }
  void SetOutputChannels(TChannelsNumber Value);

  // PCM formats the chosen output offers; 0 while Busy or with neither name nor stream
  // (nothing is opened then).
  std::int32_t FormatsCount();
  // Index of the format last selected. Writing -2 selects format 0 with discrete output,
  // 0 and above that format, -1 nothing; every write then recomputes format and length.
  std::int32_t FormatSelected() const { return FFormat; }
  void SetFormatSelected(std::int32_t Value);

  // Each opens the source first.
  bool HasAudio();
  bool IsProtected();
  // Bits per second; 0 when the stream does not say.
  std::uint32_t Bitrate();
  bool IsVBR();
  TId3v2Tags* Id3v2Tags();

protected:
  void OpenSource() override;
  void CloseSource() override;
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override;
  // Moves to the time of frame SampleNum; corrects SampleNum to the frame that time starts.
  bool DoSeek(std::int64_t& SampleNum) override;

  // Opens `reader` on stream. Tests put a scripted runtime reader in here.
  virtual void openReader(TStream* stream, bool highPrecision, std::uint8_t request);
  // Frames let through beyond the stream's stated duration (when it states one).
  virtual std::uint32_t extraFrames() const { return 0; }

  wma_sync_reader reader; // under OpenCS to open and close; read by the reading path
  std::atomic<std::uint32_t> FDuration{0}; // hundredths of a second
  std::atomic<bool> FHighPrecision{false};
  std::atomic<TChannelsNumber> FOutputChannels{TChannelsNumber::cnMonoOrStereo};
  std::atomic<std::int32_t> FFormat{0};

private:
  // Whether the output now runs with discrete output: FHighPrecision, or on after format -2.
  // Counting formats keeps it, so that counting cannot switch the output to another format.
  bool FDiscreteInUse = false; // under OpenCS
  // Format and length from the reader's current format. Under OpenCS.
  void takeFormat();
  void fillTags();
  void reopen();
};

} // namespace sondrix
