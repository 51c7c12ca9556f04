#include "audio/audio_play_list.h"
#include "fixtures.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wma_out.h"
#include "wma_out_tone_source.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sondrix {
namespace {

using namespace wmout_test;
using namespace writer_test;

// Zero crossings of the left channel in one window, with hysteresis against coding noise.
double windowFrequency(const std::vector<std::int16_t>& stereo, std::size_t from, std::size_t to,
                       int rate) {
  int side = 0;
  int crossings = 0;
  for (std::size_t i = from; i < to; ++i) {
    const int v = stereo[2 * i];
    const int now = v > 1000 ? 1 : v < -1000 ? -1 : side;
    if (side != 0 && now != side)
      ++crossings;
    side = now;
  }
  return crossings / 2.0 / (static_cast<double>(to - from) / rate);
}

// Lengths in seconds of the runs of 50 ms windows whose tone is nearest each expected
// frequency, in order; a window near none of them (a switch, the codec's edges) belongs to
// no run.
std::vector<double> toneRuns(const std::vector<std::int16_t>& stereo, int rate,
                             const std::vector<double>& tones, std::vector<int>* order) {
  const std::size_t window = static_cast<std::size_t>(rate) / 20;
  std::vector<double> lengths;
  int last = -1;
  for (std::size_t at = 0; at + window <= stereo.size() / 2; at += window) {
    const double f = windowFrequency(stereo, at, at + window, rate);
    int nearest = -1;
    for (std::size_t t = 0; t < tones.size(); ++t)
      if (std::abs(f - tones[t]) < 40)
        nearest = static_cast<int>(t);
    if (nearest < 0)
      continue;
    if (nearest != last) {
      lengths.push_back(0);
      order->push_back(nearest);
      last = nearest;
    }
    lengths.back() += 0.05;
  }
  return lengths;
}

// The station's own chain on real files: MP3 input → playlist → format converter → WMA file.
// Returns the run's error text.
std::string broadcastToFile(const std::vector<std::string>& files,
                            const std::filesystem::path& file) {
  auto mp3 = MakeComponent<TMP3In>();
  mp3->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  mp3->SetHighPrecision(true);
  auto list = MakeComponent<TAudioPlayList>();
  list->SetInput(mp3.get());
  list->SetFiles(files);
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(list.get());
  auto out = MakeComponent<TWMAOut>();
  out->SetInput(conv.get());
  out->SetDesiredBitrate(128);
  out->SetFileName(file.string());
  RunLog log;
  log.watch(*out);
  out->Run();
  if (!pumpUntil([&] { return log.count("done") == 1; }, std::chrono::seconds(60)))
    return "the run did not end";
  return out->ExceptionMessage();
}

TEST(WmaOutChain, MixedFormatsBecomeOneFileHeardAtTheirOwnSpeedAndPitch) {
  TempDir dir;
  auto src = MakeComponent<ToneSource>(
      std::vector<ToneSegment>{{44100, 2, 440, 2.0}, {22050, 1, 880, 1.5}, {48000, 2, 1320, 2.5}});
  auto conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(src.get());
  auto out = MakeComponent<TWMAOut>();
  out->SetInput(conv.get());
  out->SetDesiredBitrate(128);
  const auto file = dir.path("mixed.wma");
  out->SetFileName(file.string());
  RunLog log;
  log.watch(*out);
  out->Run();
  ASSERT_TRUE(pumpUntil([&] { return log.count("done") == 1; }));
  ASSERT_EQ(out->ExceptionMessage(), "");

  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("sample_rate"), "44100");
  EXPECT_EQ(info.at("channels"), "2");
  EXPECT_NEAR(std::stod(info.at("duration")), 6.0, 0.2);

  const auto pcm = decodeS16(file, 44100, 2);
  std::vector<int> order;
  const auto runs = toneRuns(pcm, 44100, {440, 880, 1320}, &order);
  ASSERT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_NEAR(runs[0], 2.0, 0.3);
  EXPECT_NEAR(runs[1], 1.5, 0.3);
  EXPECT_NEAR(runs[2], 2.5, 0.3);
}

TEST(WmaOutChain, PlaylistOfMixedFormatMp3FilesIsHeardAtEachFilesSpeedAndPitch) {
  TempDir dir;
  struct Tone {
    double frequency;
    int rate, channels;
  };
  const Tone tones[] = {{440, 44100, 2}, {880, 22050, 1}, {1320, 48000, 2}};
  std::vector<std::string> files;
  for (const Tone& tone : tones) {
    sondrix::testing::ToneOptions options;
    options.frequency = tone.frequency;
    options.seconds = 3;
    options.sampleRate = tone.rate;
    options.channels = tone.channels;
    options.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    files.push_back(dir.path("tone" + std::to_string(files.size()) + ".mp3").string());
    sondrix::testing::makeToneFile(files.back(), options);
  }
  const auto file = dir.path("station.wma");
  ASSERT_EQ(broadcastToFile(files, file), "");

  const auto pcm = decodeS16(file, 44100, 2);
  std::vector<int> order;
  const auto runs = toneRuns(pcm, 44100, {440, 880, 1320}, &order);
  ASSERT_EQ(order, (std::vector<int>{0, 1, 2}));
  for (double length : runs)
    EXPECT_NEAR(length, 3.0, 0.3);
}

// Surround and many-channel files, first in the list or later: one stereo run at the nearest
// rate the encoder offers.
TEST(WmaOutChain, SurroundAndManyChannelFilesBecomeOneStereoRun) {
  TempDir dir;
  const std::string six = dir.path("six.flac").string(), ten = dir.path("ten.wav").string(),
                    eight = dir.path("eight.wav").string();
  const auto sine = [](int hz) { return "0.5*sin(" + std::to_string(hz) + "*2*PI*t)"; };
  const auto channels = [&](int hz, int n) {
    std::string e = sine(hz);
    for (int i = 1; i < n; ++i)
      e += "|" + sine(hz);
    return e;
  };
  const auto make = [&](const std::string& expression, int rate, const std::string& codec,
                        const std::string& path) {
    return runCommand("ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=" + expression +
                      ":s=" + std::to_string(rate) + ":d=2' -c:a " + codec + " '" + path + "'");
  };
  ASSERT_EQ(make(channels(440, 6), 96000, "flac", six), 0);
  ASSERT_EQ(make(channels(880, 10), 48000, "pcm_s16le", ten), 0);
  ASSERT_EQ(make(channels(1320, 8), 192000, "pcm_s24le", eight), 0);
  const auto file = dir.path("surround.wma");
  ASSERT_EQ(broadcastToFile({six, ten, eight}, file), "");

  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("channels"), "2");
  const auto pcm = decodeS16(file, 44100, 2);
  std::vector<int> order;
  const auto runs = toneRuns(pcm, 44100, {440, 880, 1320}, &order);
  ASSERT_EQ(order, (std::vector<int>{0, 1, 2}));
  for (double length : runs)
    EXPECT_NEAR(length, 2.0, 0.3);
}

} // namespace
} // namespace sondrix
