#pragma once

// The MP3 flavour of the station's stream: interleaved PCM in, raw MP3 frames out.

#include "winmedia/runtime/media_types.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

// PCM in, whole MP3 frames out (FFmpeg's libmp3lame, constant bitrate). Not thread-safe.
class TMp3Encoder {
public:
  // input: interleaved integer 8/16/24/32-bit or 32-bit float PCM, 1 or 2 channels.
  // bitrate: bits/s; below 1000 it counts as kilobits (128 = 128 kbit/s); snapped to the
  // nearest bitrate MP3 allows at the sample rate (32..320 kbit/s at 32 kHz and up, 8..160 at
  // 16..24 kHz, 8..64 below, as LAME takes them). The output keeps the input's channels, and
  // its rate when MP3 has it; any other rate (1 to 384 kHz) is resampled to the nearest MP3
  // rate (see SampleRate). Throws std::runtime_error("Failed to init MP3 encoder") when FFmpeg
  // lacks libmp3lame or refuses the format.
  TMp3Encoder(const WAVEFORMATEX& input, std::uint32_t bitrate);
  ~TMp3Encoder();
  TMp3Encoder(const TMp3Encoder&) = delete;
  TMp3Encoder& operator=(const TMp3Encoder&) = delete;

  // Appends to out the MP3 frames the bytes complete; a partial sample frame is kept for the
  // next call. out gets only whole MP3 frames, so every call's output starts at a frame.
  // Throws std::runtime_error when encoding fails (out is then left as it was), after Finish,
  // and after an earlier failure.
  void Write(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);
  // Encodes what is left (the last MP3 frame padded with silence) and flushes the encoder.
  // Gives nothing when no whole sample frame was ever written; a second call does nothing.
  void Finish(std::vector<std::uint8_t>& out);

  std::uint32_t Bitrate() const; // bits/s actually used
  std::uint32_t SampleRate() const;
  std::uint16_t Channels() const;

  struct Impl;

private:
  std::unique_ptr<Impl> FImpl;
};

} // namespace sondrix
