#include "cast_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sondrix::test::CastProcess;
using sondrix::test::freePort;
using sondrix::test::haveFfmpeg;
using sondrix::test::run;

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// Zero crossings per second of the left channel in [from, to) seconds.
double frequencyOf(const std::vector<std::int16_t>& pcm, double from, double to) {
  const auto a = static_cast<std::size_t>(from * 44100), b = static_cast<std::size_t>(to * 44100);
  int crossings = 0;
  for (std::size_t i = a + 1; i < b && 2 * i < pcm.size(); ++i)
    if ((pcm[2 * (i - 1)] < 0) != (pcm[2 * i] < 0))
      ++crossings;
  return crossings / 2.0 / (to - from);
}

class CastEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    if (!haveFfmpeg())
      GTEST_SKIP() << "ffmpeg is not installed";
    dir = fs::temp_directory_path() / ("sondrix-cast-e2e-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:"
                  "duration=5 -ac 2 -c:a libmp3lame -b:a 128k -metadata artist=Alpha -metadata "
                  "title=First " +
                  (dir / "a.mp3").string()),
              0);
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=880:sample_rate=22050:"
                  "duration=5 -ac 1 -c:a libmp3lame -b:a 64k -metadata artist=Beta -metadata "
                  "title=Second " +
                  (dir / "b.mp3").string()),
              0);
    std::ofstream(dir / "list.spl") << "a.mp3\nb.mp3\n";
  }
  void TearDown() override {
    if (!dir.empty())
      fs::remove_all(dir);
  }
  fs::path dir;
};

TEST_F(CastEndToEnd, PlaysAPlaylistInALoopToARealListenerAndStopsCleanly) {
  const std::uint16_t port = freePort();
  CastProcess cast({"--port", std::to_string(port), "--address", "127.0.0.1", "--name", "Test FM",
                    (dir / "list.spl").string()});
  ASSERT_TRUE(cast.WaitForText("On air", 20s)) << cast.Output();

  const fs::path raw = dir / "heard.raw";
  const int rc =
      run("timeout 60 ffmpeg -nostdin -v error -t 14 -i mmsh://127.0.0.1:" + std::to_string(port) +
          "/ -f s16le -ac 2 -ar 44100 -y " + raw.string());
  EXPECT_EQ(rc, 0) << cast.Output();
  std::vector<std::int16_t> pcm(fs::exists(raw) ? fs::file_size(raw) / 2 : 0);
  if (!pcm.empty()) {
    std::ifstream in(raw, std::ios::binary);
    in.read(reinterpret_cast<char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
  }
  EXPECT_NEAR(double(pcm.size()) / 2 / 44100, 14.0, 0.1);
  // Both tracks were heard at their own pitch: count the seconds of each tone.
  int at440 = 0, at880 = 0;
  for (double t = 0; t + 1 <= double(pcm.size()) / 2 / 44100; t += 1) {
    const double f = frequencyOf(pcm, t, t + 1);
    at440 += std::abs(f - 440) < 10;
    at880 += std::abs(f - 880) < 10;
  }
  EXPECT_GE(at440, 3);
  EXPECT_GE(at880, 3);

  const std::string out = cast.Output();
  EXPECT_GE(countOf(out, "Track 1/2"), 2) << out; // wrapped from the last track to the first
  EXPECT_GE(countOf(out, "Track 2/2"), 1) << out;
  EXPECT_NE(out.find("(Alpha - First)"), std::string::npos) << out;
  EXPECT_NE(out.find("Listener connected (1 listening)"), std::string::npos) << out;
  EXPECT_TRUE(cast.WaitForText("Listener disconnected (0 listening)", 10s)) << cast.Output();

  EXPECT_EQ(cast.Signal(SIGINT, 10s), 0);
  EXPECT_NE(cast.Output().find("Stopped"), std::string::npos);
}

TEST_F(CastEndToEnd, ATakenPortEndsTheBroadcastWithTheError) {
  // Held on all IPv4 addresses: the station's port is then taken, with or without IPv6.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  CastProcess cast({"--port", std::to_string(ntohs(a.sin_port)), "--address", "127.0.0.1",
                    (dir / "a.mp3").string()});
  EXPECT_TRUE(cast.WaitForText("Cannot create file", 20s)) << cast.Output();
  EXPECT_EQ(cast.Signal(SIGTERM, 10s), 1);
  ::close(fd);
}

