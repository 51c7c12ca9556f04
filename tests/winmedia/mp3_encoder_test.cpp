#include "winmedia/runtime/mp3_encoder.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>

namespace sondrix {
namespace {

using namespace writer_test;

constexpr std::uint16_t kFloat = 3;

WAVEFORMATEX pcmFormat(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                       std::uint16_t tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEX wfx;
  wfx.wFormatTag = tag;
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = bits;
  wfx.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  wfx.nAvgBytesPerSec = rate * wfx.nBlockAlign;
  return wfx;
}

// A sine tone in the format's own sample layout, every channel the same.
std::vector<std::uint8_t> tone(const WAVEFORMATEX& wfx, double seconds, double frequency,
                               double amplitude) {
  if (wfx.wFormatTag != kFloat)
    return tonePcm(wfx.nSamplesPerSec, wfx.nChannels, wfx.wBitsPerSample, seconds, frequency,
                   amplitude);
  const auto frames = static_cast<std::size_t>(std::llround(seconds * wfx.nSamplesPerSec));
  std::vector<std::uint8_t> pcm(frames * wfx.nChannels * sizeof(float));
  for (std::size_t i = 0; i < frames; ++i) {
    const auto v =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                static_cast<double>(i) / wfx.nSamplesPerSec));
    for (std::uint16_t c = 0; c < wfx.nChannels; ++c)
      std::memcpy(&pcm[(i * wfx.nChannels + c) * sizeof(float)], &v, sizeof v);
  }
  return pcm;
}

struct FrameHeader {
  std::uint32_t bitrate = 0;
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  std::uint32_t samples = 0; // per frame
  std::size_t offset = 0;
  std::size_t size = 0;
};

// Splits bytes into MPEG audio layer III frames by their headers alone; fails (with why) if
// the bytes do not start at a frame or do not end at one.
::testing::AssertionResult parseFrames(const std::vector<std::uint8_t>& bytes,
                                       std::vector<FrameHeader>* frames) {
  static constexpr std::uint32_t kMpeg1[] = {0,   32,  40,  48,  56,  64,  80, 96,
                                             112, 128, 160, 192, 224, 256, 320};
  static constexpr std::uint32_t kMpeg2[] = {0,  8,  16, 24,  32,  40,  48, 56,
                                             64, 80, 96, 112, 128, 144, 160};
  static constexpr std::uint32_t kRates[] = {44100, 48000, 32000};
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4)
      return ::testing::AssertionFailure() << "a partial header at " << at;
    const std::uint8_t* h = &bytes[at];
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
      return ::testing::AssertionFailure() << "no frame sync at " << at;
    const int version = (h[1] >> 3) & 3; // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int layer = (h[1] >> 1) & 3;   // 1 layer III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
      return ::testing::AssertionFailure() << "a bad header at " << at;
    const bool mpeg1 = version == 3;
    FrameHeader f;
    f.bitrate = (mpeg1 ? kMpeg1 : kMpeg2)[bitrateIndex] * 1000;
    f.sampleRate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    f.channels = (h[3] >> 6) == 3 ? 1 : 2;
    f.samples = mpeg1 ? 1152 : 576;
    f.offset = at;
    f.size = (mpeg1 ? 144 : 72) * f.bitrate / f.sampleRate + ((h[2] >> 1) & 1);
    if (bytes.size() - at < f.size)
      return ::testing::AssertionFailure() << "a cut frame at " << at;
    frames->push_back(f);
    at += f.size;
  }
  return ::testing::AssertionSuccess();
}

// Feeds pcm in pieces of `piece` bytes; each Write's output must be whole frames by itself.
std::vector<std::uint8_t> encode(TMp3Encoder& encoder, const std::vector<std::uint8_t>& pcm,
                                 std::size_t piece, std::size_t* lagFrames = nullptr) {
  std::vector<std::uint8_t> all;
  std::vector<std::uint8_t> out;
  for (std::size_t at = 0; at < pcm.size(); at += piece) {
    out.clear();
    encoder.Write(pcm.data() + at, std::min(piece, pcm.size() - at), out);
    std::vector<FrameHeader> frames;
    EXPECT_TRUE(parseFrames(out, &frames)) << "after the write at " << at;
    all.insert(all.end(), out.begin(), out.end());
  }
  if (lagFrames != nullptr) {
    std::vector<FrameHeader> frames;
    EXPECT_TRUE(parseFrames(all, &frames));
    *lagFrames = frames.size();
  }
  out.clear();
  encoder.Finish(out);
  std::vector<FrameHeader> frames;
  EXPECT_TRUE(parseFrames(out, &frames)) << "from Finish";
  all.insert(all.end(), out.begin(), out.end());
  return all;
}

