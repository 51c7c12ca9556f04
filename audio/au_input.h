#pragma once

#include "base/component.h"
#include "base/critical_section.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace sondrix {

// A source of interleaved little-endian PCM, pulled block by block:
// Init, then GetData until it answers 0 bytes (final until the next Init), then Flush.
// Reading calls run on whatever thread calls them (the output's worker in the station) and
// hold DataCS; locks are always taken from the consumer end of a chain towards the file end.
class TAuInput : public TComponent {
public:
  explicit TAuInput(TComponent* AOwner = nullptr);
  ~TAuInput() override;

  std::uint32_t BitsPerSample() { return GetBitsPerSample(); }
  std::uint32_t Channels() { return GetChannels(); }
  std::uint32_t SampleRate() { return GetSampleRate(); }
  // Whole seconds; 0 when unknown.
  std::uint32_t TotalTime() { return GetTotalTime(); }
  std::int64_t TotalSamples() { return GetTotalSamples(); }
  bool IsBusy() const { return Busy; }
  // Bytes delivered since the last Init.
  std::int64_t Position() const { return FPosition; }
  // Bytes the source will deliver: -1 unknown, 0 no limit set; only a value above 0 limits.
  std::int64_t Size() const { return FSize; }
  bool Seekable() const { return FSeekable; }
  bool RequestFloat() const { return FFloatRequested; }
  void SetRequestFloat(bool value) { SetRequestFloatValue(value); }

  // Makes the source ready for reading. Any failure of DoInit surfaces as EAuException with
  // the same text, and the source then delivers nothing.
  void Init();
  void Flush();
  // On entry Bytes is the most the caller takes; on return Buffer points at Bytes bytes owned
  // by the source, valid until the next call on it. Bytes = 0 (Buffer nullptr) is the end.
  virtual void GetData(void*& Buffer, std::uint32_t& Bytes);
  // One GetData for at most BufferSize bytes copied into Buffer; 0 = end of data.
  std::int32_t CopyData(void* Buffer, std::int32_t BufferSize);
  // Fills the whole buffer unless the data ends; Eof is true when the last read gave nothing.
  std::uint32_t FillBuffer(void* Buffer, std::uint32_t BufferSize, bool& Eof);
  // The same fill under one hold of DataCS, calling DoGetData directly.
  std::uint32_t FillBufferUnprotected(void* Buffer, std::uint32_t BufferSize, bool& Eof);
  // Flush, ignoring its errors; the source is idle afterwards.
  virtual void Reset();

  void _Lock() { DataCS->Enter(); }
  void _Unlock() { DataCS->Leave(); }
  // The lock behind _Lock/_Unlock, for a scoped guard.
  TCriticalSection& DataLock() { return *DataCS; }
  // The item of a list that the block last returned by GetData belongs to: a list source counts
  // the items it opens, so a new value marks the first block of the next item. A source of one
  // item answers 0. Asked on the reading thread, right after GetData.
  virtual std::uint64_t ItemSerial() { return 0; }

  virtual void _Pause() {}
  virtual void _Resume() {}
  // Relative jump by Offs thousandths of the whole length.
  virtual void _Jump(std::int32_t Offs) { (void)Offs; }

protected:
  virtual std::uint32_t GetBitsPerSample() = 0;
  virtual std::uint32_t GetChannels() = 0;
  virtual std::uint32_t GetSampleRate() = 0;
  virtual std::uint32_t GetTotalTime() { return 0; }
  virtual std::int64_t GetTotalSamples() { return 0; }
  // Open the source and set Busy.
  virtual void DoInit() = 0;
  // Close the source and clear Busy.
  virtual void DoFlush() = 0;
  virtual void DoGetData(void*& Buffer, std::uint32_t& Bytes) = 0;
  virtual void SetRequestFloatValue(bool value) { FFloatRequested = value; }

  // Written under DataCS by the reading path, read without a lock by status queries.
  std::atomic<std::int64_t> FPosition{0};
  std::atomic<std::int64_t> FSize{0};
  std::uint16_t FSampleSize = 0;
  std::atomic<bool> FSeekable{false};
  std::atomic<bool> Busy{false};
  std::uint32_t BufStart = 0;
  std::uint32_t BufEnd = 0;
  std::unique_ptr<TCriticalSection> DataCS;
  std::atomic<bool> _EndOfStream{false};
  std::atomic<bool> FFloatRequested{false};
};

} // namespace sondrix
