#include "winmedia/wma_writer.h"

#include "winmedia/server/network_sink.h"

#include "winmedia/runtime/wm_runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sondrix {

namespace {

constexpr char kInitCodecFailed[] = "Failed to init codec";
constexpr char kProfileRefused[] = "fff";
constexpr char kBeginFailed[] =
    "Filed to set data writer, possible reason: required WMA codec not installed.";
constexpr char kWriteFailed[] = "Failed to write data: ";
constexpr char16_t kStreamName[] = u"NAAudioStream";
constexpr char16_t kConnectionName[] = u"NAAudioConnection";
// A header attribute's length is a 16-bit byte count.
constexpr std::size_t kMaxAttributeChars = 0x7FFF;

void zeroRecord(wma_writer& writer) {
  writer.Owner = nullptr;
  writer.writer.reset();
  writer.buffer.reset();
  writer.input = 0;
  writer.BytesPerSecond = 0;
  writer.TotalTime = 0;
  writer.Initialized = false;
  writer.file_sink.reset();
  writer.network_sink.reset();
  writer.StatusCallback.reset();
  writer.ErrorCallback.reset();
  writer.OnConnected = nullptr;
  writer.OnDisconnected = nullptr;
  writer.OnError = nullptr;
}

std::string hex8(HRESULT hr) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
  return text;
}

bool enableVBR(IWMCodecInfo3& info, std::uint32_t codec) {
  const std::uint32_t yes = 1;
  std::uint8_t value[4];
  std::memcpy(value, &yes, 4);
  return SUCCEEDED(info.SetCodecEnumerationSetting(WMMEDIATYPE_Audio, codec, g_wszVBREnabled,
                                                   WMT_TYPE_BOOL, value, 4));
}

std::int64_t distance(std::uint32_t a, std::uint32_t b) {
  return std::llabs(static_cast<std::int64_t>(static_cast<std::int32_t>(a)) -
                    static_cast<std::int32_t>(b));
}

bool readQuality(IWMCodecInfo3& info, std::uint32_t codec, std::uint32_t format,
                 std::uint32_t* quality) {
  WMT_ATTR_DATATYPE type = WMT_TYPE_DWORD;
  std::uint8_t value[4] = {};
  std::uint32_t size = sizeof value;
  if (FAILED(info.GetCodecFormatProp(WMMEDIATYPE_Audio, codec, format, g_wszVBRQuality, &type,
                                     value, &size)) ||
      type != WMT_TYPE_DWORD || size != 4)
    return false;
  std::memcpy(quality, value, 4);
  return true;
}

// Steps shared by both set-ups: name the stream, make it the profile, and set the PCM input.
void applyStreamConfig(wma_writer& writer, IWMProfile& profile,
                       const std::shared_ptr<IWMProfile>& profileRef,
                       const std::shared_ptr<IWMStreamConfig>& config, std::uint16_t Channels,
                       std::uint16_t BitsPerSample, std::uint32_t SampleRate) {
  config->SetStreamNumber(1);
  config->SetStreamName(kStreamName);
  config->SetConnectionName(kConnectionName);
  if (FAILED(profile.AddStream(config)))
    throw std::runtime_error(kProfileRefused);
  if (!writer.writer)
    return;
  writer.writer->SetProfile(profileRef);

  std::uint32_t inputs = 0;
  if (FAILED(writer.writer->GetInputCount(&inputs)))
    return;
  for (std::uint32_t i = 0; i < inputs; ++i) {
    std::shared_ptr<IWMInputMediaProps> props;
    WM_MEDIA_TYPE type;
    if (FAILED(writer.writer->GetInputProps(i, &props)) || FAILED(props->GetMediaType(&type)))
      continue;
    if (!(type.majortype == WMMEDIATYPE_Audio) || !(type.formattype == WMFORMAT_WaveFormatEx))
      continue;
    writer.input = i;
    WAVEFORMATEX& wfx = type.format;
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = Channels;
    wfx.nSamplesPerSec = SampleRate;
    wfx.wBitsPerSample = BitsPerSample;
    wfx.nBlockAlign = static_cast<std::uint16_t>(BitsPerSample * Channels / 8);
    wfx.nAvgBytesPerSec = wfx.nBlockAlign * SampleRate;
    type.subtype = WMMEDIASUBTYPE_PCM;
    type.lSampleSize = wfx.nBlockAlign;
    writer.BytesPerSecond = wfx.nAvgBytesPerSec;
    props->SetMediaType(type);
    writer.writer->SetInputProps(i, props);
    return;
  }
}

} // namespace