bool contains(const std::uint8_t* data, std::size_t size, const char* text) {
  const std::size_t n = std::strlen(text);
  for (std::size_t i = 0; i + n <= size; ++i)
    if (std::memcmp(data + i, text, n) == 0)
      return true;
  return false;
}

struct ToneCase {
  const char* name;
  WAVEFORMATEX input;
  std::uint32_t bitrate;       // as asked
  std::uint32_t expectRate;    // of the MP3
  std::uint32_t expectBitrate; // bits/s
};

// Every input layout, encoded, probed and decoded by the ffmpeg tools.
TEST(Mp3Encoder, TonesInEveryInputFormatDecodeAsTheTone) {
  const ToneCase cases[] = {
      {"44.1k stereo 16-bit", pcmFormat(44100, 2, 16), 128, 44100, 128000},
      {"48k mono 16-bit", pcmFormat(48000, 1, 16), 64, 48000, 64000},
      {"22.05k stereo 16-bit", pcmFormat(22050, 2, 16), 64000, 22050, 64000},
      {"44.1k stereo 24-bit", pcmFormat(44100, 2, 24), 192, 44100, 192000},
      {"48k stereo float", pcmFormat(48000, 2, 32, kFloat), 128, 48000, 128000},
      {"32k mono 32-bit", pcmFormat(32000, 1, 32), 96, 32000, 96000},
      {"11.025k mono 8-bit", pcmFormat(11025, 1, 8), 32, 11025, 32000},
      {"37.8k stereo 16-bit, resampled", pcmFormat(37800, 2, 16), 96, 32000, 96000},
  };
  constexpr double kSeconds = 3.0;
  constexpr double kFrequency = 1000.0;
  TempDir dir("mp3enc");
  for (const ToneCase& c : cases) {
    SCOPED_TRACE(c.name);
    TMp3Encoder encoder(c.input, c.bitrate);
    EXPECT_EQ(encoder.SampleRate(), c.expectRate);
    EXPECT_EQ(encoder.Channels(), c.input.nChannels);
    EXPECT_EQ(encoder.Bitrate(), c.expectBitrate);

    std::size_t framesBeforeFinish = 0;
    const auto mp3 =
        encode(encoder, tone(c.input, kSeconds, kFrequency, 0.5), 4096, &framesBeforeFinish);
    std::vector<FrameHeader> frames;
    ASSERT_TRUE(parseFrames(mp3, &frames));
    ASSERT_FALSE(frames.empty());
    for (const FrameHeader& f : frames) {
      ASSERT_EQ(f.bitrate, c.expectBitrate) << "at " << f.offset; // constant bitrate
      ASSERT_EQ(f.sampleRate, c.expectRate);
      ASSERT_EQ(f.channels, c.input.nChannels);
    }
    // A live stream carries no tag and no info frame: the first frame is audio.
    EXPECT_FALSE(contains(mp3.data(), frames[0].size, "Xing"));
    EXPECT_FALSE(contains(mp3.data(), frames[0].size, "Info"));
    EXPECT_FALSE(contains(mp3.data(), std::min<std::size_t>(mp3.size(), 3), "ID3"));

    // All audio comes out, padded by LAME's delay and its last frame (under two MPEG-1
    // frames), and little of it waits inside the encoder before Finish: LAME's own look-ahead
    // and less than one frame of ours.
    const double frameSeconds = static_cast<double>(frames[0].samples) / c.expectRate;
    const double encoded = static_cast<double>(frames.size()) * frameSeconds;
    const double mpeg1Frame = 1152.0 / c.expectRate;
    EXPECT_GE(encoded, kSeconds);
    EXPECT_LE(encoded, kSeconds + 2 * mpeg1Frame);
    EXPECT_GE(static_cast<double>(framesBeforeFinish) * frameSeconds, kSeconds - 5 * mpeg1Frame);

    const auto file = dir.path(std::string("tone") + std::to_string(&c - cases) + ".mp3");
    testing::writeBytes(file, mp3);
    const auto info = probe(file);
    EXPECT_EQ(info.count("codec_name") ? info.at("codec_name") : "", "mp3");
    EXPECT_EQ(info.count("sample_rate") ? info.at("sample_rate") : "",
              std::to_string(c.expectRate));
    EXPECT_EQ(info.count("channels") ? info.at("channels") : "", std::to_string(c.input.nChannels));
    EXPECT_EQ(info.count("bit_rate") ? info.at("bit_rate") : "", std::to_string(c.expectBitrate));
    const double duration = info.count("duration") ? std::atof(info.at("duration").c_str()) : 0;
    EXPECT_NEAR(duration, encoded, frameSeconds);

    const auto decoded = decodeS16(file, c.expectRate, c.input.nChannels);
    ASSERT_FALSE(decoded.empty());
    const std::size_t skip = c.expectRate / 10;
    EXPECT_NEAR(dominantFrequency(decoded, c.input.nChannels, c.expectRate, skip), kFrequency,
                kFrequency * 0.02);
    const double level = rms(decoded, c.input.nChannels, skip);
    EXPECT_NEAR(level, 0.5 / std::sqrt(2.0), 0.05); // the tone's own level
    const auto peak = std::max_element(decoded.begin(), decoded.end(),
                                       [](int a, int b) { return std::abs(a) < std::abs(b); });
    EXPECT_LT(std::abs(*peak), 24000) << "clipped or distorted";
    if (c.input.nChannels == 2) {
      const std::vector<std::int16_t> right(decoded.begin() + 1, decoded.end());
      EXPECT_NEAR(rms(right, 2, skip), level, 0.03) << "the right channel differs";
    }
  }
}

