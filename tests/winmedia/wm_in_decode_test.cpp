// Real files made by FFmpeg's encoders, played through the MP3 and Windows Media inputs.

#include "fixtures.h"
#include "wm_in_helpers.h"

#include "base/text.h"
#include "tags/common_tags.h"
#include "tags/id3v2_tags.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace sondrix::testing {
namespace {

// Rising tones, so that every stretch of the signal is unlike every other.
const char* const kChirp = "0.6*sin(2*PI*(200+150*t)*t)|0.4*sin(2*PI*(900-100*t)*t)";
const char* const kMonoChirp = "0.6*sin(2*PI*(300+120*t)*t)";

struct Tags {
  std::string artist, title, album, genre, year, track;
};

const Tags kCyrillic{"Кино", "Группа крови", "Альбом", "Rock", "1988", "3"};
const Tags kLatin{"Latin Artist", "Plain Title", "Album One", "Jazz", "2001", "7"};

std::vector<std::pair<std::string, std::string>> metadata(const Tags& t) {
  return {{"artist", t.artist}, {"title", t.title}, {"album", t.album},
          {"genre", t.genre},   {"date", t.year},   {"track", t.track}};
}

struct Source {
  std::string name;
  bool mp3;
  std::uint32_t channels, rate;
  double seconds;
  std::uint32_t decoderFrame; // samples per decoder frame
  Tags tags;
};

const std::vector<Source> kSources{
    {"cbr.mp3", true, 2, 44100, 6, 1152, kCyrillic},
    {"v23.mp3", true, 2, 44100, 2, 1152, kCyrillic},
    {"v1only.mp3",
     true,
     2,
     44100,
     2,
     1152,
     {"Latin Artist", "Plain Title", "Album One", "Rock", "2001", "7"}},
    {"vbr.mp3", true, 2, 44100, 4, 1152, kLatin},
    {"mono22.mp3", true, 1, 22050, 2, 576, kLatin},
    {"s48.mp3", true, 2, 48000, 3, 1152, kLatin},
    // FFmpeg's WMA decoder holds back its first frame, which the stream's duration counts.
    {"tone.wma", false, 2, 44100, 3, 2 * 2048, kCyrillic},
    {"tone.flac", false, 2, 44100, 2, 4608, kLatin},
};

class WMInDecode : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("wm-in-decode");
    const auto mp3 = [](const std::string& name, ToneOptions tone) {
      if (tone.codecArgs.empty())
        tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
      makeToneFile(*dir / name, tone);
    };
    ToneOptions cbr;
    cbr.expression = kChirp;
    cbr.seconds = 6;
    cbr.metadata = metadata(kCyrillic);
    mp3("cbr.mp3", cbr);

    ToneOptions v23 = cbr;
    v23.seconds = 2;
    v23.extraArgs = {"-id3v2_version", "3"};
    mp3("v23.mp3", v23);

    ToneOptions v1;
    v1.extraArgs = {"-id3v2_version", "0", "-write_id3v1", "0"};
    mp3("v1only.mp3", v1);
    appendId3v1(*dir / "v1only.mp3", "Plain Title", "Latin Artist", "Album One", "2001", 7, 17);

    ToneOptions vbr;
    vbr.expression = kChirp;
    vbr.seconds = 4;
    vbr.codecArgs = {"-c:a", "libmp3lame", "-q:a", "2"};
    vbr.metadata = metadata(kLatin);
    mp3("vbr.mp3", vbr);

    ToneOptions mono;
    mono.expression = kMonoChirp;
    mono.sampleRate = 22050;
    mono.channels = 1;
    mono.codecArgs = {"-c:a", "libmp3lame", "-b:a", "64k"};
    mono.metadata = metadata(kLatin);
    mp3("mono22.mp3", mono);

    ToneOptions s48;
    s48.sampleRate = 48000;
    s48.seconds = 3;
    s48.codecArgs = {"-c:a", "libmp3lame", "-b:a", "192k"};
    s48.metadata = metadata(kLatin);
    mp3("s48.mp3", s48);

    ToneOptions wma;
    wma.seconds = 3;
    wma.codecArgs = {"-c:a", "wmav2", "-b:a", "128k"};
    wma.metadata = metadata(kCyrillic);
    makeToneFile(*dir / "tone.wma", wma);

    ToneOptions flac;
    flac.codecArgs = {"-c:a", "flac"};
    flac.metadata = metadata(kLatin);
    makeToneFile(*dir / "tone.flac", flac);
    flac.codecArgs = {"-c:a", "flac", "-sample_fmt", "s32"};
    makeToneFile(*dir / "deep.flac", flac);

