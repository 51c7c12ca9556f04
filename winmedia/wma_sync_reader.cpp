#include "winmedia/wma_sync_reader.h"

#include "winmedia/runtime/wm_runtime.h"

#include <cmath>
#include <limits>
#include <vector>

namespace sondrix {

namespace {

void setDiscrete(wma_sync_reader& r, std::uint32_t output, bool highPrecision) {
  const std::uint32_t on = highPrecision ? 1 : 0;
  r.reader->SetOutputSetting(output, u"EnableDiscreteOutput", WMT_TYPE_BOOL,
                             reinterpret_cast<const std::uint8_t*>(&on), 4);
}

bool pcmFormat(const std::shared_ptr<IWMOutputMediaProps>& props, WM_MEDIA_TYPE& type) {
  return props != nullptr && SUCCEEDED(props->GetMediaType(&type)) &&
         type.formattype == WMFORMAT_WaveFormatEx;
}

// Reads a 4- or 8-byte attribute of the whole file; false when absent or of another size.
bool numberAttribute(wma_sync_reader& r, const std::u16string& name, std::uint16_t size,
                     std::uint64_t& value) {
  if (r.HeaderInfo == nullptr)
    return false;
  std::uint16_t streamNum = 0;
  WMT_ATTR_DATATYPE type = WMT_TYPE_DWORD;
  std::uint8_t bytes[8] = {};
  std::uint16_t length = size;
  if (FAILED(r.HeaderInfo->GetAttributeByName(&streamNum, name, &type, bytes, &length)) ||
      length != size)
    return false;
  value = 0;
  for (std::uint16_t i = 0; i < size; ++i)
    value |= std::uint64_t{bytes[i]} << (8 * i);
  return true;
}

} // namespace

void wm_reader_open(wma_sync_reader& r, TStream* stream, bool highPrecision,
                    std::uint8_t channelRequest) {
  r = wma_sync_reader{};
  std::shared_ptr<IWMSyncReader> reader;
  if (FAILED(WMCreateSyncReader(nullptr, 0, &reader)) || reader == nullptr)
    return;
  wmReaderOpenOn(r, std::move(reader), stream, highPrecision, channelRequest);
}

void wmReaderOpenOn(wma_sync_reader& r, std::shared_ptr<IWMSyncReader> reader, TStream* stream,
                    bool highPrecision, std::uint8_t channelRequest) {
  r = wma_sync_reader{};
  if (reader == nullptr || stream == nullptr)
    return;
  r.reader = std::move(reader);
  r.AudioStream = std::make_shared<TAudioStream>(stream);
  r.AuStream = r.AudioStream;

  if (FAILED(r.reader->OpenStream(r.AuStream))) {
    // Some files carry a few bytes of junk before the media header.
    std::uint64_t pos = 0;
    if (FAILED(r.AuStream->Seek(30, STREAM_SEEK_SET, &pos)) ||
        FAILED(r.reader->OpenStream(r.AuStream))) {
      r.reader.reset();
      return;
    }
  }
  std::uint32_t outputs = 0;
  if (FAILED(r.reader->GetOutputCount(&outputs))) {
    r.reader.reset();
    return;
  }

  const auto request = static_cast<std::int8_t>(channelRequest);
  for (std::uint32_t out = 0; out < outputs; ++out) {
    std::shared_ptr<IWMOutputMediaProps> props;
    WM_MEDIA_TYPE type;
    if (FAILED(r.reader->GetOutputProps(out, &props)) || props == nullptr ||
        FAILED(props->GetMediaType(&type)) || !(type.majortype == WMMEDIATYPE_Audio))
      continue;
    setDiscrete(r, out, highPrecision);

    // The native layout is compared per output but adopted only with an accepted format, so
    // the record never pairs one output's layout with another output's samples.
    const std::int32_t nativeChannels = type.format.nChannels;
    const auto nativeRate = static_cast<std::int32_t>(type.format.nSamplesPerSec);
    if (request > 2) {
      const auto speakers = static_cast<std::uint32_t>(request);
      r.reader->SetOutputSetting(out, u"SpeakerConfig", WMT_TYPE_DWORD,
                                 reinterpret_cast<const std::uint8_t*>(&speakers), 4);
    }
    std::uint32_t formats = 0;
    if (FAILED(r.reader->GetOutputFormatCount(out, &formats)))
      formats = 0;
    for (std::uint32_t i = 0; i < formats; ++i) {
      std::shared_ptr<IWMOutputMediaProps> fp;
      WM_MEDIA_TYPE ft;
      if (FAILED(r.reader->GetOutputFormat(out, i, &fp)) || !pcmFormat(fp, ft))
        continue;
      const std::int32_t ch = ft.format.nChannels;
      const auto rate = static_cast<std::int32_t>(ft.format.nSamplesPerSec);
      const std::int32_t bits = ft.format.wBitsPerSample;
      bool accept = false;
      if (request == 0)
        accept = bits >= r.BitsPerSample && rate == nativeRate && ch == nativeChannels;
      else if (request > 0)
        accept = ch == request;
      else if (request == -1)
        accept = ch >= r.channels && rate >= r.SampleRate && bits >= r.BitsPerSample;
      if (!accept)
        continue;
      r.has_audio = true;
      r.output = out;
      r.channels = ch;
      r.SampleRate = rate;
      r.BitsPerSample = bits;
      r.reader->SetOutputProps(out, fp);
    }
  }

  if (!r.has_audio)
    return;
  if (FAILED(r.reader->GetStreamNumberForOutput(r.output, &r.stream)))
    r.stream = 0;
  r._protected = r.reader->SetReadStreamSamples(r.stream, false) == NS_E_PROTECTED_CONTENT;
  r.HeaderInfo = std::dynamic_pointer_cast<IWMHeaderInfo>(r.reader);
  std::uint64_t duration = 0;
  r.duration =
      numberAttribute(r, u"Duration", 8, duration) ? static_cast<std::int64_t>(duration) : 0;
}

std::uint32_t wm_reader_format_count(wma_sync_reader& r, bool highPrecision) {
  if (r.reader == nullptr)
    return 0;
  setDiscrete(r, r.output, highPrecision);
  std::uint32_t count = 0;
  if (FAILED(r.reader->GetOutputFormatCount(r.output, &count)))
    return 0;
  return count;
}

void wm_reader_set_format(wma_sync_reader& r, bool highPrecision, std::uint32_t index) {
  if (r.reader == nullptr)
    return;
  setDiscrete(r, r.output, highPrecision);
  std::shared_ptr<IWMOutputMediaProps> props;
  if (FAILED(r.reader->GetOutputFormat(r.output, index, &props)) || props == nullptr)
    return;
  WM_MEDIA_TYPE type;
  if (pcmFormat(props, type)) {
    r.channels = type.format.nChannels;
    r.BitsPerSample = type.format.wBitsPerSample;
    r.SampleRate = static_cast<std::int32_t>(type.format.nSamplesPerSec);
  }
  r.reader->SetOutputProps(r.output, props);
}

void wm_reader_audio_format(const wma_sync_reader& r, std::uint16_t& channels,
                            std::uint16_t& bitsPerSample, std::uint32_t& sampleRate) {
  channels = static_cast<std::uint16_t>(r.channels);
  bitsPerSample = static_cast<std::uint16_t>(r.BitsPerSample);
  sampleRate = static_cast<std::uint32_t>(r.SampleRate);
}

std::uint32_t wm_reader_duration(const wma_sync_reader& r) {
  // Nearest, halves to even (the default rounding mode). A header's frame count can claim
  // centuries: such a length saturates rather than wrapping into a short one.
  const double hundredths = std::nearbyint(static_cast<double>(r.duration) / 100000.0);
  if (!(hundredths > 0))
    return 0;
  if (hundredths >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
    return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(hundredths);
}

std::uint32_t wm_reader_bitrate(wma_sync_reader& r) {
  std::uint64_t v = 0;
  return numberAttribute(r, u"Bitrate", 4, v) ? static_cast<std::uint32_t>(v) : 0;
}

bool wm_reader_is_vbr(wma_sync_reader& r) {
  std::uint64_t v = 0;
  return numberAttribute(r, u"IsVBR", 4, v) && v != 0;
}

std::u16string wm_reader_text_attribute(wma_sync_reader& r, std::u16string_view name) {
  if (r.HeaderInfo == nullptr)
    return {};
  const std::u16string key(name);
  std::uint16_t streamNum = 0;
  WMT_ATTR_DATATYPE type = WMT_TYPE_STRING;
  std::uint16_t length = 0;
  if (FAILED(r.HeaderInfo->GetAttributeByName(&streamNum, key, &type, nullptr, &length)))
    length = 0;
  std::vector<std::uint8_t> value(length);
  streamNum = 0;
  if (length == 0 ||
      FAILED(r.HeaderInfo->GetAttributeByName(&streamNum, key, &type, value.data(), &length)))
    return {};
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value.size() && i + 1 < length; i += 2) {
    const auto c = static_cast<char16_t>(value[i] | (value[i + 1] << 8));
    if (c == 0)
      break;
    text.push_back(c);
  }
  return text;
}

void wm_reader_seek(wma_sync_reader& r, std::uint32_t position) {
  if (r.reader == nullptr)
    return;
  // Leftover bytes of the old position would play before the new one.
  r.buffer.reset();
  r.offset = 0;
  r.reader->SetRange(std::uint64_t{position} * 100000, 0);
}

void wm_reader_read(wma_sync_reader& r, std::uint8_t*& buffer, std::uint32_t& bytes) {
  const std::uint32_t requested = bytes;
  buffer = nullptr;
  bytes = 0;
  // Without a chosen output the stream number is 0, which would read any stream.
  if (r.reader == nullptr || !r.has_audio)
    return;
  for (;;) {
    if (r.buffer != nullptr) {
      std::uint8_t* data = nullptr;
      std::uint32_t length = 0;
      if (SUCCEEDED(r.buffer->GetBufferAndLength(&data, &length)) && r.offset < length) {
        const std::uint32_t n = std::min(requested, length - r.offset);
        buffer = data + r.offset;
        bytes = n;
        r.offset += n;
        return;
      }
      r.buffer.reset();
      r.offset = 0;
    }
    std::shared_ptr<INSSBuffer> sample;
    std::uint64_t time = 0;
    std::uint64_t duration = 0;
    std::uint32_t flags = 0;
    std::uint32_t output = 0;
    std::uint16_t streamNum = 0;
    if (FAILED(r.reader->GetNextSample(r.stream, &sample, &time, &duration, &flags, &output,
                                       &streamNum)) ||
        sample == nullptr)
      return;
    r.buffer = std::move(sample);
  }
}

void wm_reader_close(wma_sync_reader& r) {
  if (r.reader != nullptr)
    r.reader->Close();
  r.buffer.reset();
  r.reader.reset();
  r.HeaderInfo.reset();
  r.AuStream.reset();
  r.AudioStream.reset();
}

} // namespace sondrix
