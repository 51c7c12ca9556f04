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

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

} // namespace

std::uint64_t Mp3InfoHeader::playedSamples() const {
  const std::uint64_t total = std::uint64_t{frames} * samplesPerFrame;
  if (frames == 0 || total <= std::uint64_t{delay} + padding)
    return 0;
  return total - delay - padding;
}

Mp3InfoHeader readMp3InfoHeader(const ReaderReadAt& readAt) {
  Mp3InfoHeader info;
  std::uint64_t pos = 0;
  // Tags can follow one another; a few are plenty.
  for (int i = 0; i < 4; ++i) {
    std::array<std::uint8_t, 10> h{};
    if (readAt(pos, h.data(), h.size()) != h.size() || std::memcmp(h.data(), "ID3", 3) != 0)
      break;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80)
      return info;
    const std::uint64_t size = (std::uint64_t{h[6]} << 21) | (std::uint64_t{h[7]} << 14) |
                               (std::uint64_t{h[8]} << 7) | h[9];
    pos += 10 + size + ((h[5] & 0x10) ? 10 : 0);
  }
  constexpr std::size_t kSearch = 4096;
  std::vector<std::uint8_t> window(kSearch + 512, 0);
  const std::size_t got = readAt(pos, window.data(), window.size());
  for (std::size_t i = 0; i + 4 <= got && i < kSearch; ++i) {
    const std::uint8_t* f = &window[i];
    if (!isFrameHeader(f))
      continue;
    const int version = (f[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = (f[1] >> 1) & 3;   // 1 layer III, 2 layer II, 3 layer I
    static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};
    const std::uint32_t divisor = version == 3 ? 1 : version == 2 ? 2 : 4;
    const bool mono = (f[3] >> 6) == 3;
    const std::size_t sideInfo = version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const std::size_t crc = (f[1] & 1) == 0 ? 2 : 0;
    const std::uint8_t* end = window.data() + got;
    const std::uint8_t* xing = f + 4 + crc + sideInfo;
    const std::uint8_t* vbri = f + 4 + 32;
    if (xing + 8 <= end &&
        (std::memcmp(xing, "Xing", 4) == 0 || std::memcmp(xing, "Info", 4) == 0)) {
      info.present = true;
      info.vbr = xing[0] == 'X';
      const std::uint32_t flags = be32(xing + 4);
      const std::uint8_t* p = xing + 8;
      if ((flags & 1) && p + 4 <= end) {
        info.frames = be32(p);
        p += 4;
      }
      p += ((flags & 2) ? 4 : 0) + ((flags & 4) ? 100 : 0) + ((flags & 8) ? 4 : 0);
      // The encoder extension: a 9-byte version, then delay and padding, 12 bits each, at 21.
      if (p + 24 <= end && (std::memcmp(p, "LAME", 4) == 0 || std::memcmp(p, "Lavc", 4) == 0 ||
                            std::memcmp(p, "Lavf", 4) == 0)) {
        const std::uint32_t v = (std::uint32_t{p[21]} << 16) | (std::uint32_t{p[22]} << 8) | p[23];
        info.delay = v >> 12;
        info.padding = v & 0xFFF;
      }
    } else if (vbri + 18 <= end && std::memcmp(vbri, "VBRI", 4) == 0) {
      info.present = true;
      info.vbr = true;
      info.frames = be32(vbri + 14);
    } else {
      return info;
    }
    info.sampleRate = kRates[(f[2] >> 2) & 3] / divisor;
    info.samplesPerFrame = layer == 3 ? 384 : (layer == 1 && version != 3) ? 576 : 1152;
    return info;
  }
  return info;
}

} // namespace sondrix
