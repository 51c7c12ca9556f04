#include "cast_options.h"
#include "console_commands.h"
#include "console_view.h"
#include "station/station_core.h"

#include <gtest/gtest.h>

#include <cctype>

#include <set>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace sondrix {
namespace {

TEST(CastOptions, ReadsEveryOptionAndKeepsPathsInOrder) {
  const CastOptions o =
      parseCastOptions({"--port", "9000", "a.mp3", "--bitrate", "64", "--max-listeners", "5",
                        "--name", "Радио", "--shuffle", "--no-mp3", "b.spl"});
  EXPECT_EQ(o.Port, 9000u);
  EXPECT_EQ(o.BitrateKbps, 64u);
  EXPECT_EQ(o.MaxListeners, 5u);
  EXPECT_EQ(o.Name, "Радио");
  EXPECT_TRUE(o.Shuffle);
  EXPECT_FALSE(o.Mp3);
  EXPECT_EQ(o.Paths, (std::vector<std::string>{"a.mp3", "b.spl"}));
  const CastOptions ice = parseCastOptions(
      {"--icecast", "icecast://source:pw@a:8000/live", "x.mp3", "--icecast", "icecast://u:pw@b/m"});
  EXPECT_EQ(ice.IcecastUrls,
            (std::vector<std::string>{"icecast://source:pw@a:8000/live", "icecast://u:pw@b/m"}));
  const CastOptions d = parseCastOptions({"x.mp3"});
  EXPECT_EQ(d.Port, 8098u);
  EXPECT_EQ(d.BitrateKbps, 128u);
  EXPECT_EQ(d.MaxListeners, 0u);
  EXPECT_FALSE(d.Shuffle);
  EXPECT_TRUE(d.Mp3);
  EXPECT_TRUE(parseCastOptions({"--help"}).Help);
}

TEST(CastOptions, LinksTakeIpv6AddressesInBrackets) {
  EXPECT_EQ(urlHost("203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(urlHost("radio.example"), "radio.example");
  EXPECT_EQ(urlHost("2001:db8::7"), "[2001:db8::7]");
  EXPECT_EQ(urlHost("[::1]"), "[::1]");
}

TEST(CastOptions, RefusesBadValuesUnknownOptionsAndNoFiles) {
  EXPECT_THROW(parseCastOptions({}), std::invalid_argument);
  EXPECT_THROW(parseCastOptions({"--port", "70000", "a.mp3"}), std::invalid_argument);
  EXPECT_THROW(parseCastOptions({"--port", "80x", "a.mp3"}), std::invalid_argument);
  EXPECT_THROW(parseCastOptions({"--bitrate", "0", "a.mp3"}), std::invalid_argument);
  EXPECT_THROW(parseCastOptions({"a.mp3", "--port"}), std::invalid_argument);
  EXPECT_THROW(parseCastOptions({"--loud", "a.mp3"}), std::invalid_argument);
  // The message never shows the password, also where the password breaks the URL.
  for (const std::string url :
       {"http://source:hush@a:8000/live", "icecast://source:hu/sh@a:8000/live"}) {
    try {
      parseCastOptions({"--icecast", url, "a.mp3"});
      ADD_FAILURE() << "a broken URL taken as an Icecast source: " << url;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("@a:8000/live"), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("source:hu"), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find("sh@"), std::string::npos) << e.what();
    }
  }
}

// Each limit is a value the option takes; one past it is refused.
TEST(CastOptions, NumbersTakeTheirUpperLimitsInclusively) {
  EXPECT_EQ(parseCastOptions({"--port", "65535", "a.mp3"}).Port, 65535u);
  EXPECT_EQ(parseCastOptions({"--port", "0", "a.mp3"}).Port, 0u);
  EXPECT_EQ(parseCastOptions({"--bitrate", "320000", "a.mp3"}).BitrateKbps, 320000u);
  EXPECT_EQ(parseCastOptions({"--bitrate", "1", "a.mp3"}).BitrateKbps, 1u);
  EXPECT_EQ(parseCastOptions({"--max-listeners", "1000000", "a.mp3"}).MaxListeners, 1000000u);
  EXPECT_EQ(parseCastOptions({"--max-listeners", "0", "a.mp3"}).MaxListeners, 0u);
  for (const auto& [option, past] : {std::pair{"--port", "65536"}, std::pair{"--bitrate", "320001"},
                                     std::pair{"--max-listeners", "1000001"}}) {
    EXPECT_THROW(parseCastOptions({option, past, "a.mp3"}), std::invalid_argument) << option;
  }
}

TEST(CastOptions, PlaylistsExpandRelativeToTheirFolder) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("sondrix-cast-spl-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream spl(dir / "list.SPL", std::ios::binary);
    spl << "\xEF\xBB\xBFone.mp3\r\n\r\n/abs/two.mp3\nsub/three.mp3  \n";
  }
  const auto files = expandPlaylistPaths({"first.mp3", (dir / "list.SPL").string(), "last.wma"});
  std::filesystem::remove_all(dir);
  EXPECT_EQ(files,
            (std::vector<std::string>{"first.mp3", (dir / "one.mp3").string(), "/abs/two.mp3",
                                      (dir / "sub/three.mp3").string(), "last.wma"}));
  EXPECT_THROW(expandPlaylistPaths({(dir / "missing.spl").string()}), std::runtime_error);
}

TEST(CastOptions, SoundOptionsTakeTheirRangesInclusively) {
  const CastOptions d = parseCastOptions({"x.mp3"});
  EXPECT_EQ(d.Loudness, -16.0);
  EXPECT_EQ(d.Crossfade, 0.0);
  EXPECT_TRUE(d.TrimSilence);
  const CastOptions o =
      parseCastOptions({"--loudness", "-23.5", "--crossfade", "2.5", "--no-trim", "x.mp3"});
  EXPECT_EQ(o.Loudness, -23.5);
  EXPECT_EQ(o.Crossfade, 2.5);
  EXPECT_FALSE(o.TrimSilence);
  EXPECT_FALSE(parseCastOptions({"--loudness", "off", "x.mp3"}).Loudness.has_value());
  EXPECT_EQ(parseCastOptions({"--loudness", "-30", "x.mp3"}).Loudness, -30.0);
  EXPECT_EQ(parseCastOptions({"--loudness", "-5", "x.mp3"}).Loudness, -5.0);
  EXPECT_EQ(parseCastOptions({"--crossfade", "10", "x.mp3"}).Crossfade, 10.0);
  for (const char* bad : {"-30.5", "-4.9", "-16dB", "", "nan", "OFF"})
    EXPECT_THROW(parseCastOptions({"--loudness", bad, "x.mp3"}), std::invalid_argument) << bad;
  for (const char* bad : {"-1", "10.01", "3s", "inf"})
    EXPECT_THROW(parseCastOptions({"--crossfade", bad, "x.mp3"}), std::invalid_argument) << bad;
}

TEST(CastOptions, BindTakesAnIpv4OrIpv6AddressOnly) {
  EXPECT_TRUE(parseCastOptions({"x.mp3"}).Bind.empty());
  EXPECT_EQ(parseCastOptions({"--bind", "127.0.0.1", "x.mp3"}).Bind, "127.0.0.1");
  EXPECT_EQ(parseCastOptions({"--bind", "[::1]", "x.mp3"}).Bind, "[::1]");
  for (const char* bad : {"localhost", "127.0.0.1:8098", "", "1.2.3"}) {
    try {
      parseCastOptions({"--bind", bad, "x.mp3"});
      ADD_FAILURE() << bad;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("not an IPv4 or IPv6 address"), std::string::npos);
    }
  }
}

