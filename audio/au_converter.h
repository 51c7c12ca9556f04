#pragma once

#include "au_input.h"

namespace sondrix {

// A source that draws its data from another source, its Input (not owned). The format is
// always that of the current Input, asked anew on every read.
class TAuConverter : public TAuInput {
public:
  explicit TAuConverter(TComponent* AOwner = nullptr);

  TAuInput* Input() const { return FInput; }
  // Swaps the Input atomically against a reader on another thread; while this converter is
  // being read, the old Input is flushed and the new one initialised.
  void SetInput(TAuInput* Value) { SetInputValue(Value); }

  // Adds the end-of-data rule and trimming at a positive Size.
  void GetData(void*& Buffer, std::uint32_t& Bytes) override;
  // The Input's: a converter that keeps no audio back passes items through as they come.
  std::uint64_t ItemSerial() override;
  void _Pause() override;
  void _Resume() override;
  void _Jump(std::int32_t Offs) override;

protected:
  std::uint32_t GetBitsPerSample() override;
  std::uint32_t GetChannels() override;
  std::uint32_t GetSampleRate() override;
  virtual void SetInputValue(TAuInput* Value);
  void Notification(TComponent* AComponent, TOperation Operation) override;

  TAuInput* FInput = nullptr;
};

} // namespace sondrix
