#include "cast_config.h"
#include "cast_playlist.h"
#include "console_commands.h"
#include "console_view.h"
#include "journal_stream.h"
#include "wake_pipe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace sondrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CastConfigFile : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = fs::temp_directory_path() / ("sondrix-cast-config-" + std::to_string(::getpid()));
    fs::create_directories(dir / "lists");
    std::ofstream(dir / "lists/night.m3u") << "a.mp3\n";
  }
  static void TearDownTestSuite() { fs::remove_all(dir); }

  // Writes Text as a file of the folder; its path.
  static std::string write(const std::string& Name, const std::string& Text) {
    std::ofstream(dir / Name, std::ios::binary) << Text;
    return (dir / Name).string();
  }
  // The message of the ECastConfig that reading the command line throws, or what went wrong.
  static std::string errorOf(const std::vector<std::string>& Args) {
    try {
      castOptionsOf(Args);
      return "no error";
    } catch (const ECastConfig& e) {
      return e.what();
    } catch (const std::exception& e) {
      return std::string("not ECastConfig: ") + e.what();
    }
  }

  static inline fs::path dir;
};

TEST_F(CastConfigFile, EveryKeyIsReadWithCommentsCrLfAndAnyCase) {
  const std::string path = write("good.conf", "\xEF\xBB\xBF; a service's settings\r\n"
                                              "# comments of both kinds\r\n"
                                              "\r\n"
                                              "[Window]\r\n"
                                              "Top=-12\r\n"
                                              "left=40\r\n"
                                              "[ settings ]\r\n"
                                              "  PORT = 9100  \r\n"
                                              "Bitrate=64\r\n"
                                              "max=7\r\n"
                                              "Random=1\r\n"
                                              "RadioName=Night FM; all night\r\n"
                                              "Language=ru\r\n"
                                              "ShowWarning=0\r\n"
                                              "Mp3Stream=0\r\n"
                                              "IcecastUrl=icecast://source:pw@a:8000/live\r\n"
                                              "icecasturl=icecast://source:pw@b:8000/m\r\n"
                                              "Loudness=-23.5\r\n"
                                              "Crossfade=2.5\r\n"
                                              "TrimSilence=0\r\n"
                                              "Bind=::1\r\n"
                                              "Address=radio.example\r\n"
                                              "Playlist=lists/night.m3u\r\n");
  const CastConfig config = readCastConfig(path);
  const CastOptions& o = config.Options;
  EXPECT_EQ(o.Port, 9100u);
  EXPECT_EQ(o.BitrateKbps, 64u);
  EXPECT_EQ(o.MaxListeners, 7u);
  EXPECT_TRUE(o.Shuffle);
  EXPECT_EQ(o.Name, "Night FM; all night");
  EXPECT_FALSE(o.Mp3);
  EXPECT_EQ(o.IcecastUrls, (std::vector<std::string>{"icecast://source:pw@a:8000/live",
                                                     "icecast://source:pw@b:8000/m"}));
  EXPECT_EQ(o.Loudness, -23.5);
  EXPECT_EQ(o.Crossfade, 2.5);
  EXPECT_FALSE(o.TrimSilence);
  EXPECT_EQ(o.Bind, "::1");
  EXPECT_EQ(o.Address, "radio.example");
  EXPECT_EQ(o.Paths, std::vector<std::string>{(dir / "lists/night.m3u").string()});
  EXPECT_EQ(config.PlaylistLine, 23u);

  // The window's own file, as it writes it: empty values keep the defaults.
  const CastConfig window = readCastConfig(
      write("config.cfg", "[Window]\nTop=0\nLeft=0\n[Settings]\nBitrate=128\nMax=0\nPort=8098\n"
                          "Random=0\nLanguage=en\nRadioName=My Radio\nShowWarning=1\nMp3Stream=1\n"
                          "IcecastUrl=\nLoudness=off\nCrossfade=0\nTrimSilence=1\nBind=\n"));
  EXPECT_EQ(window.Options.Name, "My Radio");
  EXPECT_FALSE(window.Options.Loudness.has_value());
  EXPECT_TRUE(window.Options.IcecastUrls.empty());
  EXPECT_TRUE(window.Options.Bind.empty());
  EXPECT_TRUE(window.Options.Paths.empty());
  EXPECT_TRUE(window.Notes.empty());
}

