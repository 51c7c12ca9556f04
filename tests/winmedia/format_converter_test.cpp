#include "winmedia/au_format_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
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

  // Reports the length of all segments as Size, like a file source.
  bool Sized = false;
  // Each read asked of it: the segment playing when asked, and the bytes.
  std::vector<std::pair<std::size_t, std::uint32_t>> Asks;

protected:
  std::uint32_t GetBitsPerSample() override { return current().format.BitsPerSample; }
  std::uint32_t GetChannels() override { return current().format.Channels; }
  std::uint32_t GetSampleRate() override { return current().format.SampleRate; }
  void DoInit() override {
    FIndex = 0;
    render();
    Busy = true;
    FSize = -1;
    if (Sized) {
      FSize = 0;
      for (const Segment& seg : FSegments)
        FSize += static_cast<std::int64_t>(seg.seconds * seg.format.SampleRate) *
                 seg.format.Channels * (seg.format.BitsPerSample / 8);
    }
  }
  void DoFlush() override { Busy = false; }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override {
    Asks.emplace_back(FIndex, Bytes);
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

// What reading a run of the two segments raises; empty when it plays through.
std::string readError(const Segment& first, const Segment& second) {
  auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{first, second}, 1000);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  try {
    readAll(*conv);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(FormatConverter, UnsupportedFormatFailsTheReadNamingTheFault) {
  const Segment first{{44100, 2, 16}, 440, 0.1};
  EXPECT_EQ(readError(first, {{44100, 65, 16}, 440, 0.1}),
            "Unsupported PCM format: 44100 Hz, 65 channels, 16 bits");
  EXPECT_EQ(readError(first, {{1, 2, 16}, 440, 4000}),
            "Unplayable sample rate: 1 Hz (below 1000 Hz)");
  EXPECT_EQ(readError(first, {{999, 1, 16}, 440, 1}),
            "Unplayable sample rate: 999 Hz (below 1000 Hz)");
  EXPECT_EQ(readError(first, {{1000, 1, 16}, 440, 1}), "");
}

TEST(FormatConverter, TheRunsFormatIsAtMostStereoAtAnEncoderRateAtOrBelowTheFirstFiles) {
  const struct {
    PcmFormat first;
    std::uint32_t rate, channels;
  } rows[] = {
      {{44100, 6, 16}, 44100, 2}, {{48000, 8, 24}, 48000, 2},  {{44100, 10, 16}, 44100, 2},
      {{96000, 2, 16}, 48000, 2}, {{192000, 1, 24}, 48000, 1}, {{22050, 1, 16}, 22050, 1},
      {{12000, 2, 16}, 11025, 2}, {{47999, 2, 16}, 44100, 2},  {{2000, 2, 16}, 8000, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.first.SampleRate) + " Hz, " +
                 std::to_string(row.first.Channels) + " channels");
    auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{{row.first, 440, 0.5}}, 999);
    src->Sized = true;
    auto conv = MakeComponent<TAuFormatConverter>();
    conv->SetInput(src.get());
    conv->Init();
    EXPECT_EQ(conv->SampleRate(), row.rate);
    EXPECT_EQ(conv->Channels(), row.channels);
    EXPECT_EQ(conv->BitsPerSample(), 16u);
    const bool converts = !(row.first == PcmFormat{row.rate, row.channels, 16});
    EXPECT_EQ(conv->Size(), converts ? -1 : src->Size())
        << "the input's size is the converted one only when nothing is converted";
    std::vector<std::int16_t> pcm;
    ASSERT_NO_THROW(pcm = readAll(*conv));
    EXPECT_NEAR(double(pcm.size()) / row.channels / row.rate, 0.5, 0.01);
  }
}

TEST(FormatConverter, AnInputThatNeedsNoConversionKeepsItsSize) {
  auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{{{48000, 2, 16}, 440, 0.5}}, 999);
  src->Sized = true;
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  EXPECT_EQ(conv->Size(), 48000 * 2);
  EXPECT_EQ(readAll(*conv).size(), 48000u);
}

TEST(FormatConverter, LaterFilesOfAnyLayoutAndRateAreMixedIntoTheRunsFormat) {
  auto src = MakeComponent<SwitchingSource>(std::vector<Segment>{{{44100, 2, 16}, 440, 1.0},
                                                                 {{48000, 10, 16}, 880, 1.0},
                                                                 {{96000, 6, 24}, 1320, 1.0},
                                                                 {{8000, 8, 16}, 660, 1.0},
                                                                 {{192000, 1, 16}, 550, 1.0}},
                                            1001);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  std::vector<std::int16_t> pcm;
  ASSERT_NO_THROW(pcm = readAll(*conv));
  EXPECT_NEAR(double(pcm.size()) / 2 / 44100, 5.0, 0.01);
  const double tones[] = {440, 880, 1320, 660, 550};
  for (int i = 0; i < 5; ++i)
    EXPECT_NEAR(frequencyOf(pcm, i + 0.2, i + 0.8, 44100), tones[i], 5) << "file " << i + 1;
  // Ten channels folded onto two are still heard on both sides.
  EXPECT_GT(rmsOf(pcm, 1.2, 1.8, 44100, 0), 3000);
  EXPECT_GT(rmsOf(pcm, 1.2, 1.8, 44100, 1), 3000);
}

TEST(FormatConverter, ALowRateFileIsReadInBlocksThatStaySmallOnceConverted) {
  // 1 kHz mono grows 88-fold into 44.1 kHz stereo: a 4 KB read would become 360 KB.
  auto src = MakeComponent<SwitchingSource>(
      std::vector<Segment>{{{44100, 2, 16}, 440, 0.2}, {{1000, 1, 16}, 100, 10.0}}, 1 << 20);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  conv->Init();
  const auto pcm = readAll(*conv);
  EXPECT_NEAR(double(pcm.size()) / 2 / 44100, 10.2, 0.01);
  // The read that switches files is sized for the file before, and counts as its read.
  std::uint32_t first = 0, low = 0;
  for (const auto& [segment, bytes] : src->Asks) {
    std::uint32_t& largest = segment == 0 ? first : low;
    largest = std::max(largest, bytes);
  }
  EXPECT_GE(first, 3528u) << "a file in the run's format is read in whole blocks";
  EXPECT_GT(low, 0u);
  EXPECT_LE(low, 4096u / 88 + 2);
}

} // namespace
} // namespace sondrix
