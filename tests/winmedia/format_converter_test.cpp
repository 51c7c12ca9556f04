#include "winmedia/au_format_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>

namespace sondrix {
namespace {

struct Segment {
  PcmFormat format;
  double frequency;
  double seconds;
};

// Plays tone segments one after another, each in its own format, handing out blocks of
// `chunk` bytes (not a multiple of the frame size) that never mix two segments, like a
// playlist switching files inside a read.
class SwitchingSource : public TAuConverter {
public:
  SwitchingSource(std::vector<Segment> segments, std::uint32_t chunk)
      : FSegments(std::move(segments)), FChunk(chunk) {}

protected:
  std::uint32_t GetBitsPerSample() override { return current().format.BitsPerSample; }
  std::uint32_t GetChannels() override { return current().format.Channels; }
  std::uint32_t GetSampleRate() override { return current().format.SampleRate; }
  void DoInit() override {
    FIndex = 0;
    render();
    Busy = true;
    FSize = -1;
  }
  void DoFlush() override { Busy = false; }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    if (FOffset == FData.size()) {
      if (FIndex + 1 >= FSegments.size()) {
        Buffer = nullptr;
        Bytes = 0;
        return;
      }
      ++FIndex;
      render();
    }
    const std::size_t n = std::min<std::size_t>({Bytes, FChunk, FData.size() - FOffset});
    Buffer = FData.data() + FOffset;
    Bytes = static_cast<std::uint32_t>(n);
    FOffset += n;
  }

private:
  const Segment& current() { return FSegments[std::min(FIndex, FSegments.size() - 1)]; }
  void render() {
    const Segment& s = FSegments[FIndex];
    const auto frames = static_cast<std::size_t>(s.seconds * s.format.SampleRate);
    const std::uint32_t bytes = s.format.BitsPerSample / 8;
    FData.assign(frames * s.format.Channels * bytes, 0);
    std::size_t at = 0;
    for (std::size_t i = 0; i < frames; ++i) {
      const double v =
          0.5 * std::sin(2 * std::numbers::pi * s.frequency * double(i) / s.format.SampleRate);
      const auto sample = static_cast<std::int32_t>(std::lround(v * 8388607.0)); // 24-bit scale
      for (std::uint32_t c = 0; c < s.format.Channels; ++c) {
        if (bytes == 2) {
          const auto s16 = static_cast<std::int16_t>(sample >> 8);
          std::memcpy(&FData[at], &s16, 2);
        } else {
          FData[at] = static_cast<std::uint8_t>(sample);
          FData[at + 1] = static_cast<std::uint8_t>(sample >> 8);
          FData[at + 2] = static_cast<std::uint8_t>(sample >> 16);
        }
        at += bytes;
      }
    }
    FOffset = 0;
  }

  std::vector<Segment> FSegments;
  std::uint32_t FChunk;
  std::size_t FIndex = 0;
  std::vector<std::uint8_t> FData;
  std::size_t FOffset = 0;
};

std::vector<std::int16_t> readAll(TAuInput& in) {
  std::vector<std::int16_t> out;
  std::vector<std::uint8_t> block(3528); // 20 ms of 44.1 kHz stereo
  bool eof = false;
  while (!eof) {
    const std::uint32_t n =
        in.FillBuffer(block.data(), static_cast<std::uint32_t>(block.size()), eof);
    const std::size_t at = out.size();
    out.resize(at + n / 2);
    std::memcpy(out.data() + at, block.data(), n - n % 2);
  }
  return out;
}

// Dominant frequency of the left channel in [from, to) seconds, from its zero crossings.
double frequencyOf(const std::vector<std::int16_t>& stereo, double from, double to, int rate) {
  const auto a = static_cast<std::size_t>(from * rate), b = static_cast<std::size_t>(to * rate);
  int crossings = 0;
  for (std::size_t i = a + 1; i < b; ++i)
    if ((stereo[2 * (i - 1)] < 0) != (stereo[2 * i] < 0))
      ++crossings;
  return crossings / 2.0 / (to - from);
}

double rmsOf(const std::vector<std::int16_t>& stereo, double from, double to, int rate,
             int channel) {
  const auto a = static_cast<std::size_t>(from * rate), b = static_cast<std::size_t>(to * rate);
  double sum = 0;
  for (std::size_t i = a; i < b; ++i)
    sum += double(stereo[2 * i + channel]) * stereo[2 * i + channel];
  return std::sqrt(sum / double(b - a));
}

TEST(FormatConverter, MixedFormatsAreHeardAtTheirOwnSpeedAndPitch) {
  auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{{{44100, 2, 16}, 440, 2.0},
                                                                 {{22050, 1, 16}, 880, 2.0},
                                                                 {{48000, 2, 16}, 1320, 2.0}},
                                            999);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  EXPECT_EQ(conv->SampleRate(), 44100u);
  EXPECT_EQ(conv->Channels(), 2u);
  EXPECT_EQ(conv->BitsPerSample(), 16u);
  const auto pcm = readAll(*conv);
  conv->Flush();

  const double seconds = double(pcm.size()) / 2 / 44100;
  EXPECT_NEAR(seconds, 6.0, 0.01);
  EXPECT_NEAR(frequencyOf(pcm, 0.2, 1.8, 44100), 440, 5);
  EXPECT_NEAR(frequencyOf(pcm, 2.2, 3.8, 44100), 880, 5);
  EXPECT_NEAR(frequencyOf(pcm, 4.2, 5.8, 44100), 1320, 5);
  // The mono file is on both sides at its own level (0.5 of full scale: RMS about 11585).
  EXPECT_NEAR(rmsOf(pcm, 2.2, 3.8, 44100, 0), 11585, 300);
  EXPECT_NEAR(rmsOf(pcm, 2.2, 3.8, 44100, 1), 11585, 300);
  EXPECT_NEAR(rmsOf(pcm, 4.2, 5.8, 44100, 1), 11585, 300);
}

TEST(FormatConverter, DeepSourceIsNarrowedTo16BitsWithoutChangingTheSound) {
  auto src =
      MakeComponent<SwitchingSource>(std::vector<Segment>{{{44100, 2, 24}, 1000, 1.0}}, 1001);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  const auto pcm = readAll(*conv);
  EXPECT_EQ(pcm.size(), 2u * 44100u);
  EXPECT_NEAR(frequencyOf(pcm, 0.1, 0.9, 44100), 1000, 3);
  EXPECT_NEAR(rmsOf(pcm, 0.1, 0.9, 44100, 0), 11585, 100);
}

TEST(FormatConverter, SameFormatPassesThroughByteForByteAndKeepsTheEndFinal) {
  auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{{{44100, 2, 16}, 440, 0.5}}, 777);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  const auto pcm = readAll(*conv);
  ASSERT_EQ(pcm.size(), 2u * 22050u);
  void* p = nullptr;
  std::uint32_t n = 100;
  conv->GetData(p, n);
  EXPECT_EQ(n, 0u);
  // Read again through a fresh run: the same samples.
  conv->Flush();
  conv->Init();
  EXPECT_EQ(readAll(*conv), pcm);
}

TEST(FormatConverter, UnsupportedFormatFailsTheRead) {
  auto src = MakeComponent<SwitchingSource>(
      std::vector<Segment>{{{44100, 2, 16}, 440, 0.1}, {{44100, 9, 16}, 440, 0.1}}, 1000);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  EXPECT_THROW(readAll(*conv), std::runtime_error);
}

} // namespace
} // namespace sondrix
