#include "winmedia/wm_in.h"

#include "audio/au_exception.h"
#include "base/text.h"
#include "tags/common_tags.h"
#include "tags/id3v2_tags.h"
#include "winmedia/runtime/pcm_converter.h"

#include <cmath>
#include <limits>

namespace sondrix {

namespace {

std::int64_t saturatingMul(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::int64_t>::max() : r;
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::int64_t>::max() : r;
}

} // namespace

std::uint8_t channelRequest(TChannelsNumber value) {
  switch (value) {
  case TChannelsNumber::cnMaxAvailable:
    return WM_CHANNELS_LARGEST;
  case TChannelsNumber::cn5dot1:
    return WM_CHANNELS_5DOT1;
  case TChannelsNumber::cn7dot1:
    return WM_CHANNELS_7DOT1;
  case TChannelsNumber::cnMonoOrStereo:
    break;
  }
  return WM_CHANNELS_NATIVE;
}

TWMIn::TWMIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner) {}

TWMIn::~TWMIn() = default;

void TWMIn::openReader(TStream* stream, bool highPrecision, std::uint8_t request) {
  wm_reader_open(reader, stream, highPrecision, request);
}

void TWMIn::OpenSource() {
  CriticalSectionGuard lock(*OpenCS);
  if (FOpened != 0)
    return;
  if (!hasSourceName())
    throw EAuException("File name is not assigned");
  if (!FStreamAssigned)
    OpenOwnStream();
  const bool discrete = FHighPrecision;
  const bool empty = FStream->Size() == 0;
  openReader(FStream, discrete, channelRequest(FOutputChannels));
  FValid = reader.has_audio;
  FInvalidReason = empty                      ? kEmptyFileText
                   : reader.reader == nullptr ? kNotMediaText
                   : !reader.has_audio        ? kNoAudioText
                                              : "";
  if (reader.reader == nullptr) {
    // Nothing will read the stream: do not hold the file open, nor leave a handed-in stream
    // wherever the failed attempt moved it.
    ReleaseStream();
    return;
  }
  try {
    if (reader._protected) {
      FValid = false;
      throw EAuException("File is protected");
    }
    FDiscreteInUse = discrete;
    takeFormat();
    // Below this a file's stated rate is a damaged header, not sound.
    if (FValid && FSR < PcmConverter::kMinRate) {
      FValid = false;
      FInvalidReason = unplayableRateText(FSR);
    }
    FSeekable = true;
    fillTags();
  } catch (...) {
    wm_reader_close(reader);
    ReleaseStream();
    throw;
  }
  ++FOpened;
}

void TWMIn::CloseSource() {
  CriticalSectionGuard lock(*OpenCS);
  if (FOpened <= 0)
    return;
  wm_reader_close(reader);
  FOpened = 0;
  ReleaseStream();
}

void TWMIn::takeFormat() {
  FDuration = wm_reader_duration(reader);
  std::uint16_t channels = 0;
  std::uint16_t bits = 0;
  std::uint32_t rate = 0;
  wm_reader_audio_format(reader, channels, bits, rate);
  FChan = channels;
  FBPS = bits;
  FSR = rate;
  const std::int64_t frameBytes = std::int64_t{channels} * (bits / 8);
  std::int64_t frames =
      static_cast<std::int64_t>(static_cast<double>(FDuration) / 100.0 * static_cast<double>(rate));
  // A header may claim any length: a size past the largest is simply "longer than any file".
  std::int64_t size = saturatingMul(frames, frameBytes);
  // Without a stated duration the size stays 0 (no limit); a correction alone would cut the
  // stream short.
  if (size > 0) {
    const std::uint32_t extra = extraFrames();
    frames = saturatingAdd(frames, extra);
    size = saturatingAdd(size, saturatingMul(extra, frameBytes));
  }
  FTotalSamples = frames;
  FSize = size;
}