HRESULT TWMStatusCallback::OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                                    const std::uint8_t* pValue, void* pvContext) {
  (void)hr;
  (void)dwType;
  (void)pValue;
  (void)pvContext;
  if (Status == WMT_CLIENT_CONNECT_EX && FWriter->OnConnected != nullptr)
    FWriter->OnConnected(FWriter->Owner);
  else if (Status == WMT_CLIENT_DISCONNECT_EX && FWriter->OnDisconnected != nullptr)
    FWriter->OnDisconnected(FWriter->Owner);
  return S_OK;
}

HRESULT TWMErrorCallback::OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                                   const std::uint8_t* pValue, void* pvContext) {
  (void)hr;
  (void)dwType;
  (void)pValue;
  (void)pvContext;
  switch (Status) {
  case WMT_ERROR:
  case WMT_NO_RIGHTS:
  case WMT_NO_RIGHTS_EX:
  case WMT_ERROR_WITHURL:
    if (FWriter->OnError != nullptr)
      FWriter->OnError(FWriter->Owner, Status);
    break;
  default:
    break;
  }
  return S_OK;
}

void wm_writer_open_file(wma_writer& writer, const std::u16string& FileName, TComponent* Owner,
                         TErrorNotifyProc OnError) {
  zeroRecord(writer);
  writer.Owner = Owner;
  writer.OnError = OnError;

  if (FAILED(WMCreateWriterFileSink(&writer.file_sink))) {
    writer.file_sink.reset();
    return;
  }
  if (FAILED(WMCreateWriter(nullptr, &writer.writer))) {
    writer.writer.reset();
    writer.file_sink.reset();
    return;
  }
  if (auto advanced = std::dynamic_pointer_cast<IWMWriterAdvanced>(writer.writer))
    advanced->AddSink(writer.file_sink);
  if (FAILED(writer.file_sink->Open(FileName))) {
    writer.file_sink.reset();
    writer.writer.reset();
    return;
  }
  writer.ErrorCallback = std::make_shared<TWMErrorCallback>(&writer);
  writer.file_sink->Advise(writer.ErrorCallback, nullptr);
  writer.Initialized = true;
}

void wm_writer_open_network(wma_writer& writer, std::uint32_t& Port, std::uint32_t MaxClients,
                            TComponent* Owner, TNotifyProc OnConnected, TNotifyProc OnDisconnected,
                            TErrorNotifyProc OnError, const std::string& BindAddress) {
  (void)OnError;
  zeroRecord(writer);
  writer.Owner = Owner;
  writer.OnConnected = OnConnected;
  writer.OnDisconnected = OnDisconnected;

  if (FAILED(WMCreateWriterNetworkSink(&writer.network_sink))) {
    writer.network_sink.reset();
    return;
  }
  if (auto* sink = dynamic_cast<TWMWriterNetworkSink*>(writer.network_sink.get()))
    sink->SetBindAddress(BindAddress);
  if (FAILED(WMCreateWriter(nullptr, &writer.writer))) {
    writer.writer.reset();
    writer.network_sink.reset();
    return;
  }
  auto release = [&] {
    writer.network_sink->Close();
    writer.network_sink.reset();
    writer.writer.reset();
  };
  writer.network_sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP);
  if (FAILED(writer.network_sink->Open(&Port))) {
    release();
    return;
  }
  if (MaxClients != 0)
    writer.network_sink->SetMaximumClients(MaxClients);
  auto advanced = std::dynamic_pointer_cast<IWMWriterAdvanced>(writer.writer);
  if (!advanced || FAILED(advanced->AddSink(writer.network_sink))) {
    release();
    return;
  }
  writer.StatusCallback = std::make_shared<TWMStatusCallback>(&writer);
  writer.network_sink->Advise(writer.StatusCallback, nullptr);
  writer.Initialized = true;
}

