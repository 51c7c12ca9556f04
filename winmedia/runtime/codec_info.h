#pragma once

#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/writer_sink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sondrix {

class IWMStreamConfig;

// A caller's text buffer is too small (the runtime's buffer-too-small code; named apart so it
// can sit beside the reader's declaration of the same code).
constexpr HRESULT WMCODEC_E_BUFFERTOOSMALL = hresult(0xC00D07F1);

// Codec enumeration settings and format properties.
inline constexpr char16_t g_wszVBREnabled[] = u"_VBRENABLED";
inline constexpr char16_t g_wszVBRQuality[] = u"_VBRQUALITY";
inline constexpr char16_t g_wszNumPasses[] = u"_NUMPASSES";

// Codec information: the encoders of one major type and the formats each offers, in a fixed
// order. Indices are 0-based. Texts follow the size-query convention: a null buffer asks for
// the length in characters including the terminating null.
class IWMCodecInfo {
public:
  virtual ~IWMCodecInfo() = default;
  virtual HRESULT GetCodecInfoCount(const GUID& guidType, std::uint32_t* pcCodecs) = 0;
  virtual HRESULT GetCodecFormatCount(const GUID& guidType, std::uint32_t dwCodecIndex,
                                      std::uint32_t* pcFormat) = 0;
  // A new stream configuration that the caller owns; changing it changes nothing here.
  virtual HRESULT GetCodecFormat(const GUID& guidType, std::uint32_t dwCodecIndex,
                                 std::uint32_t dwFormatIndex,
                                 std::shared_ptr<IWMStreamConfig>* ppIStreamConfig) = 0;
};

class IWMCodecInfo2 : public IWMCodecInfo {
public:
  virtual HRESULT GetCodecName(const GUID& guidType, std::uint32_t dwCodecIndex, char16_t* wszName,
                               std::uint32_t* pcchName) = 0;
  virtual HRESULT GetCodecFormatDesc(const GUID& guidType, std::uint32_t dwCodecIndex,
                                     std::uint32_t dwFormatIndex,
                                     std::shared_ptr<IWMStreamConfig>* ppIStreamConfig,
                                     char16_t* wszDesc, std::uint32_t* pcchDesc) = 0;
};

class IWMCodecInfo3 : public IWMCodecInfo2 {
public:
  // A null pValue asks for the size in bytes.
  virtual HRESULT GetCodecFormatProp(const GUID& guidType, std::uint32_t dwCodecIndex,
                                     std::uint32_t dwFormatIndex, const char16_t* pszName,
                                     WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                                     std::uint32_t* pdwSize) = 0;
  // Settings apply to later enumeration of that codec on this object only.
  virtual HRESULT SetCodecEnumerationSetting(const GUID& guidType, std::uint32_t dwCodecIndex,
                                             const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                             const std::uint8_t* pValue, std::uint32_t dwSize) = 0;
};

// One format an encoder here really produces (16-bit input, constant bitrate).
struct WMEncoderFormat {
  std::uint32_t bitrate = 0; // bits per second
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  std::uint32_t blockAlign = 0; // bytes per coded packet of the encoder
};

struct WMEncoderCodec {
  std::string encoderName; // FFmpeg's encoder name
  std::u16string displayName;
  GUID subtype;
  std::uint16_t formatTag = 0;
  std::vector<WMEncoderFormat> formats;
};

// The Windows Media Audio encoders present, each with the formats it accepted when tried
// (built once, on first use, thread-safe; never changes afterwards).
const std::vector<WMEncoderCodec>& wmEncoderCodecs();
// The highest rate an encoder here offers at or below rate; the lowest offered when rate is
// below all of them, and rate itself when no encoder is present.
std::uint32_t wmEncoderRateAtOrBelow(std::uint32_t rate);

// "128 kbps, 44 kHz, stereo".
std::u16string wmFormatDescription(const WMEncoderFormat& format);

// A stream configuration describing one encoder format.
std::shared_ptr<IWMStreamConfig> wmMakeStreamConfig(const WMEncoderCodec& codec,
                                                    const WMEncoderFormat& format);

// The codec information over wmEncoderCodecs(). Not thread-safe: one thread per object.
class TWMCodecInfo : public IWMCodecInfo3 {
public:
  TWMCodecInfo();
  HRESULT GetCodecInfoCount(const GUID& guidType, std::uint32_t* pcCodecs) override;
  HRESULT GetCodecFormatCount(const GUID& guidType, std::uint32_t dwCodecIndex,
                              std::uint32_t* pcFormat) override;
  HRESULT GetCodecFormat(const GUID& guidType, std::uint32_t dwCodecIndex,
                         std::uint32_t dwFormatIndex,
                         std::shared_ptr<IWMStreamConfig>* ppIStreamConfig) override;
  HRESULT GetCodecName(const GUID& guidType, std::uint32_t dwCodecIndex, char16_t* wszName,
                       std::uint32_t* pcchName) override;
  HRESULT GetCodecFormatDesc(const GUID& guidType, std::uint32_t dwCodecIndex,
                             std::uint32_t dwFormatIndex,
                             std::shared_ptr<IWMStreamConfig>* ppIStreamConfig, char16_t* wszDesc,
                             std::uint32_t* pcchDesc) override;
  HRESULT GetCodecFormatProp(const GUID& guidType, std::uint32_t dwCodecIndex,
                             std::uint32_t dwFormatIndex, const char16_t* pszName,
                             WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                             std::uint32_t* pdwSize) override;
  HRESULT SetCodecEnumerationSetting(const GUID& guidType, std::uint32_t dwCodecIndex,
                                     const char16_t* pszName, WMT_ATTR_DATATYPE Type,
                                     const std::uint8_t* pValue, std::uint32_t dwSize) override;

private:
  // Null when the index or type is wrong, or the enumeration lists nothing (VBR: no such
  // encoder here).
  const std::vector<WMEncoderFormat>* formatsOf(const GUID& guidType,
                                                std::uint32_t dwCodecIndex) const;

  std::vector<bool> FVBREnabled; // per codec
};

// Copies text with its null into a caller's buffer under the size-query convention.
HRESULT wmCopyText(const std::u16string& text, char16_t* buffer, std::uint32_t* pcch);

} // namespace sondrix
