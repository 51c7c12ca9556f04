#include "winmedia/runtime/profile.h"

#include "winmedia/runtime/wm_runtime.h"

#include <algorithm>

namespace sondrix {

TWMStreamConfig::TWMStreamConfig(const WM_MEDIA_TYPE& type, std::uint32_t bitrate)
    : FType(type), FBitrate(bitrate) {}

HRESULT TWMStreamConfig::GetMediaType(WM_MEDIA_TYPE* pType) {
  if (pType == nullptr)
    return E_POINTER;
  *pType = FType;
  return S_OK;
}

HRESULT TWMStreamConfig::SetMediaType(const WM_MEDIA_TYPE& type) {
  FType = type;
  return S_OK;
}

HRESULT TWMStreamConfig::GetStreamType(GUID* pguidStreamType) {
  if (pguidStreamType == nullptr)
    return E_POINTER;
  *pguidStreamType = FType.majortype;
  return S_OK;
}

HRESULT TWMStreamConfig::GetStreamNumber(std::uint16_t* pwStreamNum) {
  if (pwStreamNum == nullptr)
    return E_POINTER;
  *pwStreamNum = FStreamNumber;
  return S_OK;
}

HRESULT TWMStreamConfig::SetStreamNumber(std::uint16_t wStreamNum) {
  FStreamNumber = wStreamNum;
  return S_OK;
}

HRESULT TWMStreamConfig::GetStreamName(std::u16string* pwszStreamName) {
  if (pwszStreamName == nullptr)
    return E_POINTER;
  *pwszStreamName = FStreamName;
  return S_OK;
}

HRESULT TWMStreamConfig::SetStreamName(const std::u16string& pwszStreamName) {
  FStreamName = pwszStreamName;
  return S_OK;
}

HRESULT TWMStreamConfig::GetConnectionName(std::u16string* pwszInputName) {
  if (pwszInputName == nullptr)
    return E_POINTER;
  *pwszInputName = FConnectionName;
  return S_OK;
}

HRESULT TWMStreamConfig::SetConnectionName(const std::u16string& pwszInputName) {
  FConnectionName = pwszInputName;
  return S_OK;
}

HRESULT TWMStreamConfig::GetBitrate(std::uint32_t* pdwBitrate) {
  if (pdwBitrate == nullptr)
    return E_POINTER;
  *pdwBitrate = FBitrate;
  return S_OK;
}

HRESULT TWMStreamConfig::SetBitrate(std::uint32_t pdwBitrate) {
  FBitrate = pdwBitrate;
  return S_OK;
}

HRESULT TWMStreamConfig::CopyOf(IWMStreamConfig& source, std::shared_ptr<TWMStreamConfig>* copy) {
  WM_MEDIA_TYPE type;
  std::uint32_t bitrate = 0;
  std::uint16_t number = 0;
  std::u16string streamName;
  std::u16string connectionName;
  for (const HRESULT hr :
       {source.GetMediaType(&type), source.GetBitrate(&bitrate), source.GetStreamNumber(&number),
        source.GetStreamName(&streamName), source.GetConnectionName(&connectionName)}) {
    if (FAILED(hr))
      return hr;
  }
  auto result = std::make_shared<TWMStreamConfig>(type, bitrate);
  result->FStreamNumber = number;
  result->FStreamName = std::move(streamName);
  result->FConnectionName = std::move(connectionName);
  *copy = std::move(result);
  return S_OK;
}

namespace {

constexpr std::uint16_t kMaxStreamNumber = 63;

class TWMProfile final : public IWMProfile {
public:
  explicit TWMProfile(WMT_VERSION version) : FVersion(version) {}

  HRESULT GetVersion(WMT_VERSION* pdwVersion) override {
    if (pdwVersion == nullptr)
      return E_POINTER;
    *pdwVersion = FVersion;
    return S_OK;
  }

  HRESULT GetStreamCount(std::uint32_t* pcStreams) override {
    if (pcStreams == nullptr)
      return E_POINTER;
    *pcStreams = static_cast<std::uint32_t>(FStreams.size());
    return S_OK;
  }

  HRESULT GetStream(std::uint32_t dwStreamIndex,
                    std::shared_ptr<IWMStreamConfig>* ppConfig) override {
    if (ppConfig == nullptr)
      return E_POINTER;
    if (dwStreamIndex >= FStreams.size())
      return E_INVALIDARG;
    *ppConfig = FStreams[dwStreamIndex];
    return S_OK;
  }

