#pragma once

#include "winmedia/runtime/result_codes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

struct GUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::array<std::uint8_t, 8> Data4{};
  friend bool operator==(const GUID&, const GUID&) = default;
};

constexpr GUID WMMEDIATYPE_Audio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_WMAudioV8 = {
    0x00000161, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_WMAudioV7 = {
    0x00000160, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_WMAudio_Lossless = {
    0x00000163, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMMEDIASUBTYPE_MP3 = {
    0x00000055, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID WMFORMAT_WaveFormatEx = {
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEFORMATEX {
  std::uint16_t wFormatTag = 0;
  std::uint16_t nChannels = 0;
  std::uint32_t nSamplesPerSec = 0;
  std::uint32_t nAvgBytesPerSec = 0;
  std::uint16_t nBlockAlign = 0;
  std::uint16_t wBitsPerSample = 0;
  std::uint16_t cbSize = 0;
};

// A media type: what a reader output, writer input or stream carries. For audio the format
// block is a WAVEFORMATEX (formattype WMFORMAT_WaveFormatEx).
struct WM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  bool bFixedSizeSamples = true;
  bool bTemporalCompression = false;
  std::uint32_t lSampleSize = 0;
  GUID formattype;
  WAVEFORMATEX format;
};

class IWMMediaProps {
public:
  virtual ~IWMMediaProps() = default;
  virtual HRESULT GetMediaType(WM_MEDIA_TYPE* pType) = 0;
  virtual HRESULT SetMediaType(const WM_MEDIA_TYPE& type) = 0;
};
using IWMOutputMediaProps = IWMMediaProps;
using IWMInputMediaProps = IWMMediaProps;

// The plain media properties object: holds one media type.
class TWMMediaProps final : public IWMMediaProps {
public:
  explicit TWMMediaProps(const WM_MEDIA_TYPE& type) : FType(type) {}
  HRESULT GetMediaType(WM_MEDIA_TYPE* pType) override {
    if (pType == nullptr)
      return E_POINTER;
    *pType = FType;
    return S_OK;
  }
  HRESULT SetMediaType(const WM_MEDIA_TYPE& type) override {
    FType = type;
    return S_OK;
  }

private:
  WM_MEDIA_TYPE FType;
};

// A sample buffer handed between the program and the runtime.
class INSSBuffer {
public:
  virtual ~INSSBuffer() = default;
  virtual HRESULT GetBufferAndLength(std::uint8_t** ppdwBuffer, std::uint32_t* pdwLength) = 0;
  virtual HRESULT GetBuffer(std::uint8_t** ppdwBuffer) = 0;
  virtual HRESULT GetLength(std::uint32_t* pdwLength) = 0;
  virtual HRESULT GetMaxLength(std::uint32_t* pdwLength) = 0;
  virtual HRESULT SetLength(std::uint32_t dwLength) = 0;
};

// The plain INSSBuffer: a byte vector with a used length.
class TNSSBuffer final : public INSSBuffer {
public:
  explicit TNSSBuffer(std::uint32_t maxLength) : FData(maxLength), FLength(0) {}
  HRESULT GetBufferAndLength(std::uint8_t** ppdwBuffer, std::uint32_t* pdwLength) override {
    *ppdwBuffer = FData.data();
    *pdwLength = FLength;
    return S_OK;
  }
  HRESULT GetBuffer(std::uint8_t** ppdwBuffer) override {
    *ppdwBuffer = FData.data();
    return S_OK;
  }
  HRESULT GetLength(std::uint32_t* pdwLength) override {
    *pdwLength = FLength;
    return S_OK;
  }
  HRESULT GetMaxLength(std::uint32_t* pdwLength) override {
    *pdwLength = static_cast<std::uint32_t>(FData.size());
    return S_OK;
  }
  HRESULT SetLength(std::uint32_t dwLength) override {
    if (dwLength > FData.size())
      return E_INVALIDARG;
    FLength = dwLength;
    return S_OK;
  }
  std::vector<std::uint8_t>& Data() { return FData; }

private:
  std::vector<std::uint8_t> FData;
  std::uint32_t FLength;
};

} // namespace sondrix