void wm_list_codecs(std::vector<std::u16string>& list) {
  std::shared_ptr<IWMProfileManager> manager;
  if (FAILED(WMCreateProfileManager(&manager)))
    return;
  std::uint32_t count = 0;
  if (FAILED(manager->GetCodecInfoCount(WMMEDIATYPE_Audio, &count)))
    return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    if (FAILED(manager->GetCodecName(WMMEDIATYPE_Audio, i, nullptr, &length)) || length == 0)
      continue;
    std::u16string name(length, u'\0');
    if (FAILED(manager->GetCodecName(WMMEDIATYPE_Audio, i, name.data(), &length)))
      continue;
    name.resize(std::u16string_view(name.c_str()).size());
    list.push_back(std::move(name));
  }
}

void wm_list_codec_formats(std::int32_t CodecIndex, bool VBR, std::vector<std::u16string>& list) {
  std::shared_ptr<IWMProfileManager> manager;
  if (CodecIndex < 0 || FAILED(WMCreateProfileManager(&manager)))
    return;
  const auto codec = static_cast<std::uint32_t>(CodecIndex);
  std::uint32_t count = 0;
  if (FAILED(manager->GetCodecInfoCount(WMMEDIATYPE_Audio, &count)) || codec >= count)
    return;
  if (VBR && !enableVBR(*manager, codec))
    return;
  std::uint32_t formats = 0;
  if (FAILED(manager->GetCodecFormatCount(WMMEDIATYPE_Audio, codec, &formats)))
    return;
  for (std::uint32_t f = 0; f < formats; ++f) {
    std::uint32_t length = 0;
    if (FAILED(
            manager->GetCodecFormatDesc(WMMEDIATYPE_Audio, codec, f, nullptr, nullptr, &length)) ||
        length == 0)
      continue;
    std::u16string desc(length, u'\0');
    if (FAILED(manager->GetCodecFormatDesc(WMMEDIATYPE_Audio, codec, f, nullptr, desc.data(),
                                           &length)))
      continue;
    desc.resize(std::u16string_view(desc.c_str()).size());
    list.push_back(std::move(desc));
  }
}