TEST_F(CastConfigFile, TheCommandLineOverridesTheFile) {
  const std::string path = write("base.conf", "[Settings]\nPort=9100\nRadioName=From file\n"
                                              "IcecastUrl=icecast://source:pw@a:8000/live\n"
                                              "Playlist=lists/night.m3u\n");
  const CastOptions file = castOptionsOf({"--config", path});
  EXPECT_EQ(file.Port, 9100u);
  EXPECT_EQ(file.Paths, std::vector<std::string>{(dir / "lists/night.m3u").string()});
  EXPECT_EQ(file.Config, path);

  const CastOptions o = castOptionsOf({"--port", "9200", "--config", path, "--icecast",
                                       "icecast://source:pw@c:8000/x", "one.mp3", "two.m3u"});
  EXPECT_EQ(o.Port, 9200u) << "an option before --config still wins";
  EXPECT_EQ(o.Name, "From file");
  EXPECT_EQ(o.IcecastUrls, std::vector<std::string>{"icecast://source:pw@c:8000/x"});
  EXPECT_EQ(o.Paths, (std::vector<std::string>{"one.mp3", "two.m3u"}));

  // PATHs given replace a playlist that is not there yet; without them it is missed.
  const std::string absent = write("absent.conf", "[Settings]\nPlaylist=/nonexistent/list.m3u\n");
  EXPECT_EQ(castOptionsOf({"--config", absent, "x.mp3"}).Paths, std::vector<std::string>{"x.mp3"});
  EXPECT_THROW(castOptionsOf({"--config", write("none.conf", "[Settings]\nPort=1\n")}),
               std::invalid_argument);
  EXPECT_TRUE(castOptionsOf({"--config", path, "--help"}).Help);
}

TEST_F(CastConfigFile, EachMistakeIsOneLineNamingTheFileAndTheLine) {
  struct Case {
    std::string Text, Expected;
  };
  const std::vector<Case> cases = {
      {"[Settings]\nPort=8098\nProt=8098\n", ":3: unknown key \"Prot\""},
      {"[Settings]\n\n\n\n\n\nPort=80x\n", ":7: Port needs a number from 0 to 65535, not \"80x\""},
      {"[Settings]\nBitrate=0\n", ":2: Bitrate needs a number from 1 to 320000, not \"0\""},
      {"[Settings]\nRandom=yes\n", ":2: Random needs 1 or 0, not \"yes\""},
      {"[Settings]\nLoudness=-40\n", ":2: Loudness needs a number from -30 to -5 or \"off\", "
                                     "not \"-40\""},
      {"[Settings]\nCrossfade=11\n", ":2: Crossfade needs a number from 0 to 10, not \"11\""},
      {"[Settings]\nBind=localhost\n", ":2: Bind localhost: not an IPv4 or IPv6 address"},
      {"[Settings]\nPort=1\nport=2\n", ":3: Port is given twice (first on line 2)"},
      {"[Settings]\nTop=1\n", ":2: unknown key \"Top\""},
      {"[Window]\nPort=1\n", ":2: unknown key \"Port\" in [Window]"},
      {"[Setings]\nPort=1\n", ":1: unknown section \"[Setings]\""},
      {"Port=1\n[Settings]\n", ":1: \"Port\" stands before any section"},
      {"[Settings]\nIcecastUrl icecast://source:secret@h/m\n",
       ":2: not a key=value line, a [section] line or a comment"},
      {"[Settings]\n=1\n", ":2: not a key=value line"},
      {"[Settings\n", ":1: not a key=value line"},
      {"[Settings]\nPlaylist=song.mp3\n", ":2: Playlist needs a .spl, .m3u, .m3u8 or .pls file"},
      {"[Settings]\nPort=1\nPlaylist=gone.m3u\n", ":3: Playlist " + (dir / "gone.m3u").string() +
                                                      ": cannot be read (No such file or "
                                                      "directory)"},
  };
  for (const Case& c : cases) {
    const std::string path = write("bad.conf", c.Text);
    const std::string error = errorOf({"--config", path});
    EXPECT_EQ(error.rfind(path + c.Expected, 0), 0u) << c.Text << " gave " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  // A server URL that does not parse is shown without its password.
  const std::string error = errorOf(
      {"--config", write("ice.conf", "[Settings]\nIcecastUrl=http://source:secret@h:8000/m\n")});
  EXPECT_NE(error.find(":2: IcecastUrl "), std::string::npos) << error;
  EXPECT_NE(error.find("@h:8000/m"), std::string::npos) << error;
  EXPECT_EQ(error.find("secret"), std::string::npos) << error;

  EXPECT_EQ(errorOf({"--config", (dir / "missing.conf").string()}),
            (dir / "missing.conf").string() + ": cannot be read (No such file or directory)");
  EXPECT_EQ(errorOf({"--config", dir.string()}),
            dir.string() + ": cannot be read (Is a directory)");
}

TEST_F(CastConfigFile, AReadableFileWithAPasswordIsNamedInANote) {
  const std::string path = write("ice.conf", "[Settings]\nIcecastUrl=icecast://source:pw@h/m\n");
  ::chmod(path.c_str(), 0644);
  std::vector<std::string> notes;
  castOptionsOf({"--config", path, "x.mp3"}, &notes);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find(path + " holds an Icecast password"), std::string::npos) << notes[0];
  ::chmod(path.c_str(), 0640);
  notes.clear();
  castOptionsOf({"--config", path, "x.mp3"}, &notes);
  EXPECT_TRUE(notes.empty());
}