    ToneOptions six;
    six.seconds = 1;
    six.channels = 6;
    six.codecArgs = {"-c:a", "flac"};
    makeToneFile(*dir / "six.flac", six);
  }
  static void TearDownTestSuite() { dir.reset(); }

  template <class T = TMP3In> ComponentPtr<T> input(const std::string& name) {
    auto in = MakeComponent<T>();
    in->SetFileName((*dir / name).string());
    return in;
  }

  static std::unique_ptr<TempDir> dir;
};
std::unique_ptr<TempDir> WMInDecode::dir;

TEST_F(WMInDecode, EachFileDeliversItsFormatLengthAndTags) {
  for (const Source& s : kSources) {
    SCOPED_TRACE(s.name);
    ComponentPtr<TWMIn> in;
    if (s.mp3)
      in = input<TMP3In>(s.name);
    else
      in = input<TWMIn>(s.name);
    ASSERT_TRUE(in->Valid());
    EXPECT_TRUE(in->HasAudio());
    EXPECT_FALSE(in->IsProtected());
    EXPECT_EQ(in->Channels(), s.channels);
    EXPECT_EQ(in->SampleRate(), s.rate);
    EXPECT_EQ(in->BitsPerSample(), 16u);
    EXPECT_NEAR(in->TotalTime(), s.seconds, 1.0);
    const std::int64_t frameBytes = s.channels * 2;
    EXPECT_EQ(in->Size() % frameBytes, 0);

    const TCommonTags& tags = *in->CommonTags();
    EXPECT_EQ(toNarrow(tags.Artist()), s.tags.artist);
    EXPECT_EQ(toNarrow(tags.Title()), s.tags.title);
    EXPECT_EQ(toNarrow(tags.Album()), s.tags.album);
    EXPECT_EQ(toNarrow(tags.Genre()), s.tags.genre);
    EXPECT_EQ(tags.Year(), s.tags.year);
    EXPECT_EQ(tags.Track(), s.tags.track);
    EXPECT_EQ(toNarrow(in->Id3v2Tags()->Artist()), s.tags.artist);
    EXPECT_EQ(toNarrow(in->Id3v2Tags()->Title()), s.tags.title);
    EXPECT_EQ(in->Id3v2Tags()->Year(), s.tags.year);

    const auto pcm = playThrough(*in);
    ASSERT_EQ(pcm.size() % frameBytes, 0u);
    const auto frames = static_cast<std::int64_t>(pcm.size()) / frameBytes;
    const auto expected = static_cast<std::int64_t>(std::llround(s.seconds * s.rate));
    // The MP3 correction lets through more than the duration, never less.
    const std::int64_t slack = s.mp3 ? s.rate / 3 : 0;
    EXPECT_GE(frames, expected - s.decoderFrame);
    EXPECT_LE(frames, expected + s.decoderFrame + slack);
    // The run ended where the data did, after a Flush that closed and cleared the range.
    EXPECT_EQ(in->StartSample(), 0);
    EXPECT_EQ(in->EndSample(), -1);
  }
}

TEST_F(WMInDecode, LengthFollowsTheStatedDurationPlusAThirdForMp3) {
  auto wm = input<TWMIn>("cbr.mp3");
  auto mp3 = input<TMP3In>("cbr.mp3");
  const std::int64_t plain = wm->TotalSamples();
  ASSERT_GT(plain, 0);
  EXPECT_NEAR(static_cast<double>(plain), 6.0 * 44100, 44100 / 100.0);
  EXPECT_EQ(wm->Size(), plain * 4);
  EXPECT_EQ(mp3->TotalSamples(), plain + 44100 / 3);
  EXPECT_EQ(mp3->Size(), (plain + 44100 / 3) * 4);
  // The decoded data, not the correction, decides where an MP3 ends.
  const auto a = playThrough(*wm);
  const auto b = playThrough(*mp3);
  EXPECT_EQ(a.size(), static_cast<std::size_t>(plain * 4));
  EXPECT_GE(b.size(), a.size());
  EXPECT_LE(b.size(), a.size() + 1152 * 4);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));
}

TEST_F(WMInDecode, BitrateAndVbrFlag) {
  auto cbr = input("cbr.mp3");
  EXPECT_NEAR(cbr->Bitrate(), 128000, 2000);
  EXPECT_FALSE(cbr->IsVBR());
  auto vbr = input("vbr.mp3");
  EXPECT_TRUE(vbr->IsVBR());
  EXPECT_GT(vbr->Bitrate(), 32000u);
}