bool wm_choose_codec_format(IWMCodecInfo3& info, const WAVEFORMATEX& desired, std::uint32_t target,
                            bool lossless, bool VBR, std::shared_ptr<IWMStreamConfig>& chosen) {
  chosen.reset();
  std::uint32_t chosenBitrate = 0;
  std::uint32_t chosenRate = 0;
  // VBR: quality distance of the format chosen by the matching rule; none yet = any quality.
  bool haveQuality = false;
  std::int64_t chosenQualityDistance = 0;

  std::uint32_t codecs = 0;
  if (FAILED(info.GetCodecInfoCount(WMMEDIATYPE_Audio, &codecs)))
    return false;
  for (std::uint32_t c = 0; c < codecs; ++c) {
    if ((lossless || VBR) && !enableVBR(info, c))
      continue;
    std::uint32_t formats = 0;
    if (FAILED(info.GetCodecFormatCount(WMMEDIATYPE_Audio, c, &formats)))
      continue;
    for (std::uint32_t f = 0; f < formats; ++f) {
      std::shared_ptr<IWMStreamConfig> config;
      if (FAILED(info.GetCodecFormat(WMMEDIATYPE_Audio, c, f, &config)) || !config)
        break;
      WM_MEDIA_TYPE type;
      if (FAILED(config->GetMediaType(&type)))
        break;
      const WAVEFORMATEX& wfx = type.format;

      bool candidate = false;
      std::uint32_t bitrate = 0;
      std::int64_t qualityDistance = 0;
      if (lossless) {
        candidate = type.subtype == WMMEDIASUBTYPE_WMAudio_Lossless;
      } else if (VBR) {
        // Compared only with formats chosen by the matching rule, so a format of other
        // channels or bits never blocks a later matching one of equal quality.
        std::uint32_t quality = 0;
        if (readQuality(info, c, f, &quality)) {
          qualityDistance = distance(quality, target);
          candidate = !haveQuality || qualityDistance <= chosenQualityDistance;
        }
      } else {
        if (SUCCEEDED(config->GetBitrate(&bitrate)))
          candidate = distance(bitrate, target) < distance(chosenBitrate, target);
      }
      if (!candidate)
        continue;

      if ((lossless || VBR) && !chosen)
        chosen = config;
      if (wfx.nChannels == desired.nChannels && wfx.wBitsPerSample == desired.wBitsPerSample &&
          distance(wfx.nSamplesPerSec, desired.nSamplesPerSec) <=
              distance(chosenRate, desired.nSamplesPerSec)) {
        chosen = config;
        chosenBitrate = bitrate;
        chosenRate = wfx.nSamplesPerSec;
        if (VBR && !lossless) {
          haveQuality = true;
          chosenQualityDistance = qualityDistance;
        }
      }
    }
  }
  return chosen != nullptr;
}

bool wm_choose_codec_format(const WAVEFORMATEX& desired, std::uint32_t target, bool lossless,
                            bool VBR, std::shared_ptr<IWMStreamConfig>& chosen) {
  std::shared_ptr<IWMProfileManager> manager;
  if (FAILED(WMCreateProfileManager(&manager)))
    return false;
  return wm_choose_codec_format(*manager, desired, target, lossless, VBR, chosen);
}

std::uint32_t wmEffectiveTarget(std::uint32_t target, bool VBR) {
  return !VBR && target < 1000 ? target * 1000 : target;
}

void wm_writer_use_target(wma_writer& writer, std::uint16_t Channels, std::uint16_t BitsPerSample,
                          std::uint32_t target, bool VBR, bool lossless, std::uint32_t SampleRate) {
  target = wmEffectiveTarget(target, VBR);
  WAVEFORMATEX desired;
  desired.wFormatTag = WAVE_FORMAT_PCM;
  desired.nChannels = Channels;
  desired.nSamplesPerSec = SampleRate;
  desired.wBitsPerSample = BitsPerSample;
  std::shared_ptr<IWMStreamConfig> chosen;
  if (!wm_choose_codec_format(desired, target, lossless, VBR, chosen))
    throw std::runtime_error(kInitCodecFailed);

  std::shared_ptr<IWMProfileManager> manager;
  std::shared_ptr<IWMProfile> profile;
  if (FAILED(WMCreateProfileManager(&manager)) ||
      FAILED(manager->CreateEmptyProfile(WMT_VER_9_0, &profile)))
    throw std::runtime_error(kProfileRefused);
  applyStreamConfig(writer, *profile, profile, chosen, Channels, BitsPerSample, SampleRate);
}

void wm_writer_use_codec_format(wma_writer& writer, std::uint16_t Channels,
                                std::uint16_t BitsPerSample, std::int32_t FormatIndex,
                                std::int32_t CodecIndex, bool VBR, std::uint32_t SampleRate) {
  std::shared_ptr<IWMProfileManager> manager;
  std::shared_ptr<IWMProfile> profile;
  if (FAILED(WMCreateProfileManager(&manager)) ||
      FAILED(manager->CreateEmptyProfile(WMT_VER_9_0, &profile)))
    return;
  std::uint32_t count = 0;
  if (CodecIndex < 0 || FormatIndex < 0 ||
      FAILED(manager->GetCodecInfoCount(WMMEDIATYPE_Audio, &count)) ||
      static_cast<std::uint32_t>(CodecIndex) >= count)
    return;
  const auto codec = static_cast<std::uint32_t>(CodecIndex);
  if (VBR && !enableVBR(*manager, codec))
    return;
  std::shared_ptr<IWMStreamConfig> config;
  // No such format: leave the writer without a profile, so beginning fails.
  if (FAILED(manager->GetCodecFormat(WMMEDIATYPE_Audio, codec,
                                     static_cast<std::uint32_t>(FormatIndex), &config)) ||
      !config)
    return;
  applyStreamConfig(writer, *profile, profile, config, Channels, BitsPerSample, SampleRate);
}

