#include "au_converter.h"

namespace sondrix {

TAuConverter::TAuConverter(TComponent* AOwner) : TAuInput(AOwner) {}

void TAuConverter::SetInputValue(TAuInput* Value) {
  if (Value == this)
    return;
  CriticalSectionGuard lock(*DataCS);
  if (Busy) {
    if (FInput != nullptr)
      FInput->Flush();
    if (Value != nullptr)
      Value->Init();
  }
  if (FInput != nullptr && FInput != Value)
    RemoveFreeNotification(FInput);
  FInput = Value;
  if (FInput != nullptr)
    FInput->FreeNotification(this);
}

std::uint32_t TAuConverter::GetBitsPerSample() {
  if (FInput == nullptr)
    return 0;
  const std::uint32_t bits = FInput->BitsPerSample();
  return FFloatRequested ? bits : bits % 128;
}

std::uint32_t TAuConverter::GetChannels() {
  return FInput == nullptr ? 0 : FInput->Channels();
}

std::uint32_t TAuConverter::GetSampleRate() {
  return FInput == nullptr ? 0 : FInput->SampleRate();
}

void TAuConverter::GetData(void*& Buffer, std::uint32_t& Bytes) {
  CriticalSectionGuard lock(*DataCS);
  if (_EndOfStream) {
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  DoGetData(Buffer, Bytes);
  FPosition += Bytes;
  const std::int64_t size = FSize;
  const std::int64_t position = FPosition;
  if (size > 0 && position > size) {
    Bytes -= static_cast<std::uint32_t>(position - size);
    _EndOfStream = true;
  }
  if (Bytes == 0) {
    Buffer = nullptr;
    _EndOfStream = true;
  }
}

std::uint64_t TAuConverter::ItemSerial() {
  return FInput == nullptr ? 0 : FInput->ItemSerial();
}

void TAuConverter::_Pause() {
  if (FInput != nullptr)
    FInput->_Pause();
}

void TAuConverter::_Resume() {
  if (FInput != nullptr)
    FInput->_Resume();
}

void TAuConverter::_Jump(std::int32_t Offs) {
  if (FInput != nullptr)
    FInput->_Jump(Offs);
}

void TAuConverter::Notification(TComponent* AComponent, TOperation Operation) {
  // The input is already half destroyed here: forget it without flushing it.
  if (Operation == TOperation::opRemove && AComponent == FInput) {
    CriticalSectionGuard lock(*DataCS);
    FInput = nullptr;
  }
  TAuInput::Notification(AComponent, Operation);
}

} // namespace sondrix
