#pragma once

#include "au_input.h"
#include "base/stream.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace sondrix {

// A source that decodes a byte stream, with a selectable range of frames and looping.
// Frames ("samples") are counted per channel group: one frame = FSampleSize bytes.
class TAuStreamedInput : public TAuInput {
public:
  explicit TAuStreamedInput(TComponent* AOwner = nullptr);
  ~TAuStreamedInput() override;

  // A stream handed in is read from but never freed by the source.
  TStream* Stream() const { return FStream; }
  void SetStream(TStream* Value) { SetStreamValue(Value); }

  bool Loop() const { return FLoop; }
  void SetLoop(bool Value) { FLoop = Value; }

  // Adds the range end and looping: a pass ends when Position reaches a positive Size or the
  // decoder runs dry; with Loop on, every byte of every pass is delivered, and the call after
  // the last block of a pass starts the next one from the range start.
  void GetData(void*& Buffer, std::uint32_t& Bytes) override;

  // Moves to frame SampleNum counted from the range start; false when the source cannot seek,
  // the frame lies beyond the range, or the decoder failed (its error is not passed on).
  // While idle it only sets where the next run starts, and removes any end frame.
  bool Seek(std::int64_t SampleNum);

protected:
  virtual void SetStreamValue(TStream* Value);
  // Positions the decoder at absolute frame SampleNum of the source; may correct SampleNum to
  // the frame actually reached. Called under DataCS.
  virtual bool DoSeek(std::int64_t& SampleNum) = 0;

  // Puts the decoder back at the range start for the next looping pass. Under DataCS.
  void restartPass();

  TStream* FStream = nullptr;
  // Set when the source opened FStream itself (FOwnedStream holds it then).
  std::unique_ptr<TStream> FOwnedStream;
  std::atomic<bool> FStreamAssigned{false};
  std::atomic<std::int64_t> FStartSample{0};
  std::atomic<std::int64_t> FEndSample{-1};
  std::atomic<bool> FLoop{false};
  std::atomic<std::int64_t> FTotalSamples{0};
  // The last block of a looping pass went out; the next read starts the next pass. Under
  // DataCS.
  bool FRestartPending = false;
};

} // namespace sondrix