  HRESULT AddStream(const std::shared_ptr<IWMStreamConfig>& pConfig) override {
    if (!pConfig)
      return E_POINTER;
    std::shared_ptr<TWMStreamConfig> copy;
    HRESULT hr = TWMStreamConfig::CopyOf(*pConfig, &copy);
    if (FAILED(hr))
      return hr;
    std::uint16_t number = 0;
    WM_MEDIA_TYPE type;
    copy->GetStreamNumber(&number);
    copy->GetMediaType(&type);
    if (number == 0 || number > kMaxStreamNumber)
      return E_INVALIDARG;
    if (!(type.majortype == WMMEDIATYPE_Audio) || !(type.formattype == WMFORMAT_WaveFormatEx))
      return E_INVALIDARG;
    const bool used = std::any_of(FStreams.begin(), FStreams.end(), [&](const auto& stream) {
      std::uint16_t other = 0;
      stream->GetStreamNumber(&other);
      return other == number;
    });
    if (used)
      return E_INVALIDARG;
    FStreams.push_back(std::move(copy));
    return S_OK;
  }

private:
  WMT_VERSION FVersion;
  std::vector<std::shared_ptr<IWMStreamConfig>> FStreams;
};

class TWMProfileManager final : public IWMProfileManager {
public:
  HRESULT CreateEmptyProfile(WMT_VERSION dwVersion,
                             std::shared_ptr<IWMProfile>* ppProfile) override {
    if (ppProfile == nullptr)
      return E_POINTER;
    switch (dwVersion) {
    case WMT_VER_4_0:
    case WMT_VER_7_0:
    case WMT_VER_8_0:
    case WMT_VER_9_0:
      *ppProfile = std::make_shared<TWMProfile>(dwVersion);
      return S_OK;
    }
    return E_INVALIDARG;
  }

  HRESULT GetCodecInfoCount(const GUID& guidType, std::uint32_t* pcCodecs) override {
    return FInfo.GetCodecInfoCount(guidType, pcCodecs);
  }
  HRESULT GetCodecFormatCount(const GUID& guidType, std::uint32_t dwCodecIndex,
                              std::uint32_t* pcFormat) override {
    return FInfo.GetCodecFormatCount(guidType, dwCodecIndex, pcFormat);
  }
  HRESULT GetCodecFormat(const GUID& guidType, std::uint32_t dwCodecIndex,
                         std::uint32_t dwFormatIndex,
                         std::shared_ptr<IWMStreamConfig>* ppIStreamConfig) override {
    return FInfo.GetCodecFormat(guidType, dwCodecIndex, dwFormatIndex, ppIStreamConfig);
  }
  HRESULT GetCodecName(const GUID& guidType, std::uint32_t dwCodecIndex, char16_t* wszName,
                       std::uint32_t* pcchName) override {
    return FInfo.GetCodecName(guidType, dwCodecIndex, wszName, pcchName);
  }
  HRESULT GetCodecFormatDesc(const GUID& guidType, std::uint32_t dwCodecIndex,
                             std::uint32_t dwFormatIndex,
                             std::shared_ptr<IWMStreamConfig>* ppIStreamConfig, char16_t* wszDesc,
                             std::uint32_t* pcchDesc) override {
    return FInfo.GetCodecFormatDesc(guidType, dwCodecIndex, dwFormatIndex, ppIStreamConfig, wszDesc,
                                    pcchDesc);
  }
  HRESULT GetCodecFormatProp(const GUID& guidType, std::uint32_t dwCodecIndex,
                             std::uint32_t dwFormatIndex, const char16_t* pszName,
                             WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                             std::uint32_t* pdwSize) override {
    return FInfo.GetCodecFormatProp(guidType, dwCodecIndex, dwFormatIndex, pszName, pType, pValue,
                                    pdwSize);
  }
  HRESULT SetCodecEnumerationSetting(const GUID& guidType, std::uint32_t dwCodecIndex,
                                     const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                     const std::uint8_t* pValue, std::uint32_t dwSize) override {
    return FInfo.SetCodecEnumerationSetting(guidType, dwCodecIndex, pszName, Type, pValue, dwSize);
  }

private:
  TWMCodecInfo FInfo;
};

} // namespace

HRESULT WMCreateProfileManager(std::shared_ptr<IWMProfileManager>* ppProfileManager) {
  if (ppProfileManager == nullptr)
    return E_POINTER;
  *ppProfileManager = std::make_shared<TWMProfileManager>();
  return S_OK;
}

} // namespace sondrix
