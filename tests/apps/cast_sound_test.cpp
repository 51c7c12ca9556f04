// What a listener of each flavour hears from sondrix-cast: every track whole, no dead air
// between them, one loudness, peaks under the ceiling; and crossfades that keep to the tracks.

#include "cast_process.h"
#include "sound/track_analyzer.h"
#include "tests/sound/tone_presence.h"

#include <gtest/gtest.h>

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sondrix::LoudnessMeter;
using sondrix::test::CastProcess;
using sondrix::test::freePort;
using sondrix::test::run;
using sondrix::testing::presence;

constexpr double kRate = 44100;

// A tone track: Body Hz, then its last Ending seconds at EndHz, at a mean square of RmsDbfs,
// optionally with silence before and after, a fade over the last Fade seconds, or with short
// full-scale bursts (a drum's hits far above the track's loudness).
struct Track {
  std::string Name;
  double Seconds, Ending;
  double BodyHz, EndHz;
  double RmsDbfs;
  double Before = 0, After = 0, Fade = 0;
  bool Bursts = false;
};

std::string makeTrack(const fs::path& Dir, const Track& T) {
  const double amp = std::pow(10.0, (T.RmsDbfs + 3.0103) / 20);
  const double switchAt = T.Seconds - T.Ending;
  char expr[512];
  // Commas inside a filter's argument are escaped for the filter graph.
  std::snprintf(expr, sizeof expr, "%.5f*sin(2*PI*if(lt(t\\,%.3f)\\,%.1f\\,%.1f)*t)%s", amp,
                switchAt, T.BodyHz, T.EndHz,
                T.Bursts ? "+if(lt(mod(t\\,0.5)\\,0.004)\\,0.95*sin(2*PI*3000*t)\\,0)" : "");
  std::string filters = "anull";
  if (T.Fade > 0)
    filters +=
        ",afade=t=out:st=" + std::to_string(T.Seconds - T.Fade) + ":d=" + std::to_string(T.Fade);
  if (T.Before > 0)
    filters += ",adelay=" + std::to_string(static_cast<int>(T.Before * 1000)) + ":all=1";
  if (T.After > 0)
    filters += ",apad=pad_dur=" + std::to_string(T.After);
  const fs::path path = Dir / (T.Name + ".mp3");
  // Both channels at the level asked: an upmix from mono would lower each by 3 dB.
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=" + std::string(expr) + "|" + expr +
      ":s=44100:d=" + std::to_string(T.Seconds) + "\" -af " + filters +
      " -c:a libmp3lame -b:a 192k " + path.string();
  EXPECT_EQ(run(command), 0) << command;
  return path.string();
}

std::vector<float> readRaw(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::int16_t v;
    std::memcpy(&v, bytes.data() + 2 * i, 2);
    out[i] = v / 32768.0f;
  }
  return out;
}

// The runs of 10 ms steps (first, past-the-end) in which Hz stands within 20 dB of its loudest.
std::vector<std::pair<std::size_t, std::size_t>> runsOf(const std::vector<float>& S, double Hz) {
  const std::vector<double> p = presence(S, Hz);
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  if (p.empty())
    return runs;
  const double floor = *std::max_element(p.begin(), p.end()) - 20;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] <= floor)
      continue;
    if (!runs.empty() && runs.back().second + 3 >= i) // a blip of the codec does not split it
      runs.back().second = i + 1;
    else
      runs.emplace_back(i, i + 1);
  }
  return runs;
}

double loudness(const std::vector<float>& S, double From, double To) {
  LoudnessMeter meter(44100, 2);
  const auto from = static_cast<std::size_t>(From * kRate);
  const auto to = std::min(static_cast<std::size_t>(To * kRate), S.size() / 2);
  meter.Add(S.data() + 2 * from, to - from);
  return meter.Integrated().value_or(-100);
}

double truePeakDb(const std::vector<float>& S) {
  ebur128_state* st = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK);
  ebur128_add_frames_float(st, S.data(), S.size() / 2);
  double peak = 0;
  for (unsigned c = 0; c < 2; ++c) {
    double p = 0;
    ebur128_true_peak(st, c, &p);
    peak = std::max(peak, p);
  }
  ebur128_destroy(&st);
  return 20 * std::log10(peak);
}

