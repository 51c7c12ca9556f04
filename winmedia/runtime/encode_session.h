#pragma once

// The FFmpeg side of the writer: PCM → resampler → frame FIFO → WMA encoder → ASF muxer →
// sinks. Included only by the runtime's own sources.

#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/writer_sink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sondrix {

struct EncodeTarget {
  std::string encoderName; // "wmav2", "wmav1"
  std::uint32_t bitrate = 0;
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
};

// Whether the encoder takes this format and encodes a loud frame with it; on success gives
// the encoder's packet size. Cheap enough to try every format once.
bool wmProbeEncoder(const EncodeTarget& target, std::uint32_t* blockAlign);

struct EncodeSettings {
  EncodeTarget target;
  WAVEFORMATEX input; // interleaved PCM the caller hands in
  // Header attributes by their runtime names ("Title", "Author", "WM/AlbumTitle", ...),
  // values in UTF-8.
  std::vector<std::pair<std::string, std::string>> attributes;
  // A live stream: no seeking, broadcast header, fixed 3200-byte packets sent promptly.
  bool live = false;
};

// One encoding run. Start writes the ASF header to the sinks; Write takes any number of
// bytes (partial frames are kept for the next call); Finish encodes what is left (the last
// encoder frame padded with silence) and writes the trailer. Not thread-safe.
class TEncodeSession {
public:
  ~TEncodeSession();
  static HRESULT Start(const EncodeSettings& settings,
                       std::vector<std::shared_ptr<IWMWriterSink>> sinks,
                       std::unique_ptr<TEncodeSession>* session);
  HRESULT Write(const std::uint8_t* data, std::size_t size);
  HRESULT Finish();

  struct Impl;
  explicit TEncodeSession(std::unique_ptr<Impl> impl);

private:
  std::unique_ptr<Impl> FImpl;
};

// The muxer's metadata key for a runtime attribute name.
std::string wmMuxerMetadataKey(const std::string& attributeName);

} // namespace sondrix
