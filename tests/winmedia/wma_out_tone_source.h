#pragma once

// Test doubles for the Windows Media outputs: a synthetic sine source that can switch format
// between segments, and helpers to wait for a run's events on the main thread.

#include "audio/au_converter.h"
#include "audio/au_output.h"
#include "base/main_thread_dispatcher.h"
#include "tests/audio/test_doubles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace sondrix::wmout_test {

struct ToneSegment {
  std::uint32_t sampleRate = 44100;
  std::uint32_t channels = 2;
  double frequency = 1000.0;
  double seconds = 1.0; // below 0: endless
};

// 16-bit sine segments played one after another, each in its own format, handed out in
// chunks of `chunk` bytes (deliberately not a multiple of the frame size) that never mix two
// segments, as a playlist switching files inside a read would.
class ToneSource : public TAuConverter {
public:
  explicit ToneSource(std::vector<ToneSegment> segments, std::uint32_t chunk = 1001)
      : FSegments(std::move(segments)), FChunk(chunk) {}

  std::atomic<std::int64_t> BytesDelivered{0};
  std::atomic<int> Inits{0};
  std::atomic<int> Flushes{0};
  std::string FlushError; // thrown by DoFlush when set

protected:
  std::uint32_t GetBitsPerSample() override { return 16; }
  std::uint32_t GetChannels() override { return current().channels; }
  std::uint32_t GetSampleRate() override { return current().sampleRate; }
  void DoInit() override {
    ++Inits;
    FIndex = 0;
    FFrame = 0;
    FData.clear();
    FOffset = 0;
    FPosition = 0;
    BytesDelivered = 0;
    const ToneSegment& only = FSegments.front();
    FSize = FSegments.size() == 1 && only.seconds >= 0 ? framesOf(only) * only.channels * 2 : -1;
    Busy = true;
  }
  void DoFlush() override {
    ++Flushes;
    Busy = false;
    if (!FlushError.empty())
      throw std::runtime_error(FlushError);
  }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    if (FOffset == FData.size() && !render()) {
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    const std::size_t n = std::min<std::size_t>({Bytes, FChunk, FData.size() - FOffset});
    Buffer = FData.data() + FOffset;
    Bytes = static_cast<std::uint32_t>(n);
    FOffset += n;
    BytesDelivered += Bytes;
  }

private:
  static std::int64_t framesOf(const ToneSegment& s) {
    return static_cast<std::int64_t>(std::llround(s.seconds * s.sampleRate));
  }
  const ToneSegment& current() const { return FSegments[std::min(FIndex, FSegments.size() - 1)]; }

  // The next stretch of the current segment, moving on to the next segment at its end; false
  // when the last one has ended.
  bool render() {
    const ToneSegment* s = &current();
    while (s->seconds >= 0 && FFrame >= framesOf(*s)) {
      if (FIndex + 1 >= FSegments.size())
        return false;
      ++FIndex;
      FFrame = 0;
      s = &current();
    }
    std::int64_t frames = 4096;
    if (s->seconds >= 0)
      frames = std::min(frames, framesOf(*s) - FFrame);
    FData.resize(static_cast<std::size_t>(frames) * s->channels * 2);
    std::size_t at = 0;
    for (std::int64_t i = 0; i < frames; ++i, ++FFrame) {
      const double v = 0.5 * std::sin(2 * std::numbers::pi * s->frequency *
                                      static_cast<double>(FFrame) / s->sampleRate);
      const auto sample = static_cast<std::int16_t>(std::lround(v * 32767.0));
      for (std::uint32_t c = 0; c < s->channels; ++c, at += 2)
        std::memcpy(&FData[at], &sample, 2);
    }
    FOffset = 0;
    return true;
  }

  std::vector<ToneSegment> FSegments;
  std::uint32_t FChunk;
  std::size_t FIndex = 0;
  std::int64_t FFrame = 0;
  std::vector<std::uint8_t> FData;
  std::size_t FOffset = 0;
};

using sondrix::testing::pumpUntil;

// What a run told the main thread, in order ("exception:<text>", "done", and any the test
// adds), with whether each arrived on the main thread.
class RunLog {
public:
  void add(const std::string& entry) {
    std::lock_guard lock(FLock);
    FEntries.push_back(entry);
    FOnMain.push_back(isMainThread());
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(FLock);
    return FEntries;
  }
  int count(const std::string& entry) const {
    std::lock_guard lock(FLock);
    return static_cast<int>(std::count(FEntries.begin(), FEntries.end(), entry));
  }
  bool allOnMain() const {
    std::lock_guard lock(FLock);
    return std::all_of(FOnMain.begin(), FOnMain.end(), [](bool b) { return b; });
  }
  // Logs the done and thread-exception events of out.
  void watch(TAuOutput& out) {
    out.OnDone = [this](TComponent*) { add("done"); };
    out.OnThreadException = [this, &out](TComponent*) {
      add("exception:" + out.ExceptionMessage());
    };
  }

private:
  mutable std::mutex FLock;
  std::vector<std::string> FEntries;
  std::vector<bool> FOnMain;
};

} // namespace sondrix::wmout_test
