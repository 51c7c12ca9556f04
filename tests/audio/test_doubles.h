#pragma once

#include "audio/au_converter.h"
#include "audio/au_exception.h"
#include "audio/au_output.h"
#include "base/main_thread_dispatcher.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sondrix::testing {

// Pumps the main thread's waiting calls until pred holds or the time is up.
inline bool pumpUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    mainThreadDispatcher().waitAndPump(std::chrono::milliseconds(2));
  }
  return true;
}

// A source of `total` bytes (byte i has value i % 251) handed out in chunks that cycle
// through `chunks`; counts its DoGetData calls. total < 0 means endless.
class MemorySource : public TAuConverter {
public:
  MemorySource(std::int64_t total, std::vector<std::uint32_t> chunks = {7, 1, 13})
      : FTotal(total), FChunks(std::move(chunks)) {}

  std::atomic<int> GetDataCalls{0};
  std::string InitError;
  std::uint32_t Bits = 16;
  // Gives this many bytes more than asked for on each read (an overshooting converter).
  std::uint32_t Overshoot = 0;

  void SetSizeLimit(std::int64_t size) { FSize = size; }

protected:
  std::uint32_t GetBitsPerSample() override { return Bits; }
  std::uint32_t GetChannels() override { return 2; }
  std::uint32_t GetSampleRate() override { return 1000; }
  void DoInit() override {
    if (!InitError.empty())
      throw std::runtime_error(InitError);
    Busy = true;
    FPosition = 0;
    FDelivered = 0;
    FNext = 0;
  }
  void DoFlush() override { Busy = false; }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    ++GetDataCalls;
    std::uint64_t n = std::min<std::uint64_t>(Bytes, FChunks[FNext++ % FChunks.size()]) + Overshoot;
    if (FTotal >= 0)
      n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(FTotal - FDelivered));
    FBuf.resize(n);
    for (std::uint64_t i = 0; i < n; ++i)
      FBuf[i] = static_cast<std::uint8_t>((FDelivered + static_cast<std::int64_t>(i)) % 251);
    FDelivered += static_cast<std::int64_t>(n);
    Buffer = n ? FBuf.data() : nullptr;
    Bytes = static_cast<std::uint32_t>(n);
  }

private:
  std::int64_t FTotal;
  std::vector<std::uint32_t> FChunks;
  std::size_t FNext = 0;
  std::int64_t FDelivered = 0;
  std::vector<std::uint8_t> FBuf;
};

// An output that records what its worker does.
class RecordingOutput : public TAuOutput {
public:
  using TAuOutput::TAuOutput;

  std::uint32_t BlockSize = 64;
  std::atomic<int> Starts{0}, Finishes{0}, Blocks{0}, AbortBlocks{0};
  std::atomic<int> FailAtBlock{-1};
  std::atomic<bool> FailStart{false};
  std::atomic<int> BlockDelayMs{0};
  std::mutex DataMutex;
  std::vector<std::uint8_t> Data;

protected:
  void StartOutput() override {
    ++Starts;
    if (FailStart)
      throw EAuException("start failed");
    FInput->Init();
    FBlock.assign(BlockSize, 0);
  }
  bool WriteBlock(bool Abort) override {
    if (Abort) {
      ++AbortBlocks;
      return false;
    }
    if (BlockDelayMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(BlockDelayMs));
    if (Blocks++ == FailAtBlock)
      throw EAuException("Windows Media output error");
    bool eof = false;
    const std::uint32_t n = FInput->FillBuffer(FBlock.data(), BlockSize, eof);
    {
      std::lock_guard lock(DataMutex);
      Data.insert(Data.end(), FBlock.begin(), FBlock.begin() + n);
    }
    return !eof;
  }
  void FinishOutput() override {
    ++Finishes;
    FInput->Flush();
  }

private:
  std::vector<std::uint8_t> FBlock;
};

} // namespace sondrix::testing