// The stream must not depend on how the chain happens to cut its PCM.
TEST(Mp3Encoder, PieceSizesGiveIdenticalFrames) {
  const WAVEFORMATEX formats[] = {
      pcmFormat(44100, 2, 16), pcmFormat(44100, 2, 24),
      pcmFormat(37800, 1, 16), // resampled on the way
  };
  for (const WAVEFORMATEX& wfx : formats) {
    SCOPED_TRACE(std::to_string(wfx.nSamplesPerSec) + " Hz, " + std::to_string(wfx.nChannels) +
                 " ch, " + std::to_string(wfx.wBitsPerSample) + "-bit");
    const auto pcm = tone(wfx, 1.3, 523.0, 0.6);
    TMp3Encoder whole(wfx, 128);
    const auto reference = encode(whole, pcm, pcm.size());
    ASSERT_GT(reference.size(), 10000u);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
      TMp3Encoder encoder(wfx, 128);
      EXPECT_TRUE(encode(encoder, pcm, piece) == reference) << "pieces of " << piece;
    }
  }
}

TEST(Mp3Encoder, BitrateSnapsToWhatMp3AllowsAtTheRate) {
  struct Snap {
    std::uint32_t rate;
    std::uint32_t asked;
    std::uint32_t used;
  };
  const Snap table[] = {
      {44100, 128, 128000},
      {44100, 1, 32000},
      {44100, 0, 32000},
      {44100, 500, 320000},
      {44100, 999, 320000},
      {44100, 1000, 32000},
      {44100, 130000, 128000},
      {44100, 175, 160000},
      {44100, 180, 192000},
      {48000, 320000, 320000},
      {32000, 40, 40000},
      {22050, 128, 128000},
      {22050, 320, 160000},
      {22050, 1, 8000},
      {24000, 150, 144000},
      {16000, 20000, 16000},
      {11025, 128000, 64000},
      {12000, 40, 40000},
      {8000, 64, 64000},
      {8000, 1, 8000},
      {37800, 144, 128000}, // resampled to 32 kHz; a tie goes to the lower rate
      {96000, 128, 128000}, // resampled to 48 kHz
      {6000, 128, 64000},   // resampled to 8 kHz
      // Each table's edges: only a rate at an edge tells two MPEG versions apart.
      {16000, 128, 128000}, // MPEG-2 from 16 kHz up, beyond MPEG-2.5's 64
      {16000, 320, 160000},
      {16000, 8, 8000},
      {12000, 128, 64000},  // MPEG-2.5 up to 12 kHz
      {32000, 320, 320000}, // MPEG-1 from 32 kHz up, beyond MPEG-2's 160
      {32000, 8, 32000},
      {24000, 8, 8000}, // MPEG-2 below 32 kHz
  };
  for (const Snap& s : table) {
    for (const std::uint16_t channels : {std::uint16_t{1}, std::uint16_t{2}}) {
      TMp3Encoder encoder(pcmFormat(s.rate, channels, 16), s.asked);
      EXPECT_EQ(encoder.Bitrate(), s.used)
          << s.asked << " at " << s.rate << " Hz, " << channels << " ch";
      // The encoder really runs at it: every frame says so.
      std::vector<std::uint8_t> out;
      const auto pcm = tone(pcmFormat(s.rate, channels, 16), 0.2, 440.0, 0.3);
      encoder.Write(pcm.data(), pcm.size(), out);
      encoder.Finish(out);
      std::vector<FrameHeader> frames;
      ASSERT_TRUE(parseFrames(out, &frames));
      ASSERT_FALSE(frames.empty());
      for (const FrameHeader& f : frames)
        ASSERT_EQ(f.bitrate, s.used) << s.asked << " at " << s.rate << " Hz";
    }
  }
}

