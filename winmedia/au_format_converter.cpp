#include "au_format_converter.h"

#include "audio/au_exception.h"
#include "winmedia/runtime/codec_info.h"

#include <algorithm>

namespace sondrix {

PcmFormat runFormat(const PcmFormat& first, std::uint32_t bits) {
  return PcmFormat{wmEncoderRateAtOrBelow(first.SampleRate),
                   std::min<std::uint32_t>(first.Channels, 2), bits};
}

TAuFormatConverter::TAuFormatConverter(TComponent* AOwner) : TAuConverter(AOwner) {}

std::uint32_t TAuFormatConverter::inputBytesFor(const PcmFormat& in, std::uint32_t outBytes) const {
  const std::uint64_t inRate = std::uint64_t{in.SampleRate} * in.FrameSize();
  const std::uint64_t outRate = std::uint64_t{FOut.SampleRate} * FOut.FrameSize();
  if (inRate == 0 || outRate == 0 || inRate >= outRate)
    return outBytes;
  // An input that grows when converted (a low rate, few channels) is read in smaller blocks,
  // so the converted block stays near what the caller asked for.
  const std::uint64_t bytes = std::uint64_t{outBytes} * inRate / outRate;
  return static_cast<std::uint32_t>(std::max<std::uint64_t>(bytes, in.FrameSize()));
}

TAuFormatConverter::~TAuFormatConverter() = default;

PcmFormat TAuFormatConverter::inputFormat() {
  return PcmFormat{FInput->SampleRate(), FInput->Channels(), FInput->BitsPerSample()};
}

std::uint32_t TAuFormatConverter::GetBitsPerSample() {
  if (Busy)
    return FOut.BitsPerSample;
  return FInput == nullptr ? 0 : FOutputBits;
}

std::uint32_t TAuFormatConverter::GetChannels() {
  if (Busy)
    return FOut.Channels;
  return TAuConverter::GetChannels();
}

std::uint32_t TAuFormatConverter::GetSampleRate() {
  if (Busy)
    return FOut.SampleRate;
  return TAuConverter::GetSampleRate();
}

void TAuFormatConverter::DoInit() {
  if (FInput == nullptr)
    throw EAuException("Input is not assigned");
  FInput->Init();
  const PcmFormat in = inputFormat();
  FOut = runFormat(in, FOutputBits);
  FConverter.reset();
  FPending.clear();
  FPendingStart = 0;
  FInputEnded = false;
  FPendingSerial = FServedSerial = FInput->ItemSerial();
  FBoundary = kNoBoundary;
  // The length is the input's only while no conversion changes it.
  const std::int64_t inSize = FInput->Size();
  FSize = (inSize > 0 && in == FOut) ? inSize : (inSize == 0 ? 0 : -1);
  FPosition = 0;
  Busy = true;
}

void TAuFormatConverter::DoFlush() {
  FConverter.reset();
  FPending.clear();
  FPendingStart = 0;
  FBoundary = kNoBoundary;
  Busy = false;
  if (FInput != nullptr)
    FInput->Flush();
}

void TAuFormatConverter::convertBlock(const PcmFormat& format, const std::uint8_t* data,
                                      std::uint32_t bytes) {
  if (FConverter && !(FConvertingFrom == format)) {
    // The source changed: the tail of the old one first, then the new one.
    FConverter->Drain(FPending);
    FConverter.reset();
  }
  if (format == FOut) {
    FPending.insert(FPending.end(), data, data + bytes);
    return;
  }
  if (!FConverter) {
    FConverter = std::make_unique<PcmConverter>(format, FOut);
    FConvertingFrom = format;
  }
  FConverter->Convert(data, bytes, FPending);
}

void TAuFormatConverter::DoGetData(void*& Buffer, std::uint32_t& Bytes) {
  const std::uint32_t wanted = Bytes;
  if (FBoundary != kNoBoundary && FPendingStart >= FBoundary) {
    FPendingSerial = FNextSerial;
    FBoundary = kNoBoundary;
  }
  while (FPending.size() - FPendingStart == 0) {
    FPending.clear();
    FPendingStart = 0;
    if (FInputEnded) {
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    // The block is used up under the input's lock too: a track switch from the main thread
    // closes the file whose decoded bytes it points into.
    void* p = nullptr;
    CriticalSectionGuard inputLock(FInput->DataLock());
    std::uint32_t ask = inputBytesFor(inputFormat(), std::max<std::uint32_t>(wanted, 4096));
    FInput->GetData(p, ask);
    if (ask == 0) {
      FInputEnded = true;
      if (FConverter)
        FConverter->Drain(FPending);
      continue;
    }
    const std::uint64_t serial = FInput->ItemSerial();
    if (serial != FPendingSerial) {
      // A new item: the resampler starts afresh, so nothing of one item leaks into the other.
      if (FConverter) {
        FConverter->Drain(FPending);
        FConverter.reset();
      }
      if (FPending.empty()) {
        FPendingSerial = serial;
      } else {
        FBoundary = FPending.size();
        FNextSerial = serial;
      }
    }
    convertBlock(inputFormat(), static_cast<const std::uint8_t*>(p), ask);
  }
  const std::size_t end = FBoundary != kNoBoundary ? FBoundary : FPending.size();
  const std::size_t available = end - FPendingStart;
  const std::size_t frame = std::max<std::size_t>(1, FOut.FrameSize());
  std::size_t n = std::min<std::size_t>(available, wanted);
  // Whole frames only, unless the caller asked for less than one.
  if (n >= frame)
    n -= n % frame;
  Buffer = FPending.data() + FPendingStart;
  Bytes = static_cast<std::uint32_t>(n);
  FPendingStart += n;
  FServedSerial = FPendingSerial;
}

} // namespace sondrix
