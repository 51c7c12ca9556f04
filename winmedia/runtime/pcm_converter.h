#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

// Interleaved PCM format; 128 added to BitsPerSample marks floating-point samples.
struct PcmFormat {
  std::uint32_t SampleRate = 0;
  std::uint32_t Channels = 0;
  std::uint32_t BitsPerSample = 0;
  std::uint32_t FrameSize() const { return Channels * ((BitsPerSample % 128) / 8); }
  friend bool operator==(const PcmFormat&, const PcmFormat&) = default;
};

// Converts a stream of PCM from one format to another (rate, channels, sample width),
// keeping the resampler's state across blocks. Input blocks may end in the middle of a frame.
// One thread at a time.
class PcmConverter {
public:
  // Throws std::runtime_error when a format cannot be converted (8/16/24/32-bit integer and
  // 32-bit float, 1..8 channels, 1 Hz..768 kHz are supported).
  PcmConverter(PcmFormat in, PcmFormat out);
  ~PcmConverter();
  PcmConverter(const PcmConverter&) = delete;
  PcmConverter& operator=(const PcmConverter&) = delete;

  const PcmFormat& In() const { return FIn; }
  const PcmFormat& Out() const { return FOut; }
  // Appends the converted bytes of data to out.
  void Convert(const std::uint8_t* data, std::size_t bytes, std::vector<std::uint8_t>& out);
  // Appends what the resampler still holds; a dangling partial input frame is dropped.
  void Drain(std::vector<std::uint8_t>& out);

private:
  struct Impl;
  PcmFormat FIn;
  PcmFormat FOut;
  std::unique_ptr<Impl> FImpl;
};

} // namespace sondrix