void TWMIn::fillTags() {
  const std::u16string artist = wm_reader_text_attribute(reader, u"Author");
  const std::u16string title = wm_reader_text_attribute(reader, u"Title");
  const std::u16string album = wm_reader_text_attribute(reader, u"WM/AlbumTitle");
  const std::u16string genre = wm_reader_text_attribute(reader, u"WM/Genre");
  const std::string track = toNarrow(wm_reader_text_attribute(reader, u"WM/Track"));
  const std::string year = toNarrow(wm_reader_text_attribute(reader, u"WM/Year"));
  const std::u16string copyright = wm_reader_text_attribute(reader, u"Copyright");

  TId3v2Tags& id3 = *FId3v2Tags;
  id3.Clear();
  id3.SetArtist(artist);
  id3.SetTitle(title);
  id3.SetAlbum(album);
  id3.SetGenre(genre);
  id3.SetTrack(track);
  id3.SetYear(year);
  id3.SetComment(copyright);

  TCommonTags& common = *FCommonTags;
  common.Clear();
  common.SetArtist(artist);
  common.SetTitle(title);
  common.SetAlbum(album);
  common.SetGenre(genre);
  common.SetTrack(track);
  common.SetYear(year);
}

void TWMIn::DoGetData(void*& Buffer, std::uint32_t& Bytes) {
  const std::int64_t size = FSize;
  const std::int64_t left = size - FPosition;
  if (size > 0 && left < static_cast<std::int64_t>(Bytes))
    Bytes = left > 0 ? static_cast<std::uint32_t>(left) : 0;
  Buffer = nullptr;
  if (Bytes == 0)
    return;
  std::uint8_t* data = nullptr;
  wm_reader_read(reader, data, Bytes);
  Buffer = data;
}

bool TWMIn::DoSeek(std::int64_t& SampleNum) {
  if (!Busy)
    return false;
  const std::uint32_t rate = FSR;
  if (rate == 0 || SampleNum < 0)
    return false;
  // The frame's own time: the selected range and a length correction change the frame count
  // but not where a frame lies in the stream.
  const double hundredths =
      std::nearbyint(static_cast<double>(SampleNum) * 100.0 / static_cast<double>(rate));
  if (hundredths > static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
    return false;
  wm_reader_seek(reader, static_cast<std::uint32_t>(hundredths));
  return true;
}

void TWMIn::reopen() {
  CriticalSectionGuard lock(*OpenCS);
  if (FOpened > 0) {
    CloseSource();
    OpenSource();
  }
}

void TWMIn::SetHighPrecision(bool Value) {
  CriticalSectionGuard data(*DataCS);
  if (Busy || FOutputChannels != TChannelsNumber::cnMonoOrStereo)
    return;
  FHighPrecision = Value;
  reopen();
}

void TWMIn::SetOutputChannels(TChannelsNumber Value) {
  CriticalSectionGuard data(*DataCS);
  if (Busy)
    return;
  // Other layouts exist only in the decoder's discrete output.
  if (Value != TChannelsNumber::cnMonoOrStereo)
    FHighPrecision = true;
  FOutputChannels = Value;
  reopen();
}

std::int32_t TWMIn::FormatsCount() {
  CriticalSectionGuard data(*DataCS);
  if (Busy || !hasSourceName())
    return 0;
  OpenSource();
  CriticalSectionGuard open(*OpenCS);
  return static_cast<std::int32_t>(wm_reader_format_count(reader, FDiscreteInUse));
}

void TWMIn::SetFormatSelected(std::int32_t Value) {
  CriticalSectionGuard data(*DataCS);
  if (Busy)
    return;
  OpenSource();
  CriticalSectionGuard open(*OpenCS);
  if (Value == -2) {
    wm_reader_set_format(reader, true, 0);
    FDiscreteInUse = true;
    FFormat = 0;
  } else if (Value >= 0) {
    wm_reader_set_format(reader, FHighPrecision, static_cast<std::uint32_t>(Value));
    FDiscreteInUse = FHighPrecision;
    FFormat = Value;
  }
  takeFormat();
}

bool TWMIn::HasAudio() {
  OpenSource();
  return reader.has_audio;
}

bool TWMIn::IsProtected() {
  OpenSource();
  return reader._protected;
}

std::uint32_t TWMIn::Bitrate() {
  OpenSource();
  return wm_reader_bitrate(reader);
}

bool TWMIn::IsVBR() {
  OpenSource();
  return wm_reader_is_vbr(reader);
}

TId3v2Tags* TWMIn::Id3v2Tags() {
  OpenSource();
  return FId3v2Tags.get();
}

} // namespace sondrix
