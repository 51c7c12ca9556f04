// Media files (MP3, WMA, FLAC, WAV and whatever FFmpeg recognises) through the runtime's
// reader, as the file input opens, describes, decodes and seeks them.

#include "base/stream.h"
#include "fuzz/fuzz_support.h"
#include "winmedia/wma_sync_reader.h"

#include <vector>

using namespace sondrix;

namespace {

// Enough decoded audio to pass the first packets of every stream, little enough that
// one input stays well under a second.
constexpr std::uint32_t kMostPcmBytes = 1 << 20;

void drain(wma_sync_reader& r, std::uint32_t chunk, std::uint32_t most) {
  std::uint32_t total = 0;
  while (total < most) {
    std::uint8_t* buffer = nullptr;
    std::uint32_t bytes = chunk;
    wm_reader_read(r, buffer, bytes);
    if (bytes == 0)
      return;
    fuzz::check(buffer != nullptr && bytes <= chunk);
    volatile std::uint8_t touch = buffer[0] ^ buffer[bytes - 1];
    (void)touch;
    total += bytes;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputCursor input(data, size);
  const std::uint8_t options = input.byte();
  const bool highPrecision = (options & 1) != 0;
  static constexpr std::uint8_t kRequests[] = {WM_CHANNELS_NATIVE, WM_CHANNELS_5DOT1,
                                               WM_CHANNELS_7DOT1, WM_CHANNELS_LARGEST};
  const std::uint8_t request = kRequests[(options >> 1) & 3];
  const std::uint32_t chunk = 1u + (static_cast<std::uint32_t>(input.byte()) << 6);

  const auto rest = input.rest();
  TMemoryStream stream(std::vector<std::uint8_t>(rest.begin(), rest.end()));
  wma_sync_reader r;
  wm_reader_open(r, &stream, highPrecision, request);
  if (r.reader == nullptr)
    return 0;

  for (const char16_t* name :
       {u"Author", u"Title", u"WM/AlbumTitle", u"WM/Genre", u"WM/Track", u"WM/Year", u"Copyright"})
    (void)wm_reader_text_attribute(r, name);
  (void)wm_reader_duration(r);
  (void)wm_reader_bitrate(r);
  (void)wm_reader_is_vbr(r);

  if (r.has_audio) {
    const std::uint32_t formats = wm_reader_format_count(r, highPrecision);
    if (formats > 0 && (options & 0x10) != 0)
      wm_reader_set_format(r, highPrecision, (options >> 5) % formats);
    std::uint16_t channels = 0, bits = 0;
    std::uint32_t rate = 0;
    wm_reader_audio_format(r, channels, bits, rate);
    drain(r, chunk, kMostPcmBytes);
    wm_reader_seek(r, wm_reader_duration(r) / 2);
    drain(r, chunk, kMostPcmBytes / 4);
  }
  wm_reader_close(r);
  return 0;
}