TEST_F(CastEndToEnd, ALoneOneSecondJingleLoopsOncePerSecondAndCtrlCStopsAtOnce) {
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=660:duration=1 -ac 2 "
                "-c:a libmp3lame " +
                (dir / "jingle.mp3").string()),
            0);
  CastProcess cast({"--port", std::to_string(freePort()), "--address", "127.0.0.1",
                    (dir / "jingle.mp3").string()});
  ASSERT_TRUE(cast.WaitForText("On air", 20s)) << cast.Output();
  std::this_thread::sleep_for(4s);
  // Once per pass (the first passes go out faster, as the listeners' lead is filled).
  const int passes = countOf(cast.Output(), "Track 1/1");
  EXPECT_GE(passes, 3) << cast.Output();
  EXPECT_LE(passes, 8) << cast.Output();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(cast.Signal(SIGINT, 10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
}

TEST_F(CastEndToEnd, FilesThatCannotPlayAreLeftOutAtTheStartByName) {
  std::ofstream(dir / "j.mp3") << "hello";
  fs::create_directory(dir / "x.mp3");
  // A 5.1 file first fixes a stereo run; it is no reason to leave anything out.
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=96000:"
                "duration=3 -af 'pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0' -c:a flac " +
                (dir / "six.flac").string()),
            0);
  const std::string text = (dir / "j.mp3").string(), folder = (dir / "x.mp3").string();
  CastProcess cast({"--port", std::to_string(freePort()), "--address", "127.0.0.1",
                    (dir / "six.flac").string(), text, folder, (dir / "b.mp3").string()});
  ASSERT_TRUE(cast.WaitForText("On air", 20s)) << cast.Output();
  const std::string out = cast.Output();
  EXPECT_NE(out.find("Leaving out " + text + ": Not a media file, or a damaged one"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Leaving out " + folder + ": Is a directory"), std::string::npos) << out;
  EXPECT_NE(out.find("(2 tracks"), std::string::npos) << out;
  EXPECT_TRUE(cast.WaitForText("Track 2/2: " + (dir / "b.mp3").string(), 20s)) << cast.Output();
  EXPECT_EQ(cast.Signal(SIGINT, 10s), 0) << cast.Output();
}

TEST_F(CastEndToEnd, WithNoFileThatCanPlayItExitsWithStatus1) {
  std::ofstream(dir / "j.mp3") << "hello";
  std::ofstream(dir / "empty.mp3");
  CastProcess cast({"--port", std::to_string(freePort()), "--address", "127.0.0.1",
                    (dir / "j.mp3").string(), (dir / "empty.mp3").string()});
  EXPECT_EQ(cast.Signal(0, 20s), 1) << cast.Output();
  const std::string out = cast.Output();
  EXPECT_NE(out.find("empty.mp3: The file is empty"), std::string::npos) << out;
  EXPECT_NE(out.find("No file can be played"), std::string::npos) << out;
  EXPECT_EQ(out.find("On air"), std::string::npos) << out;
}

TEST_F(CastEndToEnd, AFileThatGoesAwayDuringTheRunEndsItWithTheTrackAndStatus1) {
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=660:duration=2 -ac 2 "
                "-c:a libmp3lame " +
                (dir / "short.mp3").string()),
            0);
  fs::copy_file(dir / "b.mp3", dir / "doomed.mp3");
  CastProcess cast({"--port", std::to_string(freePort()), "--address", "127.0.0.1",
                    (dir / "short.mp3").string(), (dir / "doomed.mp3").string()});
  ASSERT_TRUE(cast.WaitForText("On air", 20s)) << cast.Output();
  fs::remove(dir / "doomed.mp3");
  EXPECT_EQ(cast.Signal(0, 20s), 1) << cast.Output();
  const std::string out = cast.Output();
  EXPECT_NE(out.find("doomed.mp3: No such file or directory"), std::string::npos) << out;
  EXPECT_NE(out.find("Broadcast ended"), std::string::npos) << out;
}

TEST(CastCommandLine, HelpAndBadArgumentsAnswerAtOnce) {
  EXPECT_EQ(WEXITSTATUS(run(std::string(SONDRIX_CAST_BINARY) + " --help >/dev/null")), 0);
  EXPECT_EQ(WEXITSTATUS(run(std::string(SONDRIX_CAST_BINARY) + " --port x a.mp3 2>/dev/null")), 2);
  EXPECT_EQ(WEXITSTATUS(run(std::string(SONDRIX_CAST_BINARY) + " 2>/dev/null")), 2);
}

} // namespace
