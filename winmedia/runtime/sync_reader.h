#pragma once

#include "winmedia/runtime/istream.h"
#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/result_codes.h"
#include "winmedia/runtime/writer_sink.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sondrix {

constexpr HRESULT NS_E_PROTECTED_CONTENT = hresult(0xC00D0BBD);
constexpr HRESULT NS_E_INVALID_OUTPUT_FORMAT = hresult(0xC00D0BC6);
constexpr HRESULT ASF_E_NOTFOUND = hresult(0xC00D07F0);
constexpr HRESULT ASF_E_BUFFERTOOSMALL = hresult(0xC00D07F1);

// Major type of outputs that carry pictures (cover art, video); the reader offers them but
// never decodes them.
constexpr GUID WMMEDIATYPE_Video = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// Synchronous reader: decodes a stream's audio outputs to PCM on the caller's thread.
// Not thread-safe; one caller at a time. Output numbers count from 0, stream numbers from 1
// (stream n belongs to output n-1). Times are 100-ns units.
//
// The header-info face of a reader is reached with std::dynamic_pointer_cast<IWMHeaderInfo>.
class IWMSyncReader {
public:
  virtual ~IWMSyncReader() = default;
  // Reads the stream from its position at the time of the call (that position is offset 0
  // of the media). The stream stays referenced until Close.
  virtual HRESULT OpenStream(const std::shared_ptr<IStream>& pStream) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT GetOutputCount(std::uint32_t* pcOutputs) = 0;
  // The output's current media type (PCM for a decodable audio output).
  virtual HRESULT GetOutputProps(std::uint32_t dwOutputNum,
                                 std::shared_ptr<IWMOutputMediaProps>* ppOutput) = 0;
  // Makes one of the output's offered formats its current one.
  virtual HRESULT SetOutputProps(std::uint32_t dwOutputNum,
                                 const std::shared_ptr<IWMOutputMediaProps>& pOutput) = 0;
  virtual HRESULT GetOutputFormatCount(std::uint32_t dwOutputNum, std::uint32_t* pcFormats) = 0;
  virtual HRESULT GetOutputFormat(std::uint32_t dwOutputNum, std::uint32_t dwFormatNum,
                                  std::shared_ptr<IWMOutputMediaProps>* ppProps) = 0;
  // "EnableDiscreteOutput" (WMT_TYPE_BOOL, 4 bytes): full depth and all channels;
  // "SpeakerConfig" (WMT_TYPE_DWORD, 4 bytes): most channels wanted, with discrete output.
  virtual HRESULT SetOutputSetting(std::uint32_t dwOutputNum, const std::u16string& pszName,
                                   WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                                   std::uint16_t cbLength) = 0;
  virtual HRESULT GetStreamNumberForOutput(std::uint32_t dwOutputNum,
                                           std::uint16_t* pwStreamNum) = 0;
  // Only decoded samples are available: fCompressed true is refused.
  virtual HRESULT SetReadStreamSamples(std::uint16_t wStreamNum, bool fCompressed) = 0;
  // The next decoded sample of stream wStreamNum (0: of any audio stream) in its output's
  // current format. The buffer belongs to the caller. NS_E_NO_MORE_SAMPLES at the end.
  virtual HRESULT GetNextSample(std::uint16_t wStreamNum, std::shared_ptr<INSSBuffer>* ppSample,
                                std::uint64_t* pcnsSampleTime, std::uint64_t* pcnsDuration,
                                std::uint32_t* pdwFlags, std::uint32_t* pdwOutputNum,
                                std::uint16_t* pwStreamNum) = 0;
  // Reading restarts at cnsStartTime and runs for cnsDuration (0: to the end).
  virtual HRESULT SetRange(std::uint64_t cnsStartTime, std::int64_t cnsDuration) = 0;
};

// Attributes of an open stream, stream 0 meaning the whole file. A null pValue asks for the
// length in bytes; a too small *pcbLength gets ASF_E_BUFFERTOOSMALL and the needed length.
// Texts are UTF-16LE with a terminating null; "Duration" a QWORD (100 ns), "Bitrate" a DWORD
// (bits per second), "IsVBR" and "Is_Protected" BOOLs (4 bytes).
class IWMHeaderInfo {
public:
  virtual ~IWMHeaderInfo() = default;
  virtual HRESULT GetAttributeByName(std::uint16_t* pwStreamNum, const std::u16string& pszName,
                                     WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                                     std::uint16_t* pcbLength) = 0;
  virtual HRESULT SetAttribute(std::uint16_t wStreamNum, const std::u16string& pszName,
                               WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                               std::uint16_t cbLength) = 0;
};

} // namespace sondrix
