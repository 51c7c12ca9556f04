#pragma once

// The writer record and its routines: PCM in, Windows Media Audio out, into a file or (later)
// a network sink. All routines run on the output's worker thread, except the codec and
// format listings, which any thread may call. Set-up failures raise std::runtime_error with
// the texts below; sink and writer creation failures only leave Initialized false.

#include "base/component.h"
#include "winmedia/runtime/codec_info.h"
#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/profile.h"
#include "winmedia/runtime/writer.h"
#include "winmedia/runtime/writer_sink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sondrix {

struct wma_writer;
using pwma_writer = wma_writer*;

// Hooks get the record's Owner. They run on the runtime's threads: hand the news on, never
// call back into the writer.
using TNotifyProc = void (*)(TComponent* Dest);
using TErrorNotifyProc = void (*)(TComponent* Dest, std::int32_t Reason);

// Embedded in its output component; it must not move while opened (the callbacks point to
// it), so it is neither copied nor moved.
struct wma_writer {
  wma_writer() = default;
  wma_writer(const wma_writer&) = delete;
  wma_writer& operator=(const wma_writer&) = delete;

  TComponent* Owner = nullptr;
  std::shared_ptr<IWMWriter> writer;
  std::shared_ptr<INSSBuffer> buffer; // only during a write
  std::uint32_t input = 0;
  std::uint32_t BytesPerSecond = 0;
  std::int64_t TotalTime = 0; // 100-ns units, end of the last block written
  bool Initialized = false;
  std::shared_ptr<IWMWriterFileSink> file_sink;
  std::shared_ptr<IWMWriterNetworkSink> network_sink;
  std::shared_ptr<IWMStatusCallback> StatusCallback;
  std::shared_ptr<IWMStatusCallback> ErrorCallback;
  TNotifyProc OnConnected = nullptr;
  TNotifyProc OnDisconnected = nullptr;
  TErrorNotifyProc OnError = nullptr;
};

// Network status: listeners connecting (37) and leaving (38).
class TWMStatusCallback final : public IWMStatusCallback {
public:
  explicit TWMStatusCallback(pwma_writer writer) : FWriter(writer) {}
  HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                   const std::uint8_t* pValue, void* pvContext) override;

private:
  pwma_writer FWriter;
};

// File status: runtime errors (0, 9, 26, 30) go to OnError.
class TWMErrorCallback final : public IWMStatusCallback {
public:
  explicit TWMErrorCallback(pwma_writer writer) : FWriter(writer) {}
  HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                   const std::uint8_t* pValue, void* pvContext) override;

private:
  pwma_writer FWriter;
};

void wm_writer_open_file(wma_writer& writer, const std::u16string& FileName, TComponent* Owner,
                         TErrorNotifyProc OnError);

// Serves the stream over HTTP on Port (0 picks a free port and writes it back). MaxClients 0
// leaves the sink's default (no limit). The error hook is not used: network runs report only
// listeners.
// BindAddress: the one address to listen on (IPv4 or IPv6); empty: every address.
void wm_writer_open_network(wma_writer& writer, std::uint32_t& Port, std::uint32_t MaxClients,
                            TComponent* Owner, TNotifyProc OnConnected, TNotifyProc OnDisconnected,
                            TErrorNotifyProc OnError, const std::string& BindAddress = {});

// Appends the name of every audio codec.
void wm_list_codecs(std::vector<std::u16string>& list);
// Appends the description of every format of one codec (none for an index out of range, or
// when VBR enumeration is asked for and refused).
void wm_list_codec_formats(std::int32_t CodecIndex, bool VBR, std::vector<std::u16string>& list);

// Picks a codec format for the desired PCM (format tag, channels, rate, bits). The target is
// bits per second in CBR mode and a quality 0..100 in VBR mode. Candidates of the nearest
// bitrate (quality) whose channels and bits equal the desired ones win, the nearest sample
// rate among them; true when something was chosen.
bool wm_choose_codec_format(IWMCodecInfo3& info, const WAVEFORMATEX& desired, std::uint32_t target,
                            bool lossless, bool VBR, std::shared_ptr<IWMStreamConfig>& chosen);
// The same over the runtime's codecs.
bool wm_choose_codec_format(const WAVEFORMATEX& desired, std::uint32_t target, bool lossless,
                            bool VBR, std::shared_ptr<IWMStreamConfig>& chosen);

// The bitrate the choice is asked for: outside VBR mode a target below 1000 is kilobits.
std::uint32_t wmEffectiveTarget(std::uint32_t target, bool VBR);

// Profile and input format from a chosen format. Raises "Failed to init codec" when no format
// fits and "fff" when the profile refuses the stream.
void wm_writer_use_target(wma_writer& writer, std::uint16_t Channels, std::uint16_t BitsPerSample,
                          std::uint32_t target, bool VBR, bool lossless, std::uint32_t SampleRate);
// Profile and input format from a format picked by index. An index out of range (or a VBR
// enumeration refused) sets no profile, so wm_writer_begin fails.
void wm_writer_use_codec_format(wma_writer& writer, std::uint16_t Channels,
                                std::uint16_t BitsPerSample, std::int32_t FormatIndex,
                                std::int32_t CodecIndex, bool VBR, std::uint32_t SampleRate);

// A string attribute on the header (before wm_writer_begin); the result is not checked.
void wm_writer_set_attribute(wma_writer& writer, const std::u16string& name,
                             const std::u16string& text);

void wm_writer_begin(wma_writer& writer);
// Writes one PCM block; its sample time is the running time after the block.
void wm_writer_write(wma_writer& writer, const void* data, std::uint32_t bytes);
void wm_writer_end_file(wma_writer& writer);
// Ends writing, closes the port (cutting off listeners) and releases everything.
void wm_writer_end_network(wma_writer& writer);

// The listeners' URL; empty unless opened. With wm_writer_client_count it only queries the
// sink, but it must not overlap the end routine, which releases the sink.
std::u16string wm_writer_url(wma_writer& writer);
std::uint32_t wm_writer_client_count(wma_writer& writer);

} // namespace sondrix
