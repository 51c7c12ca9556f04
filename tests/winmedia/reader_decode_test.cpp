// Real files, made by the ffmpeg encoders, decoded through the reader record.

#include "fixtures.h"
#include "reader_helpers.h"

#include "winmedia/runtime/wm_runtime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

namespace sondrix::testing {
namespace {

// Rising tones, so that every stretch of the signal is unlike every other.
const char* const kChirp = "0.6*sin(2*PI*(200+150*t)*t)|0.4*sin(2*PI*(900-100*t)*t)";

const std::vector<std::pair<std::string, std::string>> kCyrillicTags{
    {"artist", "Кино"},         {"title", "Группа крови"}, {"album", "Альбом"},
    {"genre", "Rock"},          {"date", "1988"},          {"track", "3"},
    {"copyright", "(c) Студия"}};

class ReaderDecode : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("reader-decode");
    const auto add = [](const std::string& name, ToneOptions tone) {
      makeToneFile(*dir / name, tone);
    };
    ToneOptions cbr;
    cbr.expression = kChirp;
    cbr.seconds = 6;
    cbr.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    cbr.metadata = kCyrillicTags;
    add("cbr.mp3", cbr);

    ToneOptions v23 = cbr;
    v23.seconds = 2;
    v23.extraArgs = {"-id3v2_version", "3"};
    add("v23.mp3", v23);

    ToneOptions v1;
    v1.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    v1.extraArgs = {"-id3v2_version", "0"};
    add("v1.mp3", v1);
    appendId3v1(*dir / "v1.mp3", "Plain Title", "Latin Artist", "Album One", "2001", 7, 0);

    ToneOptions vbr;
    vbr.seconds = 4;
    vbr.expression = kChirp;
    vbr.codecArgs = {"-c:a", "libmp3lame", "-q:a", "2"};
    add("vbr.mp3", vbr);

    ToneOptions mono;
    mono.sampleRate = 22050;
    mono.channels = 1;
    mono.codecArgs = {"-c:a", "libmp3lame", "-b:a", "64k"};
    add("mono22.mp3", mono);

    ToneOptions s48;
    s48.sampleRate = 48000;
    s48.seconds = 3;
    s48.codecArgs = {"-c:a", "libmp3lame", "-b:a", "192k"};
    add("s48.mp3", s48);

    ToneOptions wma;
    wma.seconds = 3;
    wma.codecArgs = {"-c:a", "wmav2", "-b:a", "128k"};
    wma.metadata = kCyrillicTags;
    add("tone.wma", wma);

    ToneOptions flac;
    flac.codecArgs = {"-c:a", "flac"};
    flac.metadata = {{"artist", "Flac Artist"}, {"title", "Lossless"}};
    add("tone16.flac", flac);
    flac.codecArgs = {"-c:a", "flac", "-sample_fmt", "s32"};
    add("tone24.flac", flac);
  }
  static void TearDownTestSuite() { dir.reset(); }

  void open(const std::string& name, bool highPrecision = false,
            std::uint8_t request = WM_CHANNELS_NATIVE) {
    file = openFile(*dir / name);
    wm_reader_open(r, file.get(), highPrecision, request);
  }
  void TearDown() override { wm_reader_close(r); }

  std::uint32_t blockAlign() const {
    return static_cast<std::uint32_t>(r.channels * r.BitsPerSample / 8);
  }
  double seconds(std::size_t bytes) const {
    return static_cast<double>(bytes) / blockAlign() / r.SampleRate;
  }

  static std::unique_ptr<TempDir> dir;
  std::unique_ptr<THandleStream> file;
  wma_sync_reader r;
};
std::unique_ptr<TempDir> ReaderDecode::dir;

// Counts sign changes of one channel of 16-bit PCM, to check which tone came out.
double zeroCrossingsPerSecond(const std::vector<std::int16_t>& s, int channels, int rate) {
  int crossings = 0;
  const std::size_t frames = s.size() / channels;
  for (std::size_t i = 1; i < frames; ++i)
    if ((s[(i - 1) * channels] < 0) != (s[i * channels] < 0))
      ++crossings;
  return crossings * static_cast<double>(rate) / static_cast<double>(frames);
}