TEST_F(WMInDecode, CopyrightGoesToTheId3v2CommentOnly) {
  ToneOptions tone;
  tone.seconds = 1;
  tone.codecArgs = {"-c:a", "libmp3lame"};
  tone.metadata = {{"copyright", "(c) Студия"}, {"title", "T"}};
  makeToneFile(*dir / "copyright.mp3", tone);
  auto in = input("copyright.mp3");
  EXPECT_EQ(toNarrow(in->Id3v2Tags()->Comment()), "(c) Студия");
  EXPECT_EQ(toNarrow(in->CommonTags()->Title()), "T");
  EXPECT_EQ(toNarrow(in->CommonTags()->Artist()), "");
}

TEST_F(WMInDecode, ReopeningForAnotherFileReplacesTheTags) {
  auto in = input("cbr.mp3");
  ASSERT_TRUE(in->Valid());
  ASSERT_EQ(toNarrow(in->CommonTags()->Artist()), "Кино");
  in->SetFileName((*dir / "v1only.mp3").string());
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(toNarrow(in->CommonTags()->Artist()), "Latin Artist");
  in->SetFileName((*dir / "six.flac").string());
  ASSERT_TRUE(in->Valid());
  EXPECT_EQ(toNarrow(in->CommonTags()->Artist()), "");
  EXPECT_EQ(in->CommonTags()->Year(), "");
}

// Reading from the middle gives what a straight read gives there.
TEST_F(WMInDecode, SeekingToTheMiddleMatchesAStraightRead) {
  // The seek goes to a hundredth of a second; the reader may land up to a frame of the
  // decoder off (its MPEG-2 seeks do, by the encoder delay that the first frames skip).
  struct Case {
    std::string name;
    std::int64_t tolerance; // frames
  };
  for (const auto& [name, tolerance] :
       {Case{"cbr.mp3", 221}, Case{"tone.flac", 221}, Case{"mono22.mp3", 576 + 111}}) {
    SCOPED_TRACE(name);
    auto in = input(name);
    const auto whole = pcm16(playThrough(*in));
    const int channels = static_cast<int>(in->Channels());
    const std::int64_t frameBytes = channels * 2;

    in->Init();
    const std::int64_t middle = in->TotalSamples() / 2 + 37;
    ASSERT_TRUE(in->Seek(middle));
    EXPECT_EQ(in->Position(), middle * frameBytes);
    const auto tail = pcm16(readToEnd(*in));
    in->Flush();

    const auto a = align(whole, tail, channels, middle, 4096, 1152);
    EXPECT_LE(std::abs(a.shift), tolerance);
    EXPECT_LE(a.worstDifference, 64);
    const auto expectedFrames = static_cast<std::int64_t>(whole.size()) / channels - middle;
    EXPECT_NEAR(static_cast<double>(tail.size()) / channels, static_cast<double>(expectedFrames),
                1152);
  }
}

TEST_F(WMInDecode, ARangeStartsAndEndsWhereAsked) {
  auto in = input("cbr.mp3");
  const auto whole = pcm16(playThrough(*in));
  in->SetStartSample(44100);
  in->SetEndSample(3 * 44100 - 1);
  in->Init();
  EXPECT_EQ(in->TotalSamples(), 2 * 44100);
  EXPECT_EQ(in->Size(), 2 * 44100 * 4);
  EXPECT_EQ(in->Position(), 0);
  const auto part = pcm16(readToEnd(*in, 1000));
  in->Flush();
  ASSERT_EQ(part.size(), 2u * 44100 * 2);
  const auto a = align(whole, part, 2, 44100, 4096, 1152);
  EXPECT_EQ(a.shift, 0);
  EXPECT_LE(a.worstDifference, 64);
  EXPECT_EQ(in->StartSample(), 0);
  EXPECT_EQ(in->EndSample(), -1);
}

