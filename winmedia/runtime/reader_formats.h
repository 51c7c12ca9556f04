#pragma once

#include "winmedia/runtime/media_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sondrix {

// What the reader knows of a decodable audio source when it lists the PCM it can deliver.
struct ReaderSourceAudio {
  std::uint32_t channels = 0;
  std::uint32_t sampleRate = 0; // Hz
  bool lossy = true;
  std::uint32_t depth = 16; // bits of the source's samples (lossless sources)
};

// The PCM formats a source's output offers, native first: never more channels nor a higher
// rate than the source, 16/8-bit (24-bit only for deeper sources with discrete output on).
// Without discrete output a multichannel source is folded down to stereo; a speaker count
// (1..8, discrete only) caps the channels further.
std::vector<WAVEFORMATEX> readerOutputFormats(const ReaderSourceAudio& source, bool discrete,
                                              std::uint32_t speakerChannels);

WAVEFORMATEX readerPcmFormat(std::uint32_t channels, std::uint32_t sampleRate,
                             std::uint32_t bitsPerSample);

// Reads count bytes at an offset of the media into buf; returns the bytes read.
using ReaderReadAt = std::function<std::size_t(std::uint64_t, std::uint8_t*, std::size_t)>;

// True when the first MPEG audio frame after any ID3v2 tags carries a "Xing" or "VBRI"
// header, which encoders write for variable-bitrate streams ("Info" marks constant bitrate).
bool mp3HasVbrHeader(const ReaderReadAt& readAt);

} // namespace sondrix
