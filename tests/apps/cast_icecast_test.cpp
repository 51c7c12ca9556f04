// sondrix-cast as the source of real Icecast servers: a master it pushes to, a relay pulling
// from that master, a wrong password, and the master dying under it. One station and one pair
// of servers serve every check, so the whole visit is one test.
#include "cast_process.h"
#include "loopback_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sondrix::test::CastProcess;
using sondrix::test::freePort;
using sondrix::test::run;
using sondrix::test::Socket;

// Characters that must be percent-encoded in the URL and reach the server decoded.
constexpr char kPassword[] = "s3:cr@t/pw";
constexpr char kEscapedPassword[] = "s3%3Acr%40t%2Fpw";

// One icecast2 server with its configuration in a folder of its own; run as the icecast2 user
// when we are root (it refuses to run as root).
class Icecast {
public:
  // Template: a configuration of docs/icecast with @NAME@ values; Values fills them in.
  Icecast(fs::path dir, std::uint16_t port, const std::string& Template,
          std::vector<std::pair<std::string, std::string>> Values)
      : FDir(std::move(dir)), FPort(port) {
    fs::create_directories(FDir / "log");
    ::chmod(FDir.c_str(), 0755);
    std::ifstream in(fs::path(SONDRIX_SOURCE_DIR) / "docs/icecast" / Template);
    std::stringstream text;
    text << in.rdbuf();
    std::string xml = text.str();
    Values.insert(Values.end(), {{"PORT", std::to_string(port)},
                                 {"BIND_ADDRESS", "127.0.0.1"},
                                 {"HOSTNAME", "127.0.0.1"},
                                 {"ADMIN_EMAIL", "test@localhost"},
                                 {"CLIENTS", "50"},
                                 {"SOURCE_PASSWORD", kPassword},
                                 {"ADMIN_PASSWORD", kPassword},
                                 {"LOGDIR", (FDir / "log").string()}});
    for (const auto& [name, value] : Values)
      for (std::size_t at; (at = xml.find("@" + name + "@")) != std::string::npos;)
        xml.replace(at, name.size() + 2, value);
    std::smatch left;
    if (xml.empty())
      FUnfilled = "no template " + Template;
    else if (std::regex_search(xml, left, std::regex("@[A-Z_]+@")))
      FUnfilled = left.str();
    std::ofstream(FDir / "icecast.xml") << xml;
    if (::geteuid() == 0) {
      const passwd* user = ::getpwnam("icecast2");
      // A server that could not write its log would fail in ways that mislead.
      if (user != nullptr && ::chown((FDir / "log").c_str(), user->pw_uid, user->pw_gid) == 0) {
        FPrefix = {"setpriv", "--reuid=" + std::to_string(user->pw_uid),
                   "--regid=" + std::to_string(user->pw_gid), "--clear-groups"};
      }
    }
  }
  ~Icecast() { Kill(); }

  // Starts the server and waits until it answers; false (with Why) when it does not.
  bool Start(std::string& Why) {
    if (::geteuid() == 0 && FPrefix.empty()) {
      Why = "running as root and there is no icecast2 user to run icecast2 as";
      return false;
    }
    std::vector<std::string> args = FPrefix;
    args.insert(args.end(), {"icecast2", "-c", (FDir / "icecast.xml").string()});
    FPid = ::fork();
    if (FPid == 0) {
      const int out = ::open((FDir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      std::vector<char*> argv;
      for (std::string& a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        Why = "icecast2 ended at once: " + Log();
        return false;
      }
      if (Socket(FPort).connected())
        return true;
      std::this_thread::sleep_for(100ms);
    }
    Why = "icecast2 does not answer: " + Log();
    return false;
  }
  void Kill() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
  }
  std::string Log() const {
    std::ifstream out(FDir / "out.txt"), error(FDir / "log/error.log");
    std::stringstream text;
    text << out.rdbuf() << error.rdbuf();
    return text.str();
  }
  std::uint16_t Port() const { return FPort; }
  // A value the template asks for that was not given; empty when all were.
  const std::string& Unfilled() const { return FUnfilled; }

private:
  fs::path FDir;
  std::uint16_t FPort;
  std::vector<std::string> FPrefix;
  pid_t FPid = -1;
  std::string FUnfilled;
};

// The distinct titles a listener with Icy-MetaData gets from a mount, in order, until Done
// says enough or the time is up.
std::vector<std::string>
icyTitles(std::uint16_t port, const std::string& mount, std::chrono::seconds span,
          const std::function<bool(const std::vector<std::string>&)>& Done) {
  Socket s(port);
  s.send("GET " + mount + " HTTP/1.0\r\nIcy-MetaData: 1\r\n\r\n");
  const std::string head = s.readHead();
  const std::size_t at = head.find("icy-metaint:");
  if (!head.starts_with("HTTP/1.0 200") || at == std::string::npos)
    return {"no metadata: " + head};
  const std::size_t interval = std::stoul(head.substr(at + 12));
  std::vector<std::string> titles;
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end && !Done(titles)) {
    std::string audio, length, text;
    if (!s.read(interval, audio) || !s.read(1, length))
      break;
    if (length[0] != 0 && !s.read(static_cast<unsigned char>(length[0]) * 16u, text))
      break;
    const std::size_t start = text.find("StreamTitle='");
    const std::size_t stop = text.find("';", start);
    if (start == std::string::npos || stop == std::string::npos)
      continue;
    const std::string title = text.substr(start + 13, stop - start - 13);
    if (titles.empty() || titles.back() != title)
      titles.push_back(title);
  }
  return titles;
}