// The longest stretch below -50 dBFS between the first and the last sound, in seconds.
double longestSilence(const std::vector<float>& S) {
  std::vector<bool> quiet;
  for (std::size_t at = 0; at + 441 <= S.size() / 2; at += 441) {
    double sum = 0;
    for (std::size_t i = 0; i < 882; ++i)
      sum += static_cast<double>(S[2 * at + i]) * S[2 * at + i];
    quiet.push_back(10 * std::log10(sum / 882 + 1e-20) < -50);
  }
  const auto first = std::find(quiet.begin(), quiet.end(), false);
  const auto last = std::find(quiet.rbegin(), quiet.rend(), false).base();
  std::size_t longest = 0, run = 0;
  for (auto it = first; it < last; ++it) {
    run = *it ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return static_cast<double>(longest) / 100;
}

struct Recording {
  std::vector<float> Wma, Mp3;
};

// sondrix-cast plays Tracks with Options; a listener of each flavour records Seconds from
// when the station goes on air.
Recording listen(const fs::path& Dir, const std::vector<std::string>& Files,
                 std::vector<std::string> Options, double Seconds,
                 const std::function<void(CastProcess&)>& Meanwhile = {}) {
  const std::uint16_t port = freePort();
  const std::string host = "127.0.0.1:" + std::to_string(port);
  std::vector<std::string> args = {"--port", std::to_string(port), "--address", "127.0.0.1"};
  args.insert(args.end(), Options.begin(), Options.end());
  args.insert(args.end(), Files.begin(), Files.end());
  ::setenv("XDG_CACHE_HOME", (Dir / "cache").c_str(), 1);
  CastProcess cast(args);
  ::unsetenv("XDG_CACHE_HOME");
  if (!cast.WaitForText("On air", 20s)) {
    ADD_FAILURE() << cast.Output();
    return {};
  }
  const std::string seconds = std::to_string(Seconds);
  const std::string record = " -t " + seconds + " -f s16le -ac 2 -ar 44100 ";
  const std::string command = "timeout " + std::to_string(static_cast<int>(Seconds) + 30) +
                              " ffmpeg -nostdin -v error -y -i mmsh://" + host + "/" + record +
                              (Dir / "wma.raw").string() + " & timeout " +
                              std::to_string(static_cast<int>(Seconds) + 30) +
                              " ffmpeg -nostdin -v error -y -i http://" + host + "/stream.mp3" +
                              record + (Dir / "mp3.raw").string() + " & wait";
  int recorded = -1;
  std::thread listeners([&] { recorded = run(command); });
  if (Meanwhile)
    Meanwhile(cast);
  listeners.join();
  EXPECT_EQ(recorded, 0);
  EXPECT_EQ(cast.Signal(SIGTERM, 10s), 0) << cast.Output();
  return {readRaw(Dir / "wma.raw"), readRaw(Dir / "mp3.raw")};
}

class CastSound : public ::testing::Test {
protected:
  void SetUp() override {
    if (run("ffmpeg -version >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "ffmpeg is not installed";
    FDir = fs::temp_directory_path() /
           ("sondrix-sound-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
  }
  void TearDown() override { fs::remove_all(FDir); }
  fs::path FDir;
};

TEST_F(CastSound, EveryTrackWholeWithoutDeadAirAtOneLoudness) {
  const std::vector<Track> tracks = {
      {"loud", 4, 1.0, 440, 880, -12},
      {"quiet", 6, 1.0, 550, 1100, -30},
      {"jingle", 3, 1.0, 660, 1320, -12},
      {"padded", 4, 1.0, 770, 1540, -18, 1.0, 2.0},
      {"drums", 4, 1.0, 330, 990, -28, 0, 0, 0, true},
  };
  // A short lead-in first: a listener's recording may begin a moment into the broadcast, and
  // what is measured must be heard whole.
  std::vector<std::string> files = {makeTrack(FDir, {"lead-in", 2, 0.5, 1900, 2300, -20})};
  for (const Track& t : tracks)
    files.push_back(makeTrack(FDir, t));
  const Recording heard = listen(FDir, files, {}, 24);
  for (const auto& [flavour, pcm] : {std::pair{"mmsh", &heard.Wma}, {"mp3", &heard.Mp3}}) {
    SCOPED_TRACE(flavour);
    ASSERT_GE(pcm->size() / 2, static_cast<std::size_t>(23 * kRate));
    // Each ending is heard to its end, and the body before it: nothing of a track is cut.
    std::vector<std::pair<double, double>> spans; // where each track is heard, seconds
    for (const Track& t : tracks) {
      SCOPED_TRACE(t.Name);
      const auto body = runsOf(*pcm, t.BodyHz);
      const auto end = runsOf(*pcm, t.EndHz);
      // The run of the ending that follows a whole body (the first round may start late).
      bool found = false;
      for (const auto& b : body) {
        const auto e = std::find_if(end.begin(), end.end(), [&](auto& r) {
          return r.first + 5 >= b.second && r.first <= b.second + 5;
        });
        if (e == end.end() || e->second == presence(*pcm, t.EndHz).size())
          continue;
        const double bodySeconds = static_cast<double>(b.second - b.first) / 100;
        if (bodySeconds < t.Seconds - t.Ending - 0.1)
          continue;
        EXPECT_NEAR(bodySeconds, t.Seconds - t.Ending, 0.06);
        EXPECT_NEAR(static_cast<double>(e->second - e->first) / 100, t.Ending, 0.06);
        spans.emplace_back(static_cast<double>(b.first) / 100,
                           static_cast<double>(e->second) / 100);
        found = true;
        break;
      }
      EXPECT_TRUE(found) << "no whole play of " << t.Name;
    }
    // No change holds dead air, the padded track's included.
    EXPECT_LE(longestSilence(*pcm), 0.1);
    // The loud and the quiet track arrive within 1 LU of each other and of the target.
    ASSERT_EQ(spans.size(), tracks.size());
    const double loud = loudness(*pcm, spans[0].first + 0.3, spans[0].second - 0.3);
    const double quiet = loudness(*pcm, spans[1].first + 0.3, spans[1].second - 0.3);
    EXPECT_NEAR(loud, -16, 1.0);
    EXPECT_NEAR(quiet, -16, 1.0);
    EXPECT_NEAR(loud, quiet, 1.0);
    // The drum hits stand far above the track's loudness: the limiter holds them.
    EXPECT_LE(truePeakDb(*pcm), -1.0);
  }
}

TEST_F(CastSound, ACrossfadeCrossesAFadeWhereItBeginsAndLeavesJinglesWhole) {
  const std::vector<Track> tracks = {
      {"fading", 8, 3.0, 500, 500, -18, 0, 0, 3.0},
      {"cold", 6, 1.0, 1000, 1250, -18},
      {"jingle", 3, 1.0, 700, 1400, -18},
  };
  std::vector<std::string> files;
  for (const Track& t : tracks)
    files.push_back(makeTrack(FDir, t));
  const Recording heard = listen(FDir, files, {"--crossfade", "3"}, 17);
  for (const auto& [flavour, pcm] : {std::pair{"mmsh", &heard.Wma}, {"mp3", &heard.Mp3}}) {
    SCOPED_TRACE(flavour);
    const auto fading = runsOf(*pcm, 500);
    const auto cold = runsOf(*pcm, 1000);
    const auto coldEnd = runsOf(*pcm, 1250);
    const auto jingle = runsOf(*pcm, 700);
    const auto jingleEnd = runsOf(*pcm, 1400);
    ASSERT_FALSE(fading.empty() || cold.empty() || coldEnd.empty() || jingle.empty() ||
                 jingleEnd.empty());
    // The next track starts under the fade, near where it begins, not after it.
    const double overlap = static_cast<double>(fading.front().second) / 100 -
                           static_cast<double>(cold.front().first) / 100;
    EXPECT_GT(overlap, 1.5);
    EXPECT_LE(overlap, 3.1);
    // The cold ending is heard to its end, and the jingle after it is not faded in or out.
    EXPECT_NEAR(static_cast<double>(coldEnd.front().second - coldEnd.front().first) / 100, 1.0,
                0.06);
    EXPECT_NEAR(static_cast<double>(jingle.front().first),
                static_cast<double>(coldEnd.front().second), 6);
    EXPECT_NEAR(static_cast<double>(jingleEnd.front().second - jingle.front().first) / 100, 3.0,
                0.06);
  }
}

TEST_F(CastSound, CommandsOnItsInputSkipAndPlayWithinASecond) {
  const std::vector<Track> tracks = {
      {"first", 12, 1.0, 440, 880, -18},
      {"second", 12, 1.0, 660, 1320, -18},
      {"third", 12, 1.0, 990, 1980, -18},
  };
  std::vector<std::string> files;
  for (const Track& t : tracks)
    files.push_back(makeTrack(FDir, t));
  // The listener's recording starts with the broadcast (a new listener gets what the station
  // has sent so far), so times in it count from going on air.
  const Recording heard = listen(FDir, files, {"--crossfade", "2"}, 9, [](CastProcess& cast) {
    std::this_thread::sleep_for(3s);
    cast.Send("next\n");
    std::this_thread::sleep_for(3s);
    cast.Send("nonsense\nplay 1\n");
  });
  for (const auto& [flavour, pcm] : {std::pair{"mmsh", &heard.Wma}, {"mp3", &heard.Mp3}}) {
    SCOPED_TRACE(flavour);
    const auto first = runsOf(*pcm, 440);
    const auto second = runsOf(*pcm, 660);
    ASSERT_GE(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    const double start = static_cast<double>(first[0].first) / 100;
    const double skipped = static_cast<double>(second[0].first) / 100 - start;
    const double played = static_cast<double>(first[1].first) / 100 - start;
    // Each command is heard within a second of being given.
    EXPECT_GT(skipped, 2.9);
    EXPECT_LT(skipped, 4.0);
    EXPECT_GT(played, 5.9);
    EXPECT_LT(played, 7.0);
    // The cut track fades for at most the half second a skip takes, and its ending is never
    // heard: it was skipped, not played out.
    EXPECT_LE(static_cast<double>(first[0].second - second[0].first) / 100, 0.6);
    for (const double absent : {880.0, 990.0}) {
      const std::vector<double> p = presence(*pcm, absent);
      EXPECT_LT(*std::max_element(p.begin(), p.end()), -45) << absent << " Hz";
    }
  }
}

} // namespace
