#include "winmedia/runtime/writer.h"

#include "base/text.h"
#include "winmedia/runtime/codec_info.h"
#include "winmedia/runtime/encode_session.h"
#include "winmedia/runtime/wm_runtime.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sondrix {

namespace {

// How far ahead of real time a real-time sink may be fed: enough to ride out scheduling
// hiccups, small enough that listeners hear changes promptly.
constexpr std::chrono::milliseconds kRealTimeLead{500};
constexpr std::uint16_t kWaveFormatIeeeFloat = 3;
constexpr std::uint16_t kMaxInputChannels = 8;
constexpr std::uint32_t kMinInputRate = 1000;
constexpr std::uint32_t kMaxInputRate = 384000;

WM_MEDIA_TYPE pcmType(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  WM_MEDIA_TYPE type;
  type.majortype = WMMEDIATYPE_Audio;
  type.subtype = WMMEDIASUBTYPE_PCM;
  type.bFixedSizeSamples = true;
  type.bTemporalCompression = false;
  type.formattype = WMFORMAT_WaveFormatEx;
  type.format.wFormatTag = WAVE_FORMAT_PCM;
  type.format.nChannels = channels;
  type.format.nSamplesPerSec = rate;
  type.format.wBitsPerSample = bits;
  type.format.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  type.format.nAvgBytesPerSec = type.format.nBlockAlign * rate;
  type.lSampleSize = type.format.nBlockAlign;
  return type;
}

bool validPcm(const WAVEFORMATEX& wfx) {
  const bool integer =
      wfx.wFormatTag == WAVE_FORMAT_PCM && (wfx.wBitsPerSample == 8 || wfx.wBitsPerSample == 16 ||
                                            wfx.wBitsPerSample == 24 || wfx.wBitsPerSample == 32);
  const bool floating = wfx.wFormatTag == kWaveFormatIeeeFloat && wfx.wBitsPerSample == 32;
  return (integer || floating) && wfx.nChannels >= 1 && wfx.nChannels <= kMaxInputChannels &&
         wfx.nSamplesPerSec >= kMinInputRate && wfx.nSamplesPerSec <= kMaxInputRate &&
         wfx.nBlockAlign == wfx.nChannels * wfx.wBitsPerSample / 8;
}

const WMEncoderCodec* codecForSubtype(const GUID& subtype) {
  for (const auto& codec : wmEncoderCodecs()) {
    if (codec.subtype == subtype)
      return &codec;
  }
  return nullptr;
}

// Attribute values become text in the header.
bool attributeText(WMT_ATTR_DATATYPE type, const std::uint8_t* value, std::uint16_t length,
                   std::string* text) {
  if (length > 0 && value == nullptr)
    return false;
  auto readUnsigned = [&](std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i)
      v |= static_cast<std::uint64_t>(value[i]) << (8 * i);
    return v;
  };
  switch (type) {
  case WMT_TYPE_STRING: {
    std::u16string wide(length / 2, u'\0');
    for (std::size_t i = 0; i < wide.size(); ++i)
      wide[i] = static_cast<char16_t>(value[2 * i] | (value[2 * i + 1] << 8));
    while (!wide.empty() && wide.back() == u'\0')
      wide.pop_back();
    *text = toNarrow(wide);
    return true;
  }
  case WMT_TYPE_DWORD:
  case WMT_TYPE_BOOL:
    if (length != 4)
      return false;
    *text = std::to_string(readUnsigned(4));
    return true;
  case WMT_TYPE_QWORD:
    if (length != 8)
      return false;
    *text = std::to_string(readUnsigned(8));
    return true;
  case WMT_TYPE_WORD:
    if (length != 2)
      return false;
    *text = std::to_string(readUnsigned(2));
    return true;
  default:
    return false;
  }
}

class TWMWriter final : public IWMWriter, public IWMWriterAdvanced, public IWMWriterHeaderInfo {
public:
  ~TWMWriter() override {
    // An abandoned run still ends properly, so its file is whole and its sinks closed.
    if (FSession)
      EndWriting();
  }

