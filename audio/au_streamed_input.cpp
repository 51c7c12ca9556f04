#include "au_streamed_input.h"

namespace sondrix {

TAuStreamedInput::TAuStreamedInput(TComponent* AOwner) : TAuInput(AOwner) {
  FSeekable = true;
}

TAuStreamedInput::~TAuStreamedInput() = default;

void TAuStreamedInput::SetStreamValue(TStream* Value) {
  FStream = Value;
  FStreamAssigned = (Value != nullptr);
}

void TAuStreamedInput::restartPass() {
  FRestartPending = false;
  if (FSeekable) {
    std::int64_t start = FStartSample;
    DoSeek(start);
    FStartSample = start;
  } else {
    // Reopening clears the range, so a pass without seeking starts at the top of the file.
    Flush();
    Init();
  }
  FPosition = 0;
}

void TAuStreamedInput::GetData(void*& Buffer, std::uint32_t& Bytes) {
  CriticalSectionGuard lock(*DataCS);
  const std::uint32_t requested = Bytes;
  if (_EndOfStream) {
    FRestartPending = false;
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  if (FRestartPending)
    restartPass();

  // A second attempt is made only when a looping pass ends without bytes in hand, so an
  // empty source cannot spin.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Bytes = requested;
    DoGetData(Buffer, Bytes);
    if (Bytes == 0) {
      Buffer = nullptr;
      if (FLoop && attempt == 0) {
        restartPass();
        continue;
      }
      _EndOfStream = true;
      return;
    }
    FPosition += Bytes;
    const std::int64_t size = FSize;
    if (size > 0 && FPosition >= size) {
      const std::int64_t excess = FPosition - size;
      if (excess > 0) {
        Bytes -= static_cast<std::uint32_t>(excess);
        FPosition = size;
      }
      if (FLoop)
        FRestartPending = true;
      else
        _EndOfStream = true;
    }
    return;
  }
}

bool TAuStreamedInput::Seek(std::int64_t SampleNum) {
  if (!FSeekable || SampleNum < 0)
    return false;
  const std::int64_t total = FTotalSamples;
  if (total != 0 && SampleNum > total)
    return false;
  CriticalSectionGuard lock(*DataCS);
  if (!Busy) {
    FStartSample = SampleNum;
    FPosition = SampleNum * FSampleSize;
    FEndSample = -1;
    return true;
  }
  std::int64_t target = SampleNum + FStartSample;
  bool moved = false;
  try {
    moved = DoSeek(target);
  } catch (...) {
    // A decoder that cannot seek leaves the position where it was.
    return false;
  }
  FPosition = (target - FStartSample) * FSampleSize;
  FRestartPending = false;
  return moved;
}

} // namespace sondrix
