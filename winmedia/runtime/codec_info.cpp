#include "winmedia/runtime/codec_info.h"

#include "base/text.h"
#include "winmedia/runtime/encode_session.h"
#include "winmedia/runtime/profile.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace sondrix {

namespace {

// Offered in this order: bitrates from high to low, and per bitrate the common rates first,
// stereo before mono. The format choice keeps the first format of the nearest bitrate, so
// this order makes a 44.1 kHz stereo source at 128 kbit/s get 44.1 kHz stereo.
constexpr std::array<std::uint32_t, 12> kBitrates = {320000, 256000, 192000, 160000, 128000, 96000,
                                                     80000,  64000,  48000,  40000,  32000,  24000};
constexpr std::array<std::uint32_t, 7> kSampleRates = {44100, 48000, 32000, 22050,
                                                       16000, 11025, 8000};
constexpr std::array<std::uint16_t, 2> kChannels = {2, 1};
// Above about four bits per sample the codec only wastes bits; such formats are not offered.
constexpr std::uint64_t kMaxBitsPerSample = 4;

WMEncoderCodec probeCodec(const char* encoderName, const GUID& subtype, std::uint16_t formatTag) {
  WMEncoderCodec codec;
  const AVCodec* av = avcodec_find_encoder_by_name(encoderName);
  if (av == nullptr)
    return codec;
  codec.encoderName = encoderName;
  codec.displayName = toWide(av->long_name != nullptr ? av->long_name : encoderName);
  codec.subtype = subtype;
  codec.formatTag = formatTag;
  for (const std::uint32_t bitrate : kBitrates) {
    for (const std::uint32_t rate : kSampleRates) {
      for (const std::uint16_t channels : kChannels) {
        if (bitrate > kMaxBitsPerSample * rate * channels)
          continue;
        std::uint32_t blockAlign = 0;
        if (wmProbeEncoder({encoderName, bitrate, rate, channels}, &blockAlign))
          codec.formats.push_back({bitrate, rate, channels, blockAlign});
      }
    }
  }
  return codec;
}

std::vector<WMEncoderCodec> probeCodecs() {
  std::vector<WMEncoderCodec> codecs;
  for (auto codec : {probeCodec("wmav2", WMMEDIASUBTYPE_WMAudioV8, 0x0161),
                     probeCodec("wmav1", WMMEDIASUBTYPE_WMAudioV7, 0x0160)}) {
    if (!codec.formats.empty())
      codecs.push_back(std::move(codec));
  }
  return codecs;
}

bool isAudio(const GUID& guidType) {
  return guidType == WMMEDIATYPE_Audio;
}

bool sameName(const char16_t* name, const char16_t* expected) {
  return name != nullptr && std::u16string_view(name) == std::u16string_view(expected);
}

} // namespace

const std::vector<WMEncoderCodec>& wmEncoderCodecs() {
  static const std::vector<WMEncoderCodec> codecs = probeCodecs();
  return codecs;
}

std::uint32_t wmEncoderRateAtOrBelow(std::uint32_t rate) {
  std::uint32_t below = 0;
  std::uint32_t lowest = 0;
  for (const WMEncoderCodec& codec : wmEncoderCodecs()) {
    for (const WMEncoderFormat& format : codec.formats) {
      if (format.sampleRate <= rate)
        below = std::max(below, format.sampleRate);
      if (lowest == 0 || format.sampleRate < lowest)
        lowest = format.sampleRate;
    }
  }
  return below != 0 ? below : lowest != 0 ? lowest : rate;
}

std::u16string wmFormatDescription(const WMEncoderFormat& format) {
  const std::string text = std::to_string(format.bitrate / 1000) + " kbps, " +
                           std::to_string(format.sampleRate / 1000) + " kHz, " +
                           (format.channels == 1   ? std::string("mono")
                            : format.channels == 2 ? std::string("stereo")
                                                   : std::to_string(format.channels) + " channels");
  return toWide(text);
}

std::shared_ptr<IWMStreamConfig> wmMakeStreamConfig(const WMEncoderCodec& codec,
                                                    const WMEncoderFormat& format) {
  WM_MEDIA_TYPE type;
  type.majortype = WMMEDIATYPE_Audio;
  type.subtype = codec.subtype;
  type.bFixedSizeSamples = true;
  type.bTemporalCompression = false;
  type.lSampleSize = format.blockAlign;
  type.formattype = WMFORMAT_WaveFormatEx;
  type.format.wFormatTag = codec.formatTag;
  type.format.nChannels = format.channels;
  type.format.nSamplesPerSec = format.sampleRate;
  type.format.nAvgBytesPerSec = format.bitrate / 8;
  type.format.nBlockAlign = static_cast<std::uint16_t>(format.blockAlign);
  type.format.wBitsPerSample = 16;
  return std::make_shared<TWMStreamConfig>(type, format.bitrate);
}

HRESULT wmCopyText(const std::u16string& text, char16_t* buffer, std::uint32_t* pcch) {
  if (pcch == nullptr)
    return E_POINTER;
  const auto needed = static_cast<std::uint32_t>(text.size() + 1);
  if (buffer == nullptr) {
    *pcch = needed;
    return S_OK;
  }
  if (*pcch < needed) {
    *pcch = needed;
    return WMCODEC_E_BUFFERTOOSMALL;
  }
  std::memcpy(buffer, text.c_str(), needed * sizeof(char16_t));
  *pcch = needed;
  return S_OK;
}