  HRESULT SetProfile(const std::shared_ptr<IWMProfile>& pProfile) override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    if (!pProfile)
      return E_POINTER;
    std::uint32_t count = 0;
    HRESULT hr = pProfile->GetStreamCount(&count);
    if (FAILED(hr))
      return hr;
    if (count != 1)
      return count == 0 ? E_INVALIDARG : E_NOTIMPL;
    std::shared_ptr<IWMStreamConfig> stream;
    WM_MEDIA_TYPE type;
    std::uint32_t bitrate = 0;
    if (FAILED(hr = pProfile->GetStream(0, &stream)) || FAILED(hr = stream->GetMediaType(&type)) ||
        FAILED(hr = stream->GetBitrate(&bitrate)))
      return hr;
    const WMEncoderCodec* codec = codecForSubtype(type.subtype);
    if (!(type.majortype == WMMEDIATYPE_Audio) || !(type.formattype == WMFORMAT_WaveFormatEx) ||
        codec == nullptr || type.format.nChannels == 0 || type.format.nSamplesPerSec == 0 ||
        bitrate == 0)
      return E_INVALIDARG;
    FTarget = {codec->encoderName, bitrate, type.format.nSamplesPerSec, type.format.nChannels};
    FInputType = pcmType(type.format.nChannels, type.format.nSamplesPerSec, 16);
    FConfigured = true;
    return S_OK;
  }

  HRESULT GetInputCount(std::uint32_t* pcInputs) override {
    if (pcInputs == nullptr)
      return E_POINTER;
    *pcInputs = FConfigured ? 1 : 0;
    return S_OK;
  }

  HRESULT GetInputProps(std::uint32_t dwInputNum,
                        std::shared_ptr<IWMInputMediaProps>* ppInput) override {
    if (ppInput == nullptr)
      return E_POINTER;
    if (!FConfigured || dwInputNum != 0)
      return E_INVALIDARG;
    *ppInput = std::make_shared<TWMMediaProps>(FInputType);
    return S_OK;
  }

  HRESULT SetInputProps(std::uint32_t dwInputNum,
                        const std::shared_ptr<IWMInputMediaProps>& pInput) override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    if (!pInput)
      return E_POINTER;
    if (!FConfigured || dwInputNum != 0)
      return E_INVALIDARG;
    WM_MEDIA_TYPE type;
    const HRESULT hr = pInput->GetMediaType(&type);
    if (FAILED(hr))
      return hr;
    if (!(type.majortype == WMMEDIATYPE_Audio) || !(type.formattype == WMFORMAT_WaveFormatEx) ||
        !validPcm(type.format))
      return E_INVALIDARG;
    FInputType = type;
    return S_OK;
  }

  HRESULT BeginWriting() override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    if (!FConfigured || FSinks.empty())
      return NS_E_NOT_CONFIGURED;
    EncodeSettings settings;
    settings.target = FTarget;
    settings.input = FInputType.format;
    settings.attributes = FAttributes;
    settings.live = std::any_of(FSinks.begin(), FSinks.end(),
                                [](const auto& sink) { return sink->IsRealTime(); });
    const HRESULT hr = TEncodeSession::Start(settings, FSinks, &FSession);
    if (FAILED(hr)) {
      FSession.reset();
      return hr;
    }
    FLive = settings.live;
    FStart = std::chrono::steady_clock::now();
    return S_OK;
  }

  HRESULT EndWriting() override {
    if (!FSession)
      return NS_E_INVALID_REQUEST;
    HRESULT hr = FSession->Finish();
    FSession.reset();
    for (const auto& sink : FSinks) {
      const HRESULT sinkResult = sink->OnEndWriting();
      if (SUCCEEDED(hr) && FAILED(sinkResult))
        hr = sinkResult;
    }
    return hr;
  }

  HRESULT AllocateSample(std::uint32_t dwSampleSize,
                         std::shared_ptr<INSSBuffer>* ppSample) override {
    if (ppSample == nullptr)
      return E_POINTER;
    *ppSample = std::make_shared<TNSSBuffer>(dwSampleSize);
    return S_OK;
  }

  HRESULT WriteSample(std::uint32_t dwInputNum, std::int64_t cnsSampleTime, std::uint32_t dwFlags,
                      const std::shared_ptr<INSSBuffer>& pSample) override {
    (void)dwFlags;
    if (!FSession)
      return NS_E_INVALID_REQUEST;
    if (dwInputNum != 0)
      return E_INVALIDARG;
    if (!pSample)
      return E_POINTER;
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    const HRESULT hr = pSample->GetBufferAndLength(&data, &length);
    if (FAILED(hr))
      return hr;
    if (FLive)
      paceTo(cnsSampleTime);
    return FSession->Write(data, length);
  }

  HRESULT AddSink(const std::shared_ptr<IWMWriterSink>& pSink) override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    if (!pSink)
      return E_POINTER;
    if (std::find(FSinks.begin(), FSinks.end(), pSink) != FSinks.end())
      return E_INVALIDARG;
    FSinks.push_back(pSink);
    return S_OK;
  }

  HRESULT RemoveSink(const std::shared_ptr<IWMWriterSink>& pSink) override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    const auto it = std::find(FSinks.begin(), FSinks.end(), pSink);
    if (it == FSinks.end())
      return E_INVALIDARG;
    FSinks.erase(it);
    return S_OK;
  }

  HRESULT SetAttribute(std::uint16_t wStreamNum, const std::u16string& pszName,
                       WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                       std::uint16_t cbLength) override {
    if (FSession)
      return NS_E_INVALID_REQUEST;
    if (wStreamNum != 0 || pszName.empty())
      return E_INVALIDARG;
    std::string text;
    if (!attributeText(Type, pValue, cbLength, &text))
      return E_INVALIDARG;
    const std::string name = toNarrow(pszName);
    const auto it = std::find_if(FAttributes.begin(), FAttributes.end(),
                                 [&](const auto& attribute) { return attribute.first == name; });
    if (it != FAttributes.end())
      it->second = std::move(text);
    else
      FAttributes.emplace_back(name, std::move(text));
    return S_OK;
  }

private:
  void paceTo(std::int64_t sampleTime) {
    const auto due = FStart + std::chrono::nanoseconds(sampleTime * 100) - kRealTimeLead;
    std::this_thread::sleep_until(due);
  }

  bool FConfigured = false;
  EncodeTarget FTarget;
  WM_MEDIA_TYPE FInputType;
  std::vector<std::shared_ptr<IWMWriterSink>> FSinks;
  std::vector<std::pair<std::string, std::string>> FAttributes;
  std::unique_ptr<TEncodeSession> FSession;
  bool FLive = false;
  std::chrono::steady_clock::time_point FStart;
};

} // namespace

HRESULT WMCreateWriter(void* pUnkCert, std::shared_ptr<IWMWriter>* ppWriter) {
  (void)pUnkCert;
  if (ppWriter == nullptr)
    return E_POINTER;
  *ppWriter = std::make_shared<TWMWriter>();
  return S_OK;
}

} // namespace sondrix