TEST(CastOptions, TheManualPageDocumentsEveryOptionAndCommand) {
  std::ifstream in(std::string(SONDRIX_SOURCE_DIR) + "/packaging/sondrix-cast.1");
  ASSERT_TRUE(in.good());
  const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string usage = castUsage();
  std::set<std::string> options;
  for (std::size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at + 2)) {
    std::size_t end = at + 2;
    while (end < usage.size() &&
           (std::islower(static_cast<unsigned char>(usage[end])) || usage[end] == '-' ||
            std::isdigit(static_cast<unsigned char>(usage[end]))))
      ++end;
    options.insert(usage.substr(at, end - at));
  }
  EXPECT_GE(options.size(), 13u);
  for (const std::string& option : options) {
    std::string roff; // a manual page writes each hyphen as \-
    for (const char c : option)
      roff += c == '-' ? std::string("\\-") : std::string(1, c);
    // Its own paragraph in OPTIONS: bold, or bold with its value in italics.
    EXPECT_TRUE(page.find("\n.B " + roff + "\n") != std::string::npos ||
                page.find("\n.BI " + roff + " ") != std::string::npos)
        << option;
  }
  for (const char* command : {".B next", ".BI play"})
    EXPECT_NE(page.find(command), std::string::npos) << command;
}

TEST(CastCommands, ReadsNextAndPlayAndTellsWhatElseIsWrong) {
  std::string error;
  const auto next = parseCastCommand("  next \r", error);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->What, CastCommand::Kind::Next);
  const auto play = parseCastCommand("play 12", error);
  ASSERT_TRUE(play.has_value());
  EXPECT_EQ(play->What, CastCommand::Kind::Play);
  EXPECT_EQ(play->Number, 12u);
  EXPECT_FALSE(parseCastCommand("   ", error).has_value());
  EXPECT_TRUE(error.empty()) << "a blank line is no mistake";
  for (const char* bad : {"play", "play 0", "play -1", "play 2x", "next 2", "NEXT", "stop"}) {
    EXPECT_FALSE(parseCastCommand(bad, error).has_value()) << bad;
    EXPECT_NE(error.find("next, play N"), std::string::npos) << bad;
  }
}

TEST(CastCommands, LinesArriveWholeAndTheEndOfInputChangesNothing) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  TCommandLines lines(fds[0]);
  EXPECT_TRUE(lines.Take().empty()) << "nothing written: nothing read, and no waiting";
  ASSERT_EQ(::write(fds[1], "next\npla", 8), 8);
  EXPECT_EQ(lines.Take(), std::vector<std::string>{"next"});
  ASSERT_EQ(::write(fds[1], "y 2\n", 4), 4);
  ::close(fds[1]);
  EXPECT_EQ(lines.Take(), std::vector<std::string>{"play 2"});
  EXPECT_TRUE(lines.Take().empty());
  ::close(fds[0]);
}

} // namespace
} // namespace sondrix

namespace sondrix {
namespace {

TEST(ConsoleView, TerminalEscapesInTagsAndNamesNeverReachTheTerminal) {
  std::vector<std::string> lines;
  TConsoleView view(parseCastOptions({"a.mp3"}), {"a.mp3"},
                    [&lines](const std::string& line) { lines.push_back(line); });
  view.TrackChanged(0, 1, "/music/\x1b[2J.mp3",
                    "\x1b]0;owned\x07"
                    "Art\x9bist",
                    "Ti\x1b[31mtle\r\n");
  view.SetStatus("Icecast host:8000/live: redirected (307) to \x1b[5m");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Track 1/1: /music/[2J.mp3 (]0;owned"
                      "Art\xEF\xBF\xBDist - Ti[31mtle)");
  for (const std::string& line : lines)
    for (const char c : line)
      EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
}

} // namespace
} // namespace sondrix
