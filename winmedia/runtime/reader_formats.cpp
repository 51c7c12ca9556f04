#include "winmedia/runtime/reader_formats.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sondrix {

WAVEFORMATEX readerPcmFormat(std::uint32_t channels, std::uint32_t sampleRate,
                             std::uint32_t bitsPerSample) {
  WAVEFORMATEX f;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = static_cast<std::uint16_t>(channels);
  f.nSamplesPerSec = sampleRate;
  f.wBitsPerSample = static_cast<std::uint16_t>(bitsPerSample);
  f.nBlockAlign = static_cast<std::uint16_t>(channels * bitsPerSample / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * sampleRate;
  f.cbSize = 0;
  return f;
}

std::vector<WAVEFORMATEX> readerOutputFormats(const ReaderSourceAudio& source, bool discrete,
                                              std::uint32_t speakerChannels) {
  std::vector<WAVEFORMATEX> formats;
  if (source.channels == 0 || source.sampleRate == 0)
    return formats;

  std::uint32_t maxChannels =
      discrete ? source.channels : std::min<std::uint32_t>(source.channels, 2);
  if (discrete && speakerChannels >= 1 && speakerChannels <= 8)
    maxChannels = std::min(maxChannels, speakerChannels);
  std::vector<std::uint32_t> channelCounts{maxChannels};
  if (maxChannels > 2)
    channelCounts.push_back(2);
  if (maxChannels > 1)
    channelCounts.push_back(1);

  std::vector<std::uint32_t> bits;
  if (source.lossy)
    bits = {16, 8};
  else if (source.depth > 16)
    bits = discrete ? std::vector<std::uint32_t>{24, 16, 8} : std::vector<std::uint32_t>{16, 8};
  else if (source.depth <= 8)
    bits = {8, 16};
  else
    bits = {16, 8};

  // Halved rates down to telephone quality, as the platform's decoders offered them.
  std::vector<std::uint32_t> rates{source.sampleRate};
  for (std::uint32_t r = source.sampleRate; r % 2 == 0 && r / 2 >= 8000; r /= 2) {
    rates.push_back(r / 2);
    if (rates.size() == 3)
      break;
  }

  for (std::uint32_t rate : rates)
    for (std::uint32_t ch : channelCounts)
      for (std::uint32_t b : bits)
        formats.push_back(readerPcmFormat(ch, rate, b));
  return formats;
}

namespace {

bool isFrameHeader(const std::uint8_t* p) {
  if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
    return false;
  const int version = (p[1] >> 3) & 3; // 1 is reserved
  const int layer = (p[1] >> 1) & 3;   // 0 is reserved
  const int bitrate = p[2] >> 4;       // 15 is invalid
  const int rate = (p[2] >> 2) & 3;    // 3 is reserved
  return version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

} // namespace

bool mp3HasVbrHeader(const ReaderReadAt& readAt) {
  std::uint64_t pos = 0;
  // Tags can follow one another; a few are plenty.
  for (int i = 0; i < 4; ++i) {
    std::array<std::uint8_t, 10> h{};
    if (readAt(pos, h.data(), h.size()) != h.size() || std::memcmp(h.data(), "ID3", 3) != 0)
      break;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80)
      return false;
    const std::uint64_t size = (std::uint64_t{h[6]} << 21) | (std::uint64_t{h[7]} << 14) |
                               (std::uint64_t{h[8]} << 7) | h[9];
    pos += 10 + size + ((h[5] & 0x10) ? 10 : 0);
  }
  std::vector<std::uint8_t> window(4096 + 64);
  const std::size_t got = readAt(pos, window.data(), window.size());
  if (got < 4)
    return false;
  for (std::size_t i = 0; i + 4 <= got && i < 4096; ++i) {
    if (!isFrameHeader(&window[i]))
      continue;
    // The tag sits after the side information (9..32 bytes, +2 with CRC), or at 36 for VBRI.
    const std::size_t end = std::min(got, i + 4 + 2 + 32 + 4);
    for (std::size_t j = i + 4; j + 4 <= end; ++j)
      if (std::memcmp(&window[j], "Xing", 4) == 0 || std::memcmp(&window[j], "VBRI", 4) == 0)
        return true;
    return false;
  }
  return false;
}

} // namespace sondrix