TEST(CastConfigExample, ThePackagedExampleReadsAsItStands) {
  const CastConfig config = readCastConfig(SONDRIX_SOURCE_DIR "/packaging/cast.conf");
  const CastOptions defaults;
  const CastOptions& o = config.Options;
  EXPECT_EQ(o.Paths, std::vector<std::string>{"/var/lib/sondrix/playlist.m3u"});
  EXPECT_EQ(o.Port, 8098u);
  EXPECT_EQ(o.Name, "Sondrix Radio Station");
  // Everything else is commented out, at the defaults the comments show.
  EXPECT_EQ(o.BitrateKbps, defaults.BitrateKbps);
  EXPECT_EQ(o.MaxListeners, defaults.MaxListeners);
  EXPECT_EQ(o.Shuffle, defaults.Shuffle);
  EXPECT_EQ(o.Mp3, defaults.Mp3);
  EXPECT_TRUE(o.IcecastUrls.empty());
  EXPECT_EQ(o.Loudness, defaults.Loudness);
  EXPECT_EQ(o.Crossfade, defaults.Crossfade);
  EXPECT_EQ(o.TrimSilence, defaults.TrimSilence);
  EXPECT_TRUE(o.Bind.empty());
  EXPECT_TRUE(o.Address.empty());
  EXPECT_TRUE(config.Notes.empty());
  // Each key it shows commented out is one the reader takes.
  std::ifstream in(SONDRIX_SOURCE_DIR "/packaging/cast.conf");
  std::string all = "[Settings]\n", line;
  int shown = 0;
  while (std::getline(in, line))
    if (line.size() > 1 && line[0] == ';' && std::isupper(static_cast<unsigned char>(line[1])) &&
        line.find('=') != std::string::npos) {
      all += line.substr(1) + "\n";
      ++shown;
    }
  EXPECT_GE(shown, 10);
  const fs::path copy = fs::temp_directory_path() / ("sondrix-keys-" + std::to_string(::getpid()));
  std::ofstream(copy) << all;
  EXPECT_NO_THROW(readCastConfig(copy.string())) << all;
  fs::remove(copy);
}

