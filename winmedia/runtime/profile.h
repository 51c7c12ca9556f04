#pragma once

#include "winmedia/runtime/codec_info.h"
#include "winmedia/runtime/media_types.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sondrix {

// One stream of a profile: its media type (the encoded format), bitrate, number and names.
class IWMStreamConfig : public IWMMediaProps {
public:
  virtual HRESULT GetStreamType(GUID* pguidStreamType) = 0;
  virtual HRESULT GetStreamNumber(std::uint16_t* pwStreamNum) = 0;
  virtual HRESULT SetStreamNumber(std::uint16_t wStreamNum) = 0;
  virtual HRESULT GetStreamName(std::u16string* pwszStreamName) = 0;
  virtual HRESULT SetStreamName(const std::u16string& pwszStreamName) = 0;
  virtual HRESULT GetConnectionName(std::u16string* pwszInputName) = 0;
  virtual HRESULT SetConnectionName(const std::u16string& pwszInputName) = 0;
  // Bits per second.
  virtual HRESULT GetBitrate(std::uint32_t* pdwBitrate) = 0;
  virtual HRESULT SetBitrate(std::uint32_t pdwBitrate) = 0;
};

// Plain value object; not thread-safe.
class TWMStreamConfig final : public IWMStreamConfig {
public:
  TWMStreamConfig(const WM_MEDIA_TYPE& type, std::uint32_t bitrate);

  HRESULT GetMediaType(WM_MEDIA_TYPE* pType) override;
  HRESULT SetMediaType(const WM_MEDIA_TYPE& type) override;
  HRESULT GetStreamType(GUID* pguidStreamType) override;
  HRESULT GetStreamNumber(std::uint16_t* pwStreamNum) override;
  HRESULT SetStreamNumber(std::uint16_t wStreamNum) override;
  HRESULT GetStreamName(std::u16string* pwszStreamName) override;
  HRESULT SetStreamName(const std::u16string& pwszStreamName) override;
  HRESULT GetConnectionName(std::u16string* pwszInputName) override;
  HRESULT SetConnectionName(const std::u16string& pwszInputName) override;
  HRESULT GetBitrate(std::uint32_t* pdwBitrate) override;
  HRESULT SetBitrate(std::uint32_t pdwBitrate) override;

  // A copy of any stream configuration (reads it through its interface).
  static HRESULT CopyOf(IWMStreamConfig& source, std::shared_ptr<TWMStreamConfig>* copy);

private:
  WM_MEDIA_TYPE FType;
  std::uint32_t FBitrate;
  std::uint16_t FStreamNumber = 0;
  std::u16string FStreamName;
  std::u16string FConnectionName;
};

enum WMT_VERSION : std::uint32_t {
  WMT_VER_4_0 = 0x00040000,
  WMT_VER_7_0 = 0x00070000,
  WMT_VER_8_0 = 0x00080000,
  WMT_VER_9_0 = 0x00090000,
};

class IWMProfile {
public:
  virtual ~IWMProfile() = default;
  virtual HRESULT GetVersion(WMT_VERSION* pdwVersion) = 0;
  virtual HRESULT GetStreamCount(std::uint32_t* pcStreams) = 0;
  // The profile's own configuration; the caller must not change it.
  virtual HRESULT GetStream(std::uint32_t dwStreamIndex,
                            std::shared_ptr<IWMStreamConfig>* ppConfig) = 0;
  // Adds a copy. Refuses a stream number outside 1..63 or already used, and a stream that is
  // not audio with a WAVEFORMATEX.
  virtual HRESULT AddStream(const std::shared_ptr<IWMStreamConfig>& pConfig) = 0;
};

// Profiles plus the codec information (the codec interfaces are the manager's own).
class IWMProfileManager : public IWMCodecInfo3 {
public:
  virtual HRESULT CreateEmptyProfile(WMT_VERSION dwVersion,
                                     std::shared_ptr<IWMProfile>* ppProfile) = 0;
};

} // namespace sondrix
