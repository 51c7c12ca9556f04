#include "winmedia/runtime/reader_formats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace sondrix {
namespace {

struct F {
  std::uint32_t ch, rate, bits;
  friend bool operator==(const F&, const F&) = default;
};

std::vector<F> list(const ReaderSourceAudio& s, bool discrete, std::uint32_t speakers = 0) {
  std::vector<F> out;
  for (const WAVEFORMATEX& w : readerOutputFormats(s, discrete, speakers)) {
    EXPECT_EQ(w.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(w.nBlockAlign, w.nChannels * w.wBitsPerSample / 8);
    EXPECT_EQ(w.nAvgBytesPerSec, w.nBlockAlign * w.nSamplesPerSec);
    out.push_back({w.nChannels, w.nSamplesPerSec, w.wBitsPerSample});
  }
  return out;
}

TEST(ReaderFormats, LossyStereoOffersNativeFirstThenDownmixesAndLowerRates) {
  const auto f = list({2, 44100, true, 16}, false);
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.front(), (F{2, 44100, 16}));
  EXPECT_EQ(f[1], (F{2, 44100, 8}));
  for (const F& x : f) {
    EXPECT_LE(x.ch, 2u);
    EXPECT_LE(x.rate, 44100u);
    EXPECT_TRUE(x.bits == 16 || x.bits == 8);
  }
  EXPECT_NE(std::find(f.begin(), f.end(), F{1, 22050, 16}), f.end());
  EXPECT_NE(std::find(f.begin(), f.end(), F{1, 11025, 8}), f.end());
  // Discrete output changes nothing for a lossy stereo source.
  EXPECT_EQ(list({2, 44100, true, 16}, true), f);
}

TEST(ReaderFormats, DeepSourcesGive24BitOnlyWithDiscreteOutput) {
  const auto plain = list({2, 96000, false, 24}, false);
  EXPECT_EQ(plain.front(), (F{2, 96000, 16}));
  for (const F& x : plain)
    EXPECT_NE(x.bits, 24u);
  const auto discrete = list({2, 96000, false, 24}, true);
  EXPECT_EQ(discrete.front(), (F{2, 96000, 24}));
  EXPECT_EQ(discrete[1], (F{2, 96000, 16}));
  // A lossy source never goes above 16 bits.
  for (const F& x : list({2, 48000, true, 32}, true))
    EXPECT_LE(x.bits, 16u);
  // Nor does a 16-bit lossless one.
  for (const F& x : list({2, 48000, false, 16}, true))
    EXPECT_LE(x.bits, 16u);
}

TEST(ReaderFormats, MultichannelFoldsToStereoUnlessDiscrete) {
  EXPECT_EQ(list({6, 48000, true, 16}, false).front(), (F{2, 48000, 16}));
  const auto discrete = list({6, 48000, true, 16}, true);
  EXPECT_EQ(discrete.front(), (F{6, 48000, 16}));
  EXPECT_NE(std::find(discrete.begin(), discrete.end(), F{2, 48000, 16}), discrete.end());
  EXPECT_NE(std::find(discrete.begin(), discrete.end(), F{1, 48000, 16}), discrete.end());
  // A speaker count caps the channels of a discrete output.
  EXPECT_EQ(list({8, 48000, true, 16}, true, 6).front(), (F{6, 48000, 16}));
  EXPECT_EQ(list({2, 48000, true, 16}, true, 6).front(), (F{2, 48000, 16}));
}

TEST(ReaderFormats, MonoAndLowRatesStayWithinTheSource) {
  const auto f = list({1, 22050, true, 16}, false);
  EXPECT_EQ(f, (std::vector<F>{{1, 22050, 16}, {1, 22050, 8}, {1, 11025, 16}, {1, 11025, 8}}));
  EXPECT_EQ(list({1, 8000, true, 16}, false).size(), 2u);
  EXPECT_TRUE(list({0, 44100, true, 16}, false).empty());
  EXPECT_TRUE(list({2, 0, true, 16}, false).empty());
}

std::vector<std::uint8_t> mpegFrame(const char* tag, std::size_t tagOffset) {
  std::vector<std::uint8_t> f(417, 0);
  f[0] = 0xFF;
  f[1] = 0xFB; // MPEG-1 layer III, no CRC
  f[2] = 0x90; // 128 kbit/s, 44.1 kHz
  f[3] = 0x00;
  if (tag != nullptr)
    std::memcpy(&f[tagOffset], tag, 4);
  return f;
}

bool sniff(const std::vector<std::uint8_t>& bytes) {
  return mp3HasVbrHeader([&](std::uint64_t off, std::uint8_t* buf, std::size_t n) {
    if (off >= bytes.size())
      return std::size_t{0};
    const std::size_t k = std::min<std::size_t>(n, bytes.size() - off);
    std::memcpy(buf, bytes.data() + off, k);
    return k;
  });
}

TEST(ReaderFormats, VbrHeaderIsFoundAfterId3v2Tags) {
  EXPECT_TRUE(sniff(mpegFrame("Xing", 36)));
  EXPECT_TRUE(sniff(mpegFrame("VBRI", 36)));
  EXPECT_FALSE(sniff(mpegFrame("Info", 36)));
  EXPECT_FALSE(sniff(mpegFrame(nullptr, 0)));

  // A tag of 300 bytes (syncsafe size), with a frame sync look-alike inside it.
  std::vector<std::uint8_t> tagged{'I', 'D', '3', 4, 0, 0, 0, 0, 2, 44};
  std::vector<std::uint8_t> body(300, 0);
  body[10] = 0xFF;
  body[11] = 0xFB;
  body[12] = 0x90;
  tagged.insert(tagged.end(), body.begin(), body.end());
  const auto frame = mpegFrame("Xing", 21); // mono side information
  tagged.insert(tagged.end(), frame.begin(), frame.end());
  EXPECT_TRUE(sniff(tagged));

  EXPECT_FALSE(sniff({}));
  EXPECT_FALSE(sniff({'I', 'D', '3', 4, 0, 0, 0x80, 0, 0, 0})); // not syncsafe
}

} // namespace
} // namespace sondrix