TEST_F(ReaderDecode, EachSourceDecodesToItsFormatAndLength) {
  struct Case {
    std::string name;
    std::int32_t channels, rate;
    double seconds;
    std::uint32_t frame; // samples per decoder frame
  };
  // FFmpeg's WMA decoder gives up its first frame (codec delay) that the stream's duration
  // counts, so WMA is allowed two frames.
  for (const Case& c :
       {Case{"cbr.mp3", 2, 44100, 6, 1152}, Case{"vbr.mp3", 2, 44100, 4, 1152},
        Case{"mono22.mp3", 1, 22050, 2, 576}, Case{"s48.mp3", 2, 48000, 3, 1152},
        Case{"tone.wma", 2, 44100, 3, 2 * 2048}, Case{"tone16.flac", 2, 44100, 2, 4608},
        Case{"tone24.flac", 2, 44100, 2, 4608}}) {
    SCOPED_TRACE(c.name);
    open(c.name);
    ASSERT_NE(r.reader, nullptr);
    ASSERT_TRUE(r.has_audio);
    EXPECT_FALSE(r._protected);
    EXPECT_EQ(r.channels, c.channels);
    EXPECT_EQ(r.SampleRate, c.rate);
    EXPECT_EQ(r.BitsPerSample, 16);
    const double duration = wm_reader_duration(r) / 100.0;
    EXPECT_NEAR(duration, c.seconds, 0.1);
    const auto pcm = readAll(r);
    EXPECT_EQ(pcm.size() % blockAlign(), 0u);
    const double frameSeconds = static_cast<double>(c.frame) / c.rate;
    EXPECT_NEAR(seconds(pcm.size()), duration, frameSeconds);
    EXPECT_NEAR(seconds(pcm.size()), c.seconds, frameSeconds);
    wm_reader_close(r);
  }
}

TEST_F(ReaderDecode, TheToneComesOutAtItsPitchAndLevel) {
  for (const std::string name : {"mono22.mp3", "s48.mp3", "tone.wma", "tone16.flac"}) {
    SCOPED_TRACE(name);
    open(name);
    ASSERT_TRUE(r.has_audio);
    const auto s = samples16(readAll(r));
    ASSERT_FALSE(s.empty());
    EXPECT_NEAR(zeroCrossingsPerSecond(s, r.channels, r.SampleRate), 880.0, 10.0);
    // The sine source's amplitude is 1/8 of full scale, 3 dB less when spread on two channels.
    int peak = 0;
    for (std::int16_t v : s)
      peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_NEAR(peak, r.channels == 1 ? 4096 : 2896, 300);
    wm_reader_close(r);
  }
}

TEST_F(ReaderDecode, ShortReadsDeliverTheSameBytesAsLongOnes) {
  open("mono22.mp3");
  const auto whole = readAll(r, 1 << 20);
  open("mono22.mp3");
  const auto pieces = readAll(r, 333);
  EXPECT_EQ(whole, pieces);
}