TEST(Mp3Encoder, RefusesFormatsItCannotRead) {
  WAVEFORMATEX extensible = pcmFormat(44100, 2, 16);
  extensible.wFormatTag = 0xFFFE;
  WAVEFORMATEX badAlign = pcmFormat(44100, 2, 16);
  badAlign.nBlockAlign = 3;
  const WAVEFORMATEX bad[] = {
      pcmFormat(44100, 0, 16),
      pcmFormat(44100, 3, 16),
      pcmFormat(44100, 6, 16),
      pcmFormat(44100, 2, 12),
      pcmFormat(44100, 2, 64),
      pcmFormat(44100, 2, 16, kFloat),
      pcmFormat(0, 2, 16),
      pcmFormat(500, 2, 16),
      pcmFormat(4000000000u, 2, 16),
      extensible,
      badAlign,
  };
  for (const WAVEFORMATEX& wfx : bad) {
    try {
      TMp3Encoder encoder(wfx, 128);
      ADD_FAILURE() << "accepted tag " << wfx.wFormatTag << ", " << wfx.nChannels << " ch, "
                    << wfx.wBitsPerSample << "-bit, " << wfx.nSamplesPerSec << " Hz, align "
                    << wfx.nBlockAlign;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to init MP3 encoder");
    }
  }
}

TEST(Mp3Encoder, FinishWithLittleOrNothingAndAfterwards) {
  const WAVEFORMATEX wfx = pcmFormat(44100, 2, 16);
  {
    TMp3Encoder encoder(wfx, 128);
    std::vector<std::uint8_t> out;
    encoder.Finish(out);
    EXPECT_TRUE(out.empty()) << "frames from no audio";
  }
  {
    // Three bytes are no whole sample frame: nothing to encode, nothing made up.
    TMp3Encoder encoder(wfx, 128);
    const std::uint8_t bytes[] = {0x12, 0x34, 0x56};
    std::vector<std::uint8_t> out;
    encoder.Write(bytes, sizeof bytes, out);
    encoder.Write(nullptr, 0, out);
    encoder.Finish(out);
    EXPECT_TRUE(out.empty());
  }
  {
    TMp3Encoder encoder(wfx, 128);
    const auto pcm = tone(wfx, 10.0 / 44100, 440.0, 0.5); // ten sample frames
    std::vector<std::uint8_t> out;
    encoder.Write(pcm.data(), pcm.size(), out);
    EXPECT_TRUE(out.empty()) << "a frame before one was complete";
    encoder.Finish(out);
    std::vector<FrameHeader> frames;
    ASSERT_TRUE(parseFrames(out, &frames));
    EXPECT_GE(frames.size(), 1u);
    EXPECT_LE(frames.size(), 3u);

    const std::size_t size = out.size();
    encoder.Finish(out);
    EXPECT_EQ(out.size(), size) << "a second Finish added bytes";
    EXPECT_THROW(encoder.Write(pcm.data(), pcm.size(), out), std::runtime_error);
    EXPECT_EQ(out.size(), size);
  }
}

} // namespace
} // namespace sondrix