TEST(CastJournal, OnlyTheStreamSystemdNamedCountsAsTheJournal) {
  int a[2], b[2];
  ASSERT_EQ(::pipe(a), 0);
  ASSERT_EQ(::pipe(b), 0);
  struct stat info {};
  ASSERT_EQ(::fstat(a[1], &info), 0);
  const std::string named = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  EXPECT_TRUE(isJournalStream(named.c_str(), a[1]));
  EXPECT_FALSE(isJournalStream(named.c_str(), b[1])) << "redirected elsewhere";
  EXPECT_FALSE(isJournalStream(nullptr, a[1]));
  for (const std::string& bad : {std::string(), std::to_string(info.st_dev), named + "x",
                                 ":" + std::to_string(info.st_ino), "x" + named})
    EXPECT_FALSE(isJournalStream(bad.c_str(), a[1])) << bad;
  for (const int fd : {a[0], a[1], b[0], b[1]})
    ::close(fd);
}

TEST(CastLoop, AWakeUpEndsTheWaitAtOnceAndInputIsTold) {
  TWakePipe wake;
  int input[2];
  ASSERT_EQ(::pipe(input), 0);
  std::thread other([&wake] {
    std::this_thread::sleep_for(50ms);
    wake.Notify();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wake.Wait(5s, input[0]), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  other.join();
  // Used up: the next wait lasts its time.
  start = std::chrono::steady_clock::now();
  wake.Wait(50ms, -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
  ASSERT_EQ(::write(input[1], "next\n", 5), 5);
  EXPECT_NE(wake.Wait(5s, input[0]) & POLLIN, 0);
  ::close(input[0]);
  ::close(input[1]);

  // A service started without standard input: no command, and nothing to wait for.
  TCommandLines closed(input[0]);
  EXPECT_TRUE(closed.Take().empty());
  EXPECT_TRUE(closed.Ended());
}

TEST(CastReread, TheNewListGetsKeysOfItsOwnAndTheLinesNumberIt) {
  std::vector<std::string> lines;
  TConsoleView view(parseCastOptions({"a.mp3"}), {"a.mp3", "b.mp3"},
                    [&lines](const std::string& Line) { lines.push_back(Line); });
  const std::uint64_t oldB = *view.KeyAt(1);
  view.ReplaceList({"c.mp3", "b.mp3", "a.mp3"});
  const std::vector<std::uint64_t> keys = view.Controls().Keys;
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(view.Count(), 3u);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(view.KeyAt(i), keys[i]);
    EXPECT_GT(keys[i], oldB) << "a key of the old list taken again";
  }
  EXPECT_FALSE(view.KeyAt(3).has_value());
  view.TrackChanged(static_cast<std::size_t>(keys[2]), 2, "a.mp3", "", "");
  view.TrackChanged(static_cast<std::size_t>(oldB), 2, "b.mp3", "", "");
  EXPECT_EQ(lines, (std::vector<std::string>{"Track 3/3: a.mp3", "Track: b.mp3"}));
}

TEST(CastReread, AListThatCannotPlayLeavesTheOldOneOnAir) {
  const fs::path dir =
      fs::temp_directory_path() / ("sondrix-cast-reread-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "junk.mp3") << "hello";
  std::ofstream(dir / "list.m3u") << "junk.mp3\nmissing.mp3\n";
  std::vector<std::string> lines;
  const LinePrinter print = [&lines](const std::string& Line) { lines.push_back(Line); };
  const auto never = [] { return false; };
  EXPECT_FALSE(rereadTracks({(dir / "list.m3u").string()}, print, never).has_value());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("Leaving out " + (dir / "junk.mp3").string(), 0), 0u) << lines[0];
  EXPECT_EQ(lines[2], "Playlist not reread: no file can be played; the list on air stays");

  lines.clear();
  fs::remove(dir / "list.m3u");
  EXPECT_FALSE(rereadTracks({(dir / "list.m3u").string()}, print, never).has_value());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("No such file or directory"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("the list on air stays"), std::string::npos) << lines[0];

  // A stop asked for ends the trying at once, quietly.
  lines.clear();
  EXPECT_FALSE(rereadTracks({(dir / "junk.mp3").string()}, print, [] { return true; }));
  EXPECT_TRUE(lines.empty());
  fs::remove_all(dir);
}

} // namespace
} // namespace sondrix
