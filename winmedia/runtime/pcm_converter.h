#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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

// Why a file's rate below PcmConverter::kMinRate cannot play.
std::string unplayableRateText(std::uint32_t rate);

// Converts a stream of PCM from one format to another (rate, channels, sample width),
// keeping the resampler's state across blocks. Input blocks may end in the middle of a frame.
// One thread at a time.
class PcmConverter {
public:
  // Below kMinRate a file's rate is a damaged header: its audio would be blown up a
  // thousandfold and more.
  static constexpr std::uint32_t kMinRate = 1000;
  static constexpr std::uint32_t kMaxRate = 768000;
  static constexpr std::uint32_t kMaxChannels = 64; // the resampler's own limit
  // Beyond this many channels there is no named layout; they are folded side by side.
  static constexpr std::uint32_t kNamedLayoutChannels = 8;
  // Most output frames one resampler call produces: the buffer never scales with the ratio.
  static constexpr std::uint32_t kMaxSliceFrames = 16384;

  // Throws std::runtime_error when a format cannot be converted (8/16/24/32-bit integer and
  // 32-bit float, 1..kMaxChannels channels, kMinRate..kMaxRate; the text names the fault).
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