// Seconds of audio ffmpeg decodes from a URL within a time limit.
double decodedSeconds(const fs::path& dir, const std::string& url, int seconds) {
  const fs::path raw = dir / "heard.raw";
  fs::remove(raw);
  run("timeout " + std::to_string(seconds + 15) + " ffmpeg -nostdin -v error -i " + url + " -t " +
      std::to_string(seconds) + " -f s16le -ac 2 -ar 44100 " + raw.string() + " 2>/dev/null");
  return fs::exists(raw) ? static_cast<double>(fs::file_size(raw)) / (44100 * 4) : 0;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

bool waitForCount(CastProcess& cast, const std::string& what, std::size_t n,
                  std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (count(cast.Output(), what) >= n)
      return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

TEST(CastIcecast, PushesToAMasterThatRelaysItAndRecoversFromRefusalsAndRestarts) {
  if (run("command -v icecast2 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "icecast2 is not installed (scripts/setup installs it)";
  if (run("ffmpeg -version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ffmpeg is not installed";
  char pattern[] = "/tmp/sondrix-icecast-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  ::chmod(dir.c_str(), 0755);

  Icecast master(dir / "master", freePort(), "master.xml", {});
  ASSERT_EQ(master.Unfilled(), "");
  std::string why;
  if (!master.Start(why)) {
    fs::remove_all(dir);
    GTEST_SKIP() << "icecast2 cannot run here: " << why;
  }
  const std::string masterPort = std::to_string(master.Port());

  // Three short tracks, so titles change every few seconds; one title in Cyrillic.
  const std::vector<std::string> titles = {"Alpha - One", "Beta - Два", "Gamma - Three"};
  std::vector<std::string> files;
  for (std::size_t i = 0; i < titles.size(); ++i) {
    const std::string file = (dir / ("t" + std::to_string(i) + ".mp3")).string();
    const std::size_t dash = titles[i].find(" - ");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=" +
                  std::to_string(330 + 110 * i) +
                  ":sample_rate=44100:duration=5 -ac 2 -c:a libmp3lame -b:a 128k "
                  "-metadata 'artist=" +
                  titles[i].substr(0, dash) + "' -metadata 'title=" + titles[i].substr(dash + 3) +
                  "' " + file),
              0);
    files.push_back(file);
  }

  // A server that takes connections and never answers them.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in silentAddress{};
  silentAddress.sin_family = AF_INET;
  silentAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t silentLength = sizeof silentAddress;
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&silentAddress), silentLength), 0);
  ASSERT_EQ(::listen(silent, 8), 0);
  ::getsockname(silent, reinterpret_cast<sockaddr*>(&silentAddress), &silentLength);
  const std::string mute = "127.0.0.1:" + std::to_string(ntohs(silentAddress.sin_port)) + "/live";

  const std::uint16_t port = freePort();
  const std::string good = "127.0.0.1:" + masterPort + "/live";
  const std::string bad = "127.0.0.1:" + masterPort + "/other";
  std::vector<std::string> args = {
      "--port",    std::to_string(port),
      "--address", "127.0.0.1",
      "--name",    "Relay Test FM",
      "--icecast", "icecast://source:" + std::string(kEscapedPassword) + "@" + good,
      "--icecast", "icecast://source:wrong@" + bad,
      "--icecast", "icecast://source:x@" + mute};
  args.insert(args.end(), files.begin(), files.end());
  CastProcess cast(args);
  ASSERT_TRUE(cast.WaitForText("Icecast " + good + ": connected", 20s))
      << cast.Output() << master.Log();
  // Icecast writes an MP3 mount's ICY titles in Latin-1, other characters as HTML character
  // references: "Два" arrives so only if it was sent as UTF-8 and said so.
  const std::set<std::string> known = {titles[0], "Beta - &#1044;&#1074;&#1072;", titles[2]};
  const auto allKnown = [&known](const std::vector<std::string>& seen) {
    std::set<std::string> distinct;
    for (const std::string& t : seen)
      if (known.contains(t))
        distinct.insert(t);
    return distinct.size() == known.size();
  };

  {
    SCOPED_TRACE("a player decodes the station from the master, titles change with the tracks");
    std::vector<std::string> seen;
    std::thread titled([&] { seen = icyTitles(master.Port(), "/live", 25s, allKnown); });
    EXPECT_GE(decodedSeconds(dir, "http://" + good, 8), 8.0);
    titled.join();
    EXPECT_TRUE(allKnown(seen)) << ::testing::PrintToString(seen);
  }

  {
    SCOPED_TRACE("a wrong password is reported and retried; local listeners hear on");
    EXPECT_TRUE(waitForCount(cast, "Icecast " + bad + ": login refused (401), retrying in", 2, 10s))
        << cast.Output();
    Socket listener(port);
    listener.send("GET /stream.mp3 HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(listener.readHead().starts_with("HTTP/1.0 200"));
    std::string audio;
    EXPECT_TRUE(listener.read(32 * 1024, audio));
  }

  {
    SCOPED_TRACE("a relay of the master serves the stream with the current title");
    Icecast relay(dir / "relay", freePort(), "relay.xml",
                  {{"MASTER_HOST", "127.0.0.1"}, {"MASTER_PORT", masterPort}});
    ASSERT_EQ(relay.Unfilled(), "");
    ASSERT_TRUE(relay.Start(why)) << why;
    const std::string relayed = "http://127.0.0.1:" + std::to_string(relay.Port()) + "/live";
    double heard = 0;
    // The relay needs a moment to pull the mount.
    for (int i = 0; i < 10 && heard < 3; ++i) {
      heard = decodedSeconds(dir, relayed, 3);
      if (heard < 3)
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_GE(heard, 3.0) << relay.Log();
    const auto seen = icyTitles(relay.Port(), "/live", 15s, [&known](const auto& t) {
      return !t.empty() && known.contains(t.back());
    });
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(known.contains(seen.back())) << ::testing::PrintToString(seen);
  }

  {
    SCOPED_TRACE("with the local MP3 flavour off the encoder still feeds the push; a mount "
                 "another source holds is refused");
    const std::uint16_t quietPort = freePort();
    const std::string mount = "127.0.0.1:" + masterPort + "/quiet";
    CastProcess quiet(
        {"--port", std::to_string(quietPort), "--address", "127.0.0.1", "--no-mp3", "--icecast",
         "icecast://source:" + std::string(kEscapedPassword) + "@" + mount, "--icecast",
         "icecast://source:" + std::string(kEscapedPassword) + "@" + good, files[0]});
    ASSERT_TRUE(quiet.WaitForText("Icecast " + mount + ": connected", 20s)) << quiet.Output();
    EXPECT_GE(decodedSeconds(dir, "http://" + mount, 2), 2.0);
    EXPECT_TRUE(quiet.WaitForText("Icecast " + good + ": mount refused (403", 10s))
        << quiet.Output();
    Socket local(quietPort);
    local.send("GET /stream.mp3 HTTP/1.0\r\n\r\n");
    EXPECT_FALSE(local.readHead().starts_with("HTTP/1.0 200"));
    EXPECT_EQ(quiet.Signal(SIGTERM, 10s), 0) << quiet.Output();
  }

  {
    SCOPED_TRACE("the master killed and started again: the push comes back by itself");
    master.Kill();
    EXPECT_TRUE(cast.WaitForText("Icecast " + good + ": connection lost", 15s)) << cast.Output();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(master.Start(why)) << why;
    // Lost after a short connection the backoff may have reached 2 s, then 4 s.
    EXPECT_TRUE(waitForCount(cast, "Icecast " + good + ": connected", 2, 15s)) << cast.Output();
    // A new source has no title until told; the station tells it without waiting for a track.
    std::string status;
    for (int i = 0; i < 20 && status.find("\"title\"") == std::string::npos; ++i) {
      std::this_thread::sleep_for(100ms);
      Socket s(master.Port());
      s.send("GET /status-json.xsl HTTP/1.0\r\n\r\n");
      status.clear();
      s.read(1 << 16, status, 2s);
    }
    EXPECT_NE(status.find("\"title\""), std::string::npos) << status;
    EXPECT_GE(decodedSeconds(dir, "http://" + good, 2), 2.0);
  }

  {
    SCOPED_TRACE("a server that never answers the login times out and is tried again");
    EXPECT_TRUE(cast.WaitForText("Icecast " + mute + ": timed out, retrying in 1 s", 15s))
        << cast.Output();
  }

  const auto stopStarted = std::chrono::steady_clock::now();
  EXPECT_EQ(cast.Signal(SIGTERM, 10s), 0) << cast.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, 5s) << "stopping waits for pushes";
  master.Kill();
  ::close(silent);
  fs::remove_all(dir);
}

} // namespace