TEST_F(ReaderDecode, SeekingGivesTheSameSamplesAsReadingThrough) {
  for (const std::string name : {"cbr.mp3", "vbr.mp3", "tone.wma", "tone24.flac"}) {
    open(name);
    ASSERT_TRUE(r.has_audio);
    const auto straight = samples16(readAll(r));
    const auto ch = static_cast<std::size_t>(r.channels);
    const std::uint32_t length = wm_reader_duration(r);
    for (const std::uint32_t position : {length / 2, length / 3, 10u, 0u}) {
      SCOPED_TRACE(name + " at " + std::to_string(position));
      wm_reader_seek(r, position);
      const auto after = samples16(readAll(r));
      const auto start = static_cast<std::ptrdiff_t>(position) * r.SampleRate / 100;
      // The rest of the file follows, within a frame.
      EXPECT_NEAR(static_cast<double>(after.size() / ch),
                  static_cast<double>(straight.size() / ch) - static_cast<double>(start), 1152);
      // Find where the first samples after the seek sit in the straight read.
      const std::ptrdiff_t window = 4096;
      ASSERT_GT(static_cast<std::ptrdiff_t>(after.size() / ch), window);
      double best = std::numeric_limits<double>::max();
      std::ptrdiff_t bestShift = 0;
      for (std::ptrdiff_t shift = -2304; shift <= 2304; ++shift) {
        const std::ptrdiff_t at = start + shift;
        if (at < 0 || static_cast<std::size_t>(at + window) * ch > straight.size())
          continue;
        double diff = 0;
        for (std::size_t i = 0; i < window * ch; ++i)
          diff += std::abs(straight[static_cast<std::size_t>(at) * ch + i] - after[i]);
        if (diff < best) {
          best = diff;
          bestShift = shift;
        }
      }
      EXPECT_LE(std::abs(bestShift), 1152);
      EXPECT_LT(best / static_cast<double>(window * ch), 4.0) << "mean difference per sample";
    }
    wm_reader_close(r);
  }
}

TEST_F(ReaderDecode, SeekingBackToTheStartRepeatsTheFirstSamples) {
  open("s48.mp3");
  const auto first = readAll(r);
  wm_reader_seek(r, 0);
  const auto again = readAll(r);
  ASSERT_EQ(first.size(), again.size());
  EXPECT_TRUE(first == again);
}

TEST_F(ReaderDecode, Id3v2TagsInBothVersionsBecomeAttributes) {
  for (const std::string name : {"cbr.mp3", "v23.mp3"}) {
    SCOPED_TRACE(name);
    open(name);
    ASSERT_TRUE(r.has_audio);
    EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"Кино");
    EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Группа крови");
    EXPECT_EQ(wm_reader_text_attribute(r, u"WM/AlbumTitle"), u"Альбом");
    EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Genre"), u"Rock");
    EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Year"), u"1988");
    EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Track"), u"3");
    EXPECT_EQ(wm_reader_text_attribute(r, u"Copyright"), u"(c) Студия");
    EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Composer"), u"");
    wm_reader_close(r);
  }
}

TEST_F(ReaderDecode, Id3v1OnlyTagsBecomeAttributes) {
  open("v1.mp3");
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"Latin Artist");
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Plain Title");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/AlbumTitle"), u"Album One");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Year"), u"2001");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Track"), u"7");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Genre"), u"Blues");
}

TEST_F(ReaderDecode, WmaAndFlacTagsBecomeAttributes) {
  open("tone.wma");
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"Кино");
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Группа крови");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/AlbumTitle"), u"Альбом");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Genre"), u"Rock");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Year"), u"1988");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Track"), u"3");
  wm_reader_close(r);
  open("tone16.flac");
  EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"Flac Artist");
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Lossless");
}

TEST_F(ReaderDecode, BitrateAndVbrFlag) {
  open("cbr.mp3");
  EXPECT_NEAR(wm_reader_bitrate(r), 128000, 2000);
  EXPECT_FALSE(wm_reader_is_vbr(r));
  wm_reader_close(r);
  open("vbr.mp3");
  EXPECT_GT(wm_reader_bitrate(r), 32000u);
  EXPECT_TRUE(wm_reader_is_vbr(r));
  wm_reader_close(r);
  open("tone.wma");
  EXPECT_NEAR(wm_reader_bitrate(r), 128000, 8000);
}

