#include "au_file_in.h"

#include "au_exception.h"
#include "au_file_stream.h"
#include "base/text.h"

#include <cmath>
#include <optional>

namespace sondrix {
namespace {

// Read, others may read.
constexpr std::uint16_t kOpenForReading = 0x20;

} // namespace

TAuFileIn::TAuFileIn(TComponent* AOwner)
    : TAuStreamedInput(AOwner), OpenCS(std::make_unique<TCriticalSection>()) {}

TAuFileIn::~TAuFileIn() = default;

void TAuFileIn::BeforeDestruction() {
  // CloseSource is the concrete source's: it must run while that part still exists.
  closeQuietly();
  TAuStreamedInput::BeforeDestruction();
}

void TAuFileIn::closeQuietly() {
  try {
    CloseSource();
  } catch (...) {
    // Closing is best effort here; the stream is freed with the source anyway.
  }
}

std::string TAuFileIn::FileName() const {
  CriticalSectionGuard lock(*OpenCS);
  return FFileName;
}

std::u16string TAuFileIn::WideFileName() const {
  CriticalSectionGuard lock(*OpenCS);
  return FWideFileName;
}

void TAuFileIn::SetFileName(const std::string& Value) {
  CriticalSectionGuard data(*DataCS);
  CriticalSectionGuard open(*OpenCS);
  CloseSource();
  FFileName = Value;
  FWideFileName = toWide(Value);
}

void TAuFileIn::SetWideFileName(const std::u16string& Value) {
  CriticalSectionGuard data(*DataCS);
  CriticalSectionGuard open(*OpenCS);
  CloseSource();
  FWideFileName = Value;
  FFileName.clear();
}

void TAuFileIn::SetStreamValue(TStream* Value) {
  CriticalSectionGuard data(*DataCS);
  CriticalSectionGuard open(*OpenCS);
  CloseSource();
  FOwnedStream.reset();
  TAuStreamedInput::SetStreamValue(Value);
}

bool TAuFileIn::hasSourceName() const {
  CriticalSectionGuard lock(*OpenCS);
  return FStreamAssigned || !FWideFileName.empty();
}

void TAuFileIn::OpenOwnStream() {
  CriticalSectionGuard lock(*OpenCS);
  FOwnedStream = std::make_unique<TAuFileStream>(FWideFileName, kOpenForReading);
  FStream = FOwnedStream.get();
}

void TAuFileIn::ReleaseStream() {
  CriticalSectionGuard lock(*OpenCS);
  if (FStreamAssigned) {
    if (FStream != nullptr)
      FStream->Seek(0, TSeekOrigin::soBeginning);
    return;
  }
  FOwnedStream.reset();
  FStream = nullptr;
}

std::uint32_t TAuFileIn::GetBitsPerSample() {
  OpenSource();
  return FBPS;
}

std::uint32_t TAuFileIn::GetChannels() {
  OpenSource();
  return FChan;
}

std::uint32_t TAuFileIn::GetSampleRate() {
  OpenSource();
  return FSR;
}

std::uint32_t TAuFileIn::GetTotalTime() {
  OpenSource();
  const std::uint64_t bytesPerSecond =
      std::uint64_t{FSR} * std::uint64_t{FChan} * std::uint64_t{FBPS / 8};
  if (bytesPerSecond == 0)
    return 0;
  return static_cast<std::uint32_t>(
      std::nearbyint(static_cast<double>(FSize) / static_cast<double>(bytesPerSecond)));
}

std::int64_t TAuFileIn::GetTotalSamples() {
  OpenSource();
  const std::int64_t frame = (std::int64_t{FChan} * std::int64_t{FBPS}) / 8;
  const std::int64_t size = FSize;
  FTotalSamples = (size > 0 && frame > 0) ? size / frame : -1;
  return FTotalSamples;
}

void TAuFileIn::DoInit() {
  if (Busy)
    throw EAuException("The component is Busy");
  if (!hasSourceName())
    throw EAuException("The file name is not assigned");
  Busy = true;
  FPosition = 0;
  FRestartPending = false;
  OpenSource();

  const std::uint32_t frameBytes = (FChan * FBPS) / 8;
  if (!FValid || frameBytes == 0 || FSR == 0) {
    // A run of nothing would end the broadcast as if the list were over: say why instead.
    std::string reason;
    {
      CriticalSectionGuard lock(*OpenCS);
      reason = FInvalidReason.empty() ? std::string(kNoAudioText) : FInvalidReason;
    }
    throw EAuException(reason);
  }
  FSampleSize = static_cast<std::uint16_t>(frameBytes);
  const std::int64_t sourceFrames = FSize / FSampleSize;
  FTotalSamples = sourceFrames;
  FTime = static_cast<std::uint32_t>(sourceFrames / FSR);

  if (FStartSample > 0) {
    Seek(0); // busy: moves the decoder to the range start
    FPosition = 0;
  }
  if (FStartSample > 0 || FEndSample != -1) {
    // The last frame of the source is sourceFrames - 1: an end at or past it, or a negative
    // one, means "to the end".
    if (FEndSample >= sourceFrames || FEndSample < 0)
      FEndSample = -1;
    const std::int64_t end = FEndSample;
    const std::int64_t last = end == -1 ? sourceFrames - 1 : end;
    const std::int64_t frames = last - FStartSample + 1;
    if (frames <= 0) {
      // An empty range (start past the end): a size of 0 would mean "no limit", so end the
      // data here instead.
      FTotalSamples = 0;
      FSize = 0;
      _EndOfStream = true;
    } else {
      FTotalSamples = frames;
      FSize = frames * FSampleSize;
    }
  }
  BufStart = 1;
  BufEnd = 0;
}

void TAuFileIn::DoFlush() {
  CloseSource();
  FStartSample = 0;
  FEndSample = -1;
  FRestartPending = false;
  Busy = false;
}

void TAuFileIn::Reset() {
  TAuStreamedInput::Reset();
  FOpened = 0;
}

bool TAuFileIn::Valid() {
  if (!hasSourceName())
    return FValid;
  try {
    OpenSource();
  } catch (...) {
    FValid = false;
  }
  if (FValid)
    return true;
  CriticalSectionGuard lock(*OpenCS);
  if (FOpened > 0) {
    closeQuietly();
  } else if (!FStreamAssigned) {
    FOwnedStream.reset();
    FStream = nullptr;
  }
  return false;
}

std::optional<std::int64_t> TAuFileIn::frameAtTime(std::int64_t Minutes, std::int64_t Seconds) {
  if (!FSeekable)
    return std::nullopt;
  OpenSource();
  // 64-bit, so a long time cannot wrap round into a small frame number.
  const std::int64_t frame = (Seconds + Minutes * 60) * std::int64_t{FSR};
  if (frame < 0 || frame > FTotalSamples)
    return std::nullopt;
  return frame;
}

bool TAuFileIn::SetStartTime(std::uint32_t Minutes, std::uint32_t Seconds) {
  const auto frame = frameAtTime(Minutes, Seconds);
  if (frame)
    FStartSample = *frame;
  return frame.has_value();
}

bool TAuFileIn::SetEndTime(std::int32_t Minutes, std::int32_t Seconds) {
  const auto frame = frameAtTime(Minutes, Seconds);
  if (frame)
    FEndSample = *frame;
  return frame.has_value();
}

void TAuFileIn::_Jump(std::int32_t Offs) {
  const std::int64_t size = FSize;
  if (!FSeekable || size <= 0)
    return;
  double f = static_cast<double>(FPosition) / static_cast<double>(size) + Offs / 1000.0;
  if (f < 0)
    f = 0;
  if (f > 1)
    f = 1;
  const auto frame =
      static_cast<std::int64_t>(std::nearbyint(static_cast<double>(FTotalSamples) * f));
  Seek(frame);
}

} // namespace sondrix
