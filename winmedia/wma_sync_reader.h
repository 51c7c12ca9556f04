#pragma once

#include "base/stream.h"
#include "winmedia/audio_stream.h"
#include "winmedia/runtime/sync_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sondrix {

// The open reader of one Windows Media file input. No locking: the input serialises every
// call on one record. The record owns its runtime objects, never the caller's stream.
// The runtime is bound at process start by winmedia/runtime/wm_runtime.cpp; no call needed.
struct wma_sync_reader {
  std::shared_ptr<TAudioStream> AudioStream;
  std::shared_ptr<IWMSyncReader> reader; // empty when opening failed
  std::shared_ptr<INSSBuffer> buffer;    // sample being handed out
  std::shared_ptr<IWMHeaderInfo> HeaderInfo;
  std::uint32_t offset = 0; // bytes of buffer already handed out
  std::shared_ptr<IStream> AuStream;
  std::uint16_t stream = 0;
  std::uint32_t output = 0;
  bool has_audio = false;
  bool _protected = false;
  std::int32_t channels = 0;
  std::int32_t SampleRate = 0;
  std::int32_t BitsPerSample = 0;
  std::int64_t duration = 0; // 100 ns; 0 when unknown
};

// Channel requests of the open.
constexpr std::uint8_t WM_CHANNELS_NATIVE = 0;
constexpr std::uint8_t WM_CHANNELS_5DOT1 = 6;
constexpr std::uint8_t WM_CHANNELS_7DOT1 = 8;
constexpr std::uint8_t WM_CHANNELS_LARGEST = 255;

// Opens a runtime reader on stream (read from its current position). Never throws: a failure
// leaves reader empty; no acceptable PCM format leaves has_audio false.
void wm_reader_open(wma_sync_reader& r, TStream* stream, bool highPrecision,
                    std::uint8_t channelRequest);
// The open on a reader the caller created (the runtime's, or a stand-in).
void wmReaderOpenOn(wma_sync_reader& r, std::shared_ptr<IWMSyncReader> reader, TStream* stream,
                    bool highPrecision, std::uint8_t channelRequest);

std::uint32_t wm_reader_format_count(wma_sync_reader& r, bool highPrecision);
void wm_reader_set_format(wma_sync_reader& r, bool highPrecision, std::uint32_t index);
void wm_reader_audio_format(const wma_sync_reader& r, std::uint16_t& channels,
                            std::uint16_t& bitsPerSample, std::uint32_t& sampleRate);
// Hundredths of a second.
std::uint32_t wm_reader_duration(const wma_sync_reader& r);
std::uint32_t wm_reader_bitrate(wma_sync_reader& r);
bool wm_reader_is_vbr(wma_sync_reader& r);
std::u16string wm_reader_text_attribute(wma_sync_reader& r, std::u16string_view name);
// position: hundredths of a second. Bytes of the sample being handed out are dropped.
void wm_reader_seek(wma_sync_reader& r, std::uint32_t position);
// Hands out up to bytes of decoded PCM in place: buffer points into the record's sample and
// stays valid until the next read, seek or close. 0 bytes (buffer null) is the end.
void wm_reader_read(wma_sync_reader& r, std::uint8_t*& buffer, std::uint32_t& bytes);
void wm_reader_close(wma_sync_reader& r);

} // namespace sondrix
