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

// What the first MPEG audio frame after any ID3v2 tags says about the whole stream, when it
// carries an encoder's info header: "Xing" or "VBRI" for variable bitrate, "Info" for constant.
struct Mp3InfoHeader {
  bool present = false;
  bool vbr = false;
  std::uint32_t sampleRate = 0;
  std::uint32_t samplesPerFrame = 0;
  std::uint32_t frames = 0; // audio frames after the header frame; 0 when not given
  std::uint32_t delay = 0;  // encoder delay and end padding, in samples (LAME extension)
  std::uint32_t padding = 0;

  // The stream's length in samples once the encoder's delay and padding are left out; 0 when
  // the header does not give the frame count.
  std::uint64_t playedSamples() const;
};

Mp3InfoHeader readMp3InfoHeader(const ReaderReadAt& readAt);

} // namespace sondrix
