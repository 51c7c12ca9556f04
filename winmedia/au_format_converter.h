#pragma once

#include "audio/au_converter.h"
#include "winmedia/runtime/pcm_converter.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

// The one format of a broadcast whose first file has the format first: at most stereo, at the
// encoders' rate nearest at or below the file's, at bits.
PcmFormat runFormat(const PcmFormat& first, std::uint32_t bits);

// Delivers its Input's audio in one fixed PCM format for a whole run: runFormat of the format
// the Input had at Init. Whenever the Input switches to a source of another format (the next
// file of a playlist), the following blocks are resampled and remixed to the fixed format, so
// every file is heard at its own speed and pitch through an encoder that was set up once.
//
// The Input's format is read under the Input's lock together with each block, so a switch
// made by either thread is seen at the exact block where it happens.
class TAuFormatConverter : public TAuConverter {
public:
  explicit TAuFormatConverter(TComponent* AOwner = nullptr);
  ~TAuFormatConverter() override;

  // Bits of the fixed output format (16 by default; 8, 16, 24 or 32).
  std::uint32_t OutputBits() const { return FOutputBits; }
  void SetOutputBits(std::uint32_t bits) { FOutputBits = bits; }

  // Each block returned holds one item of the Input's only: at an item change the resampler
  // gives up the old item's tail first, so the next item starts exactly at a block.
  std::uint64_t ItemSerial() override { return FServedSerial; }

protected:
  std::uint32_t GetBitsPerSample() override;
  std::uint32_t GetChannels() override;
  std::uint32_t GetSampleRate() override;
  void DoInit() override;
  void DoFlush() override;
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override;

private:
  PcmFormat inputFormat();
  // Input bytes to ask for so that their conversion gives about outBytes.
  std::uint32_t inputBytesFor(const PcmFormat& in, std::uint32_t outBytes) const;
  void convertBlock(const PcmFormat& format, const std::uint8_t* data, std::uint32_t bytes);

  std::uint32_t FOutputBits = 16;
  PcmFormat FOut;
  std::unique_ptr<PcmConverter> FConverter; // none while the input already has FOut
  PcmFormat FConvertingFrom;
  std::vector<std::uint8_t> FPending;
  std::size_t FPendingStart = 0;
  bool FInputEnded = false;
  static constexpr std::size_t kNoBoundary = static_cast<std::size_t>(-1);
  std::uint64_t FPendingSerial = 0;    // the item of FPending's bytes before FBoundary
  std::size_t FBoundary = kNoBoundary; // where the next item's bytes start in FPending
  std::uint64_t FNextSerial = 0;
  std::uint64_t FServedSerial = 0;
};

} // namespace sondrix