TEST_F(ReaderDecode, DeepFlacGives24BitOnlyWithHighPrecision) {
  open("tone24.flac", false);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.BitsPerSample, 16);
  wm_reader_close(r);

  open("tone24.flac", true);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.BitsPerSample, 24);
  const auto pcm = readAll(r);
  ASSERT_EQ(pcm.size() % 6, 0u);
  EXPECT_NEAR(seconds(pcm.size()), 2.0, 0.11);
  // Left channel of 24-bit frames: the top two bytes are the 16-bit decode of the same file.
  int peak = 0;
  for (std::size_t i = 0; i + 6 <= pcm.size(); i += 6) {
    const std::int32_t v =
        static_cast<std::int32_t>((pcm[i] << 8) | (pcm[i + 1] << 16) |
                                  (static_cast<std::uint32_t>(pcm[i + 2]) << 24)) >>
        8;
    peak = std::max(peak, std::abs(v));
  }
  EXPECT_NEAR(peak, 2896 * 256, 300 * 256);
  wm_reader_close(r);

  open("tone24.flac", true, WM_CHANNELS_LARGEST);
  EXPECT_EQ(r.BitsPerSample, 24);
  EXPECT_EQ(r.channels, 2);
}

TEST_F(ReaderDecode, SurroundRequestOnStereoFindsNoFormat) {
  open("cbr.mp3", true, WM_CHANNELS_5DOT1);
  EXPECT_NE(r.reader, nullptr);
  EXPECT_FALSE(r.has_audio);
  EXPECT_TRUE(readAll(r).empty());
}

TEST_F(ReaderDecode, LargestRequestOnMp3IsStereo16Bit) {
  open("s48.mp3", true, WM_CHANNELS_LARGEST);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.SampleRate, 48000);
  EXPECT_EQ(r.BitsPerSample, 16);
}

TEST_F(ReaderDecode, ChosenFormatChangesWhatIsDelivered) {
  open("s48.mp3");
  const std::uint32_t count = wm_reader_format_count(r, false);
  ASSERT_GT(count, 2u);
  // Find mono 8-bit at half the rate among the offered formats.
  std::uint32_t wanted = count;
  for (std::uint32_t i = 0; i < count; ++i) {
    wm_reader_set_format(r, false, i);
    if (r.channels == 1 && r.BitsPerSample == 8 && r.SampleRate == 24000)
      wanted = i;
  }
  ASSERT_LT(wanted, count);
  wm_reader_set_format(r, false, wanted);
  std::uint16_t ch = 0;
  std::uint16_t bits = 0;
  std::uint32_t rate = 0;
  wm_reader_audio_format(r, ch, bits, rate);
  EXPECT_EQ(ch, 1);
  EXPECT_EQ(bits, 8);
  EXPECT_EQ(rate, 24000u);
  const auto pcm = readAll(r);
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 24000, 3.0, 0.05);
  // Unsigned 8-bit: the tone swings around 128 and crosses it 880 times a second.
  int crossings = 0;
  for (std::size_t i = 1; i < pcm.size(); ++i)
    if ((pcm[i - 1] < 128) != (pcm[i] < 128))
      ++crossings;
  EXPECT_NEAR(crossings / 3.0, 880, 15);
}

TEST_F(ReaderDecode, RuntimeIsBoundAtStartAndOpensFailWithoutIt) {
  EXPECT_TRUE(WMRuntimeLoaded());
  UnloadWMRuntime();
  EXPECT_FALSE(WMRuntimeLoaded());
  open("mono22.mp3");
  EXPECT_EQ(r.reader, nullptr);
  EXPECT_FALSE(r.has_audio);
  LoadWMRuntime();
  LoadWMRuntime();
  EXPECT_TRUE(WMRuntimeLoaded());
  open("mono22.mp3");
  EXPECT_TRUE(r.has_audio);
}

TEST_F(ReaderDecode, AStreamStandingPastJunkIsReadFromThere) {
  // 30 bytes of junk before a FLAC file: the first try fails, the retry from byte 30 opens.
  auto bytes = readBytes(*dir / "tone16.flac");
  std::vector<std::uint8_t> junk(30, 0x5A);
  bytes.insert(bytes.begin(), junk.begin(), junk.end());
  TMemoryStream mem(bytes);
  wm_reader_open(r, &mem, false, WM_CHANNELS_NATIVE);
  ASSERT_NE(r.reader, nullptr);
  ASSERT_TRUE(r.has_audio);
  EXPECT_NEAR(seconds(readAll(r).size()), 2.0, 0.11);
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Lossless");
}

} // namespace
} // namespace sondrix::testing
