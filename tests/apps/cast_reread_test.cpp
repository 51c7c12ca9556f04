// sondrix-cast run as a service would run it: settings from --config, the playlist reread on
// SIGHUP under listeners that stay, and SIGTERM ending it at once with the listeners told. One
// station serves every check.
#include "cast_process.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sondrix::test::CastProcess;
using sondrix::test::freePort;
using sondrix::test::haveFfmpeg;
using sondrix::test::run;
using Clock = std::chrono::steady_clock;

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

bool waitFor(CastProcess& cast, const std::string& text, int times, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (countOf(cast.Output(), text) >= times)
      return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// Half seconds of the left channel in which the tone at Hz stands (crossings within 10 Hz).
int halfSecondsAt(const fs::path& raw, double hz) {
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t frames = bytes.size() / 4;
  const auto left = [&bytes](std::size_t i) {
    std::int16_t v;
    std::memcpy(&v, bytes.data() + 4 * i, 2);
    return v;
  };
  constexpr std::size_t kHalf = 22050;
  int halves = 0;
  for (std::size_t start = 0; start + kHalf <= frames; start += kHalf) {
    int crossings = 0;
    for (std::size_t i = start + 1; i < start + kHalf; ++i)
      crossings += (left(i - 1) < 0) != (left(i) < 0);
    halves += std::abs(crossings - hz) < 10; // two crossings a cycle, half a second
  }
  return halves;
}

TEST(CastService, RereadsItsPlaylistOnAirAndStopsAtOnceOnSigterm) {
  if (!haveFfmpeg())
    GTEST_SKIP() << "ffmpeg is not installed";
  const fs::path dir =
      fs::temp_directory_path() / ("sondrix-cast-svc-" + std::to_string(::getpid()));
  fs::create_directories(dir / "music");
  for (const auto& [name, hz, seconds] : {std::tuple{"a", 440, 3}, {"b", 660, 2}, {"c", 880, 3}})
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=" + std::to_string(hz) +
                  ":duration=" + std::to_string(seconds) + " -ac 2 -c:a libmp3lame " +
                  (dir / "music" / (std::string(name) + ".mp3")).string()),
              0);
  const fs::path list = dir / "music/list.m3u";
  std::ofstream(list) << "a.mp3\n";
  const std::uint16_t port = freePort();
  std::ofstream(dir / "cast.conf") << "; as a service has it\r\n[Settings]\r\nport=" << port
                                   << "\r\nAddress=127.0.0.1\r\nRadioName=Reread FM\r\n"
                                      "Playlist=music/list.m3u\r\n";
  const std::string a = (dir / "music/a.mp3").string(), b = (dir / "music/b.mp3").string(),
                    c = (dir / "music/c.mp3").string();

  CastProcess cast({"--config", (dir / "cast.conf").string()}, /*Journal=*/true);
  ASSERT_TRUE(cast.WaitForText("On air: mms://127.0.0.1:" + std::to_string(port), 20s))
      << cast.Output();
  ASSERT_TRUE(sondrix::test::waitUntilServing(port, 20s)) << cast.Output();

  // A Windows Media listener (a real player) and an MP3 one (bytes and the end of the stream).
  std::atomic<int> playerStatus{-2};
  std::atomic<Clock::rep> playerEnd{0};
  const fs::path heard = dir / "heard.raw";
  std::thread player([&] {
    playerStatus = WEXITSTATUS(run(
        "timeout 60 ffmpeg -nostdin -v error -t 50 -i mmsh://127.0.0.1:" + std::to_string(port) +
        "/ -f s16le -ac 2 -ar 44100 -y " + heard.string() + " 2>" + (dir / "player.log").string()));
    playerEnd = Clock::now().time_since_epoch().count();
  });
  std::atomic<std::size_t> mp3Bytes{0};
  std::atomic<Clock::rep> mp3End{0};
  std::thread mp3([&] {
    const int fd =
        sondrix::test::connectAndSend(port, "GET /stream.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (fd >= 0) {
      // Until the station closes the connection (or 50 s, a failure the checks below catch).
      for (const auto end = Clock::now() + 50s; Clock::now() < end;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
          continue;
        char buffer[8192];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
          break;
        mp3Bytes += static_cast<std::size_t>(n);
      }
      ::close(fd);
    }
    mp3End = Clock::now().time_since_epoch().count();
  });
  const auto joinListeners = [&] {
    player.join();
    mp3.join();
  };

  // Past the listeners' lead, the track plays in its own time: a reread lands within it.
  EXPECT_TRUE(cast.WaitForText("Listener connected (2 listening)", 10s)) << cast.Output();
  EXPECT_TRUE(waitFor(cast, "Track 1/1: " + a, 2, 20s)) << cast.Output();
  std::ofstream(list) << "c.mp3\nmissing.mp3\nb.mp3\na.mp3\n";
  const std::size_t bytesAtReread = mp3Bytes;
  cast.Raise(SIGHUP);
  EXPECT_TRUE(cast.WaitForText("Playlist reread: 3 tracks", 5s)) << cast.Output();
  EXPECT_TRUE(cast.WaitForText("Track 1/3: " + c, 10s)) << cast.Output();
  std::this_thread::sleep_for(1500ms); // c goes out long enough to be told in what is heard
  cast.Send("play 3\n");               // the third of the list now
  EXPECT_TRUE(cast.WaitForText("Track 3/3: " + a, 5s)) << cast.Output();
  EXPECT_GT(mp3Bytes, bytesAtReread + 16000) << "the MP3 listener went on hearing";

  const auto signalled = Clock::now();
  const int status = cast.Signal(SIGTERM, 5s);
  const auto stopped = Clock::now() - signalled;
  joinListeners();
  EXPECT_EQ(status, 0) << cast.Output();
  EXPECT_LT(stopped, 1s) << "from SIGTERM to exit";
  const auto endOf = [&](Clock::rep end) { return Clock::time_point(Clock::duration(end)); };
  EXPECT_EQ(playerStatus, 0) << "the player took the stream's end for a failure";
  EXPECT_LT(endOf(playerEnd) - signalled, 2s) << "the player did not see the end";
  EXPECT_LT(endOf(mp3End) - signalled, 2s) << "the MP3 connection stayed open";

  const std::string out = cast.Output();
  const std::size_t reread = out.find("Playlist reread");
  ASSERT_NE(reread, std::string::npos) << out;
  EXPECT_NE(out.find("Leaving out " + (dir / "music/missing.mp3").string() +
                     ": No such file or directory"),
            std::string::npos)
      << out;
  // What follows the reread is the new list from its first entry; a track of the old list
  // read ahead of the reread (unnumbered) at most once before it.
  const std::size_t firstNumbered = out.find("Track 1/3: ", reread);
  EXPECT_EQ(out.substr(firstNumbered, 11 + c.size()), "Track 1/3: " + c) << out;
  EXPECT_EQ(out.find("Track 2/", reread), std::string::npos) << "play 3 came before b" << out;
  EXPECT_LE(countOf(out.substr(reread, firstNumbered - reread), "Track: "), 1) << out;
  EXPECT_EQ(out.find("Listener disconnected"), std::string::npos) << "a listener dropped" << out;
  // The journal stamps the lines itself.
  EXPECT_EQ(out.find("\n["), std::string::npos) << out;
  EXPECT_EQ(out.rfind("On air", 0), 0u) << out;
  // The new list reached the listener on the same connection: c's tone only it holds.
  EXPECT_GE(halfSecondsAt(heard, 880), 2) << out;
  EXPECT_GE(halfSecondsAt(heard, 440), 4) << out;
  fs::remove_all(dir);
}

TEST(CastService, ABadConfigurationIsOneLineAndStatus2) {
  const fs::path dir =
      fs::temp_directory_path() / ("sondrix-cast-bad-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "cast.conf") << "[Settings]\nPort=8098\nProt=8098\n";
  const auto attempt = [&dir](const fs::path& config, const std::string& expected) {
    const fs::path err = dir / "stderr.txt", out = dir / "stdout.txt";
    const int status = run(std::string(SONDRIX_CAST_BINARY) + " --config " + config.string() +
                           " >" + out.string() + " 2>" + err.string() + " </dev/null");
    EXPECT_EQ(WEXITSTATUS(status), 2) << config;
    std::ifstream e(err), o(out);
    const std::string said((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said, "sondrix-cast: " + config.string() + expected + "\n");
    EXPECT_EQ(o.peek(), std::ifstream::traits_type::eof())
        << "no usage text for the file's mistake";
  };
  attempt(dir / "cast.conf", ":3: unknown key \"Prot\"");
  attempt(dir / "nowhere.conf", ": cannot be read (No such file or directory)");
  fs::remove_all(dir);
}

} // namespace
