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

// One MPEG-1 layer III frame (128 kbit/s, 44.1 kHz) with an info header at tagOffset.
std::vector<std::uint8_t> mpegFrame(const char* tag, std::size_t tagOffset, bool mono = false) {
  std::vector<std::uint8_t> f(417, 0);
  f[0] = 0xFF;
  f[1] = 0xFB; // no CRC
  f[2] = 0x90;
  f[3] = mono ? 0xC0 : 0x00;
  if (tag != nullptr) {
    std::memcpy(&f[tagOffset], tag, 4);
    f[tagOffset + 7] = 0x01; // frame count given
    f[tagOffset + 8 + 2] = 0x01;
    f[tagOffset + 8 + 3] = 0x00; // 256 frames
    std::memcpy(&f[tagOffset + 12], "LAME3.100", 9);
    // delay 576, padding 1080
    f[tagOffset + 12 + 21] = 576 >> 4;
    f[tagOffset + 12 + 22] = static_cast<std::uint8_t>(((576 & 0xF) << 4) | (1080 >> 8));
    f[tagOffset + 12 + 23] = 1080 & 0xFF;
  }
  return f;
}

Mp3InfoHeader sniff(const std::vector<std::uint8_t>& bytes) {
  return readMp3InfoHeader([&](std::uint64_t off, std::uint8_t* buf, std::size_t n) {
    if (off >= bytes.size())
      return std::size_t{0};
    const std::size_t k = std::min<std::size_t>(n, bytes.size() - off);
    std::memcpy(buf, bytes.data() + off, k);
    return k;
  });
}

TEST(ReaderFormats, Mp3InfoHeaderGivesVbrFlagAndPlayedLength) {
  const Mp3InfoHeader xing = sniff(mpegFrame("Xing", 36));
  EXPECT_TRUE(xing.present);
  EXPECT_TRUE(xing.vbr);
  EXPECT_EQ(xing.sampleRate, 44100u);
  EXPECT_EQ(xing.samplesPerFrame, 1152u);
  EXPECT_EQ(xing.frames, 256u);
  EXPECT_EQ(xing.delay, 576u);
  EXPECT_EQ(xing.padding, 1080u);
  EXPECT_EQ(xing.playedSamples(), 256u * 1152 - 576 - 1080);

  const Mp3InfoHeader info = sniff(mpegFrame("Info", 36));
  EXPECT_TRUE(info.present);
  EXPECT_FALSE(info.vbr);
  EXPECT_EQ(info.frames, 256u);

  EXPECT_TRUE(sniff(mpegFrame("VBRI", 36)).vbr);
  // The header sits after the side information, which depends on the channel mode.
  EXPECT_FALSE(sniff(mpegFrame("Xing", 36, true)).present);
  EXPECT_TRUE(sniff(mpegFrame("Xing", 21, true)).vbr);
  EXPECT_FALSE(sniff(mpegFrame(nullptr, 0)).present);
  EXPECT_EQ(sniff(mpegFrame(nullptr, 0)).playedSamples(), 0u);
}

TEST(ReaderFormats, Mp3InfoHeaderIsFoundAfterId3v2Tags) {
  // A tag of 300 bytes (syncsafe size), with a frame sync look-alike inside it.
  std::vector<std::uint8_t> tagged{'I', 'D', '3', 4, 0, 0, 0, 0, 2, 44};
  std::vector<std::uint8_t> body(300, 0);
  body[10] = 0xFF;
  body[11] = 0xFB;
  body[12] = 0x90;
  tagged.insert(tagged.end(), body.begin(), body.end());
  const auto frame = mpegFrame("Xing", 36);
  tagged.insert(tagged.end(), frame.begin(), frame.end());
  EXPECT_TRUE(sniff(tagged).vbr);
  EXPECT_EQ(sniff(tagged).frames, 256u);

  EXPECT_FALSE(sniff({}).present);
  EXPECT_FALSE(sniff({'I', 'D', '3', 4, 0, 0, 0x80, 0, 0, 0}).present); // not syncsafe
}

} // namespace
} // namespace sondrix
