#pragma once

#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/profile.h"
#include "winmedia/runtime/writer_sink.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sondrix {

// The writer: PCM in on its inputs, one ASF stream out to its sinks. One thread drives a
// writer (the output's worker); none of these calls may overlap.
//
// Order: SetProfile → (GetInputProps/SetInputProps) → SetAttribute... → BeginWriting →
// AllocateSample/WriteSample... → EndWriting. Sample times are 100-ns units.
class IWMWriter {
public:
  virtual ~IWMWriter() = default;
  // Makes one input per stream, each offering 16-bit PCM at the stream's rate and channels.
  // Only one-stream audio profiles are taken.
  virtual HRESULT SetProfile(const std::shared_ptr<IWMProfile>& pProfile) = 0;
  virtual HRESULT GetInputCount(std::uint32_t* pcInputs) = 0;
  // A copy of the input's current properties; change it and hand it back with SetInputProps.
  virtual HRESULT GetInputProps(std::uint32_t dwInputNum,
                                std::shared_ptr<IWMInputMediaProps>* ppInput) = 0;
  // Any interleaved PCM (integer 8/16/24/32-bit or 32-bit float, 1..8 channels); the writer
  // converts it to what the stream's format needs.
  virtual HRESULT SetInputProps(std::uint32_t dwInputNum,
                                const std::shared_ptr<IWMInputMediaProps>& pInput) = 0;
  virtual HRESULT BeginWriting() = 0;
  // Flushes the encoder, finishes the ASF stream and ends every sink's writing.
  virtual HRESULT EndWriting() = 0;
  virtual HRESULT AllocateSample(std::uint32_t dwSampleSize,
                                 std::shared_ptr<INSSBuffer>* ppSample) = 0;
  // The sample's bytes are taken before this returns. Towards a real-time sink the call
  // waits until the sample time is less than half a second ahead of real time.
  virtual HRESULT WriteSample(std::uint32_t dwInputNum, std::int64_t cnsSampleTime,
                              std::uint32_t dwFlags,
                              const std::shared_ptr<INSSBuffer>& pSample) = 0;
};

// Reached from an IWMWriter with std::dynamic_pointer_cast.
class IWMWriterAdvanced {
public:
  virtual ~IWMWriterAdvanced() = default;
  // Sinks can change only while not writing.
  virtual HRESULT AddSink(const std::shared_ptr<IWMWriterSink>& pSink) = 0;
  virtual HRESULT RemoveSink(const std::shared_ptr<IWMWriterSink>& pSink) = 0;
};

// The writer's header attributes (stream 0 only). Reached with std::dynamic_pointer_cast.
class IWMWriterHeaderInfo {
public:
  virtual ~IWMWriterHeaderInfo() = default;
  // WMT_TYPE_STRING values are UTF-16 code units, cbLength bytes, with or without a
  // terminating null. Only before BeginWriting.
  virtual HRESULT SetAttribute(std::uint16_t wStreamNum, const std::u16string& pszName,
                               WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                               std::uint16_t cbLength) = 0;
};

} // namespace sondrix