TEST_F(WMInDecode, FormatSelectionChangesFormatAndSize) {
  auto in = input("cbr.mp3");
  const std::int64_t frames = in->TotalSamples();
  ASSERT_GE(in->FormatsCount(), 4);
  // The offered list, native first: stereo 16, stereo 8, mono 16, mono 8.
  in->SetFormatSelected(3);
  EXPECT_EQ(in->FormatSelected(), 3);
  EXPECT_EQ(in->Channels(), 1u);
  EXPECT_EQ(in->BitsPerSample(), 8u);
  EXPECT_EQ(in->TotalSamples(), frames);
  EXPECT_EQ(in->Size(), frames);
  // -1 selects nothing and keeps the format.
  in->SetFormatSelected(-1);
  EXPECT_EQ(in->FormatSelected(), 3);
  EXPECT_EQ(in->BitsPerSample(), 8u);
  EXPECT_EQ(in->Size(), frames);

  in->Init();
  const auto pcm = readToEnd(*in);
  EXPECT_EQ(in->BitsPerSample(), 8u);
  in->Flush();
  EXPECT_GE(static_cast<std::int64_t>(pcm.size()), frames - 44100 / 3 - 1152);
  EXPECT_LE(static_cast<std::int64_t>(pcm.size()), frames);
}

TEST_F(WMInDecode, FormatMinusTwoTakesTheDeepFormatAndKeepsIt) {
  auto in = input<TWMIn>("deep.flac");
  ASSERT_FALSE(in->HighPrecision());
  EXPECT_EQ(in->BitsPerSample(), 16u);
  const std::int32_t plainCount = in->FormatsCount();
  in->SetFormatSelected(-2);
  EXPECT_EQ(in->FormatSelected(), 0);
  EXPECT_EQ(in->BitsPerSample(), 24u);
  EXPECT_FALSE(in->HighPrecision());
  const std::int64_t frames = in->TotalSamples();
  EXPECT_EQ(in->Size(), frames * 6);
  // Counting the formats does not move the output off the format chosen.
  EXPECT_GT(in->FormatsCount(), plainCount);
  in->Init();
  EXPECT_EQ(in->BitsPerSample(), 24u);
  const auto pcm = readToEnd(*in);
  in->Flush();
  EXPECT_NEAR(static_cast<double>(pcm.size()), static_cast<double>(frames * 6), 4608.0 * 6);
}

TEST_F(WMInDecode, HighPrecisionReopensAnOpenSource) {
  auto in = input<TWMIn>("deep.flac");
  EXPECT_EQ(in->BitsPerSample(), 16u);
  in->SetHighPrecision(true);
  EXPECT_EQ(in->BitsPerSample(), 24u);
  in->SetHighPrecision(false);
  EXPECT_EQ(in->BitsPerSample(), 16u);
}

TEST_F(WMInDecode, ChannelLayouts) {
  auto in = input<TWMIn>("six.flac");
  EXPECT_EQ(in->OutputChannels(), TChannelsNumber::cnMonoOrStereo);
  EXPECT_EQ(in->Channels(), 2u);
  in->SetOutputChannels(TChannelsNumber::cn5dot1);
  EXPECT_TRUE(in->HighPrecision());
  EXPECT_EQ(in->Channels(), 6u);
  // Only the stream's own layout may go without discrete output.
  in->SetHighPrecision(false);
  EXPECT_TRUE(in->HighPrecision());
  in->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  EXPECT_EQ(in->Channels(), 6u);
  const auto pcm = playThrough(*in);
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 12, 44100, 4608);
  in->SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
  EXPECT_TRUE(in->HighPrecision());
}

TEST_F(WMInDecode, SettingsDoNothingWhileARunReads) {
  auto in = input<TWMIn>("deep.flac");
  in->Init();
  EXPECT_EQ(in->FormatsCount(), 0);
  in->SetHighPrecision(true);
  EXPECT_FALSE(in->HighPrecision());
  in->SetOutputChannels(TChannelsNumber::cn7dot1);
  EXPECT_EQ(in->OutputChannels(), TChannelsNumber::cnMonoOrStereo);
  in->SetFormatSelected(-2);
  EXPECT_EQ(in->BitsPerSample(), 16u);
  const auto pcm = readToEnd(*in);
  in->Flush();
  EXPECT_NEAR(static_cast<double>(pcm.size()) / 4, 2 * 44100, 4608);
}

TEST_F(WMInDecode, AStreamHandedInIsReadAndRewound) {
  const auto bytes = readBytes(*dir / "cbr.mp3");
  TMemoryStream stream;
  stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream.Seek(0, TSeekOrigin::soBeginning);
  auto fromFile = input("cbr.mp3");
  const auto expected = playThrough(*fromFile);

  auto in = MakeComponent<TMP3In>();
  in->SetStream(&stream);
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(toNarrow(in->CommonTags()->Title()), "Группа крови");
  EXPECT_EQ(playThrough(*in), expected);
  EXPECT_EQ(stream.Position(), 0);
  // The same stream plays again.
  EXPECT_EQ(playThrough(*in), expected);
}

} // namespace
} // namespace sondrix::testing