TWMCodecInfo::TWMCodecInfo() : FVBREnabled(wmEncoderCodecs().size(), false) {}

const std::vector<WMEncoderFormat>* TWMCodecInfo::formatsOf(const GUID& guidType,
                                                            std::uint32_t dwCodecIndex) const {
  const auto& codecs = wmEncoderCodecs();
  if (!isAudio(guidType) || dwCodecIndex >= codecs.size() || FVBREnabled[dwCodecIndex])
    return nullptr;
  return &codecs[dwCodecIndex].formats;
}

HRESULT TWMCodecInfo::GetCodecInfoCount(const GUID& guidType, std::uint32_t* pcCodecs) {
  if (pcCodecs == nullptr)
    return E_POINTER;
  *pcCodecs = isAudio(guidType) ? static_cast<std::uint32_t>(wmEncoderCodecs().size()) : 0;
  return S_OK;
}

HRESULT TWMCodecInfo::GetCodecFormatCount(const GUID& guidType, std::uint32_t dwCodecIndex,
                                          std::uint32_t* pcFormat) {
  if (pcFormat == nullptr)
    return E_POINTER;
  if (!isAudio(guidType) || dwCodecIndex >= wmEncoderCodecs().size())
    return E_INVALIDARG;
  const auto* formats = formatsOf(guidType, dwCodecIndex);
  *pcFormat = formats != nullptr ? static_cast<std::uint32_t>(formats->size()) : 0;
  return S_OK;
}

HRESULT TWMCodecInfo::GetCodecFormat(const GUID& guidType, std::uint32_t dwCodecIndex,
                                     std::uint32_t dwFormatIndex,
                                     std::shared_ptr<IWMStreamConfig>* ppIStreamConfig) {
  if (ppIStreamConfig == nullptr)
    return E_POINTER;
  ppIStreamConfig->reset();
  const auto* formats = formatsOf(guidType, dwCodecIndex);
  if (formats == nullptr || dwFormatIndex >= formats->size())
    return E_INVALIDARG;
  *ppIStreamConfig = wmMakeStreamConfig(wmEncoderCodecs()[dwCodecIndex], (*formats)[dwFormatIndex]);
  return S_OK;
}

HRESULT TWMCodecInfo::GetCodecName(const GUID& guidType, std::uint32_t dwCodecIndex,
                                   char16_t* wszName, std::uint32_t* pcchName) {
  const auto& codecs = wmEncoderCodecs();
  if (!isAudio(guidType) || dwCodecIndex >= codecs.size())
    return E_INVALIDARG;
  return wmCopyText(codecs[dwCodecIndex].displayName, wszName, pcchName);
}

HRESULT TWMCodecInfo::GetCodecFormatDesc(const GUID& guidType, std::uint32_t dwCodecIndex,
                                         std::uint32_t dwFormatIndex,
                                         std::shared_ptr<IWMStreamConfig>* ppIStreamConfig,
                                         char16_t* wszDesc, std::uint32_t* pcchDesc) {
  const auto* formats = formatsOf(guidType, dwCodecIndex);
  if (formats == nullptr || dwFormatIndex >= formats->size())
    return E_INVALIDARG;
  const WMEncoderFormat& format = (*formats)[dwFormatIndex];
  if (ppIStreamConfig != nullptr)
    *ppIStreamConfig = wmMakeStreamConfig(wmEncoderCodecs()[dwCodecIndex], format);
  return wmCopyText(wmFormatDescription(format), wszDesc, pcchDesc);
}

HRESULT TWMCodecInfo::GetCodecFormatProp(const GUID& guidType, std::uint32_t dwCodecIndex,
                                         std::uint32_t dwFormatIndex, const char16_t* pszName,
                                         WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                                         std::uint32_t* pdwSize) {
  (void)pType;
  (void)pValue;
  (void)pdwSize;
  const auto* formats = formatsOf(guidType, dwCodecIndex);
  if (formats == nullptr || dwFormatIndex >= formats->size() || pszName == nullptr)
    return E_INVALIDARG;
  // Every format here is constant bitrate: none has a VBR quality or other property.
  return E_INVALIDARG;
}

HRESULT TWMCodecInfo::SetCodecEnumerationSetting(const GUID& guidType, std::uint32_t dwCodecIndex,
                                                 const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                                 const std::uint8_t* pValue, std::uint32_t dwSize) {
  if (!isAudio(guidType) || dwCodecIndex >= FVBREnabled.size() || pValue == nullptr)
    return E_INVALIDARG;
  if (sameName(pszName, g_wszVBREnabled)) {
    if (Type != WMT_TYPE_BOOL || dwSize != 4)
      return E_INVALIDARG;
    std::uint32_t value = 0;
    std::memcpy(&value, pValue, 4);
    FVBREnabled[dwCodecIndex] = value != 0;
    return S_OK;
  }
  if (sameName(pszName, g_wszNumPasses)) {
    if (Type != WMT_TYPE_DWORD || dwSize != 4)
      return E_INVALIDARG;
    std::uint32_t passes = 0;
    std::memcpy(&passes, pValue, 4);
    return passes == 1 ? S_OK : E_INVALIDARG; // one-pass encoders only
  }
  return E_INVALIDARG;
}

} // namespace sondrix
