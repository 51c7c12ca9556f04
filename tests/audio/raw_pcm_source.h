#pragma once

#include "audio/au_exception.h"
#include "audio/au_tagged_file_in.h"
#include "base/text.h"
#include "tags/common_tags.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sondrix::testing {

// A trivial file format for tests: "SRAW", rate (u32), channels (u16), bits (u16), then PCM.
constexpr std::int64_t kRawHeaderBytes = 12;

// Writes `frames` stereo 16-bit frames at 1000 Hz; frame i holds the 32-bit little-endian value
// (fileId << 24) | i, so every frame tells which file and which frame it is.
inline void writeRawPcm(const std::filesystem::path& path, std::uint32_t frames,
                        std::uint8_t fileId = 0, std::uint32_t rate = 1000) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  const std::uint16_t channels = 2, bits = 16;
  f.write("SRAW", 4);
  f.write(reinterpret_cast<const char*>(&rate), 4);
  f.write(reinterpret_cast<const char*>(&channels), 2);
  f.write(reinterpret_cast<const char*>(&bits), 2);
  std::vector<std::uint32_t> data(frames);
  for (std::uint32_t i = 0; i < frames; ++i)
    data[i] = (std::uint32_t{fileId} << 24) | i;
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(frames * 4));
}

inline std::uint32_t frameAt(const std::vector<std::uint8_t>& bytes, std::size_t frame) {
  std::uint32_t v = 0;
  std::memcpy(&v, bytes.data() + frame * 4, 4);
  return v;
}

// The concrete source the tests drive the file-input bases with.
class RawPcmIn : public TAuTaggedFileIn {
public:
  using TAuTaggedFileIn::TAuTaggedFileIn;

  // Largest read handed out, in bytes (rounded down to whole frames).
  std::uint32_t MaxChunk = 1000;
  bool CanSeek = true;
  bool FailSeek = false;
  std::atomic<int> Opens{0}, Closes{0}, Reads{0};

  bool IsOpen() const { return FOpened > 0; }
  bool OwnsStream() const { return FOwnedStream != nullptr; }

protected:
  void OpenSource() override {
    CriticalSectionGuard lock(*OpenCS);
    if (FOpened > 0)
      return;
    if (!hasSourceName())
      throw EAuException("File name is not assigned");
    if (!FStreamAssigned)
      OpenOwnStream();
    char magic[4] = {};
    std::uint32_t rate = 0;
    std::uint16_t channels = 0, bits = 0;
    FStream->Seek(0, TSeekOrigin::soBeginning);
    const bool header = FStream->Read(magic, 4) == 4 && FStream->Read(&rate, 4) == 4 &&
                        FStream->Read(&channels, 2) == 2 && FStream->Read(&bits, 2) == 2;
    FValid = header && std::memcmp(magic, "SRAW", 4) == 0;
    if (FValid) {
      FSR = rate;
      FChan = channels;
      FBPS = bits;
      FFrame = channels * bits / 8;
      FFrames = std::max<std::int64_t>(0, FStream->Size() - kRawHeaderBytes) / FFrame;
      FSize = FFrames * FFrame;
      FTotalSamples = FFrames;
      const std::string name = toNarrow(FWideFileName);
      FCommonTags->SetTitle(toWide(std::filesystem::path(name).stem().string()));
    } else {
      FSR = FChan = FBPS = 0;
      FSize = 0;
      FTotalSamples = 0;
    }
    FSeekable = CanSeek;
    ++FOpened;
    ++Opens;
  }

  void CloseSource() override {
    CriticalSectionGuard lock(*OpenCS);
    if (FOpened <= 0)
      return;
    FOpened = 0;
    ++Closes;
    ReleaseStream();
  }

  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    ++Reads;
    // Like the real decoder: asked for nothing, it gives nothing.
    if (FOpened <= 0 || !FValid || FStream == nullptr || Bytes == 0) {
      Buffer = nullptr;
      Bytes = 0;
      return;
    }
    std::uint32_t n = std::min(Bytes, MaxChunk);
    n -= n % FFrame;
    if (n == 0)
      n = FFrame;
    FBuf.resize(n);
    const auto got = static_cast<std::uint32_t>(FStream->Read(FBuf.data(), n));
    Bytes = got - got % FFrame;
    Buffer = Bytes ? FBuf.data() : nullptr;
  }

  bool DoSeek(std::int64_t& SampleNum) override {
    if (FailSeek)
      throw std::runtime_error("decoder cannot seek");
    SampleNum = std::clamp<std::int64_t>(SampleNum, 0, FFrames);
    FStream->Seek(kRawHeaderBytes + SampleNum * FFrame, TSeekOrigin::soBeginning);
    return true;
  }

private:
  std::uint32_t FFrame = 4;
  std::int64_t FFrames = 0;
  std::vector<std::uint8_t> FBuf;
};

// A fresh directory for one test, removed afterwards.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sondrix-audio-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::filesystem::path operator/(const std::string& name) const { return FPath / name; }

private:
  std::filesystem::path FPath;
};

// Reads a source until its end (or `limit` bytes), in requests of `ask` bytes.
inline std::vector<std::uint8_t> drainSource(TAuInput& in, std::uint32_t ask = 256,
                                             std::size_t limit = 1u << 24) {
  std::vector<std::uint8_t> out;
  while (out.size() < limit) {
    void* p = nullptr;
    std::uint32_t n = ask;
    in.GetData(p, n);
    if (n == 0)
      break;
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + n);
  }
  return out;
}

} // namespace sondrix::testing