void wm_writer_set_attribute(wma_writer& writer, const std::u16string& name,
                             const std::u16string& text) {
  auto header = std::dynamic_pointer_cast<IWMWriterHeaderInfo>(writer.writer);
  if (!header)
    return;
  const std::size_t chars = std::min(text.size(), kMaxAttributeChars);
  std::vector<std::uint8_t> bytes(chars * 2);
  for (std::size_t i = 0; i < chars; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  header->SetAttribute(0, name, WMT_TYPE_STRING, bytes.data(),
                       static_cast<std::uint16_t>(bytes.size()));
}

void wm_writer_begin(wma_writer& writer) {
  if (!writer.writer || FAILED(writer.writer->BeginWriting()))
    throw std::runtime_error(kBeginFailed);
  writer.TotalTime = 0;
}

void wm_writer_write(wma_writer& writer, const void* data, std::uint32_t bytes) {
  if (!writer.writer)
    throw std::runtime_error(std::string(kWriteFailed) + hex8(NS_E_NOT_CONFIGURED));
  HRESULT hr = data == nullptr && bytes > 0 ? E_POINTER
                                            : writer.writer->AllocateSample(bytes, &writer.buffer);
  if (SUCCEEDED(hr)) {
    std::uint8_t* target = nullptr;
    hr = writer.buffer->GetBuffer(&target);
    if (SUCCEEDED(hr) && bytes > 0)
      std::memcpy(target, data, bytes);
    if (SUCCEEDED(hr))
      hr = writer.buffer->SetLength(bytes);
  }
  if (SUCCEEDED(hr)) {
    // Without an input format there is no time to give; the write then fails anyway.
    if (writer.BytesPerSecond > 0)
      writer.TotalTime += static_cast<std::int64_t>(
          std::nearbyint(static_cast<double>(bytes) / writer.BytesPerSecond / 0.0000001));
    hr = writer.writer->WriteSample(writer.input, writer.TotalTime, 0, writer.buffer);
  }
  writer.buffer.reset();
  if (FAILED(hr))
    throw std::runtime_error(std::string(kWriteFailed) + hex8(hr));
}

void wm_writer_end_file(wma_writer& writer) {
  if (writer.writer)
    writer.writer->EndWriting();
  writer.file_sink.reset();
  writer.writer.reset();
  writer.ErrorCallback.reset();
  writer.Initialized = false;
}

void wm_writer_end_network(wma_writer& writer) {
  if (writer.writer)
    writer.writer->EndWriting();
  if (writer.network_sink) {
    writer.network_sink->Close();
    if (auto advanced = std::dynamic_pointer_cast<IWMWriterAdvanced>(writer.writer))
      advanced->RemoveSink(writer.network_sink);
  }
  writer.network_sink.reset();
  writer.writer.reset();
  writer.StatusCallback.reset();
  writer.ErrorCallback.reset();
  writer.Initialized = false;
}

std::u16string wm_writer_url(wma_writer& writer) {
  std::u16string url;
  if (!writer.Initialized || !writer.network_sink)
    return url;
  if (FAILED(writer.network_sink->GetHostURL(&url)))
    url.clear();
  return url;
}

std::uint32_t wm_writer_client_count(wma_writer& writer) {
  std::uint32_t count = 0;
  if (!writer.network_sink || FAILED(writer.network_sink->GetClientCount(&count)))
    return 0;
  return count;
}

} // namespace sondrix
