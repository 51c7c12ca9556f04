#include "station/file_io.h"
#include "station/ini_file.h"
#include "station/station_settings.h"

#include "temp_folder.h"

#include <climits>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace sondrix {
namespace {

using testing::readBytes;
using testing::ScopedEnv;
using testing::TempFolder;
using testing::writeBytes;

TEST(Settings, FirstStartUsesTheDefaultsInAFreshDataFolder) {
  TempFolder home;
  ScopedEnv xdg("XDG_CONFIG_HOME", home / "cfg");
  const std::string folder = GetSondrixPath();
  EXPECT_EQ(folder, home / "cfg/Sondrix/Radio Server/");
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  const TStationSettings s = readSettings(TIniFile(folder + kSettingsFileName));
  EXPECT_EQ(s, (TStationSettings{.Top = 0,
                                 .Left = 0,
                                 .Bitrate = 128,
                                 .Max = 0,
                                 .Port = 8098,
                                 .Random = false,
                                 .Language = "en",
                                 .RadioName = "My Radio",
                                 .ShowWarning = true,
                                 .Mp3Stream = true,
                                 .IcecastUrl = "",
                                 .Loudness = -16,
                                 .Crossfade = 0,
                                 .TrimSilence = true,
                                 .Bind = ""}));
  EXPECT_FALSE(std::filesystem::exists(folder + kSettingsFileName)) << "reading creates nothing";

  // Without a usable XDG_CONFIG_HOME the folder lives in ~/.config.
  for (const std::optional<std::string>& value : {std::optional<std::string>(), {"relative/cfg"}}) {
    ScopedEnv unset("XDG_CONFIG_HOME", value);
    ScopedEnv homeVar("HOME", home.path());
    EXPECT_EQ(GetSondrixPath(), home / ".config/Sondrix/Radio Server/");
    EXPECT_TRUE(std::filesystem::is_directory(home / ".config/Sondrix/Radio Server"));
  }
}

// Without HOME (a service, a cron job) the account's own home folder holds the data folder,
// never the working folder. Only folders this test made are taken away again.
TEST(Settings, WithoutHomeTheDataFolderIsInTheAccountsHome) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  ASSERT_EQ(::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found), 0);
  ASSERT_NE(found, nullptr);
  const std::filesystem::path home = entry.pw_dir;
  if (::access(home.c_str(), W_OK) != 0)
    GTEST_SKIP() << "the account's home folder is not writable here";
  const std::filesystem::path config = home / ".config";
  const std::filesystem::path made = std::filesystem::exists(config) ? config / "Sondrix" : config;
  const bool existed = std::filesystem::exists(made);
  TempFolder elsewhere;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.path());
  for (const std::optional<std::string>& value : {std::optional<std::string>(), {""}}) {
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    ScopedEnv homeVar("HOME", value);
    EXPECT_EQ(GetSondrixPath(), (home / ".config/Sondrix/Radio Server/").string())
        << (value ? "HOME empty" : "HOME unset");
  }
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_directory(home / ".config/Sondrix/Radio Server"));
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path())) << "made in the working folder";
  if (!existed)
    std::filesystem::remove_all(made);
}

TEST(Settings, IntegersAndSpinFieldsParseLikeTheOriginal) {
  constexpr std::int32_t d = -77;
  // clang-format off
  const std::vector<std::pair<std::string, std::int32_t>> numbers = {
      {"8098", 8098}, {"0x1FA2", 8098}, {"0X1fa2", 8098}, {"$1FA2", 8098}, {"-5", -5}, {"+7", 7},
      {"0x1", 1}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN}, {"0x7FFFFFFF", INT_MAX}};
  // clang-format on
  for (const auto& [text, expected] : numbers)
    EXPECT_EQ(parseIniInteger(text, d), expected) << text;
  for (const char* text : {"0x", "$", "letters", "12abc", "", " 5", "+-5", "$-1", "0x-1", "1.5",
                           "2147483648", "0x80000000", "-"})
    EXPECT_EQ(parseIniInteger(text, d), d) << '"' << text << '"';

  EXPECT_EQ(spinValue("8098"), 8098);
  EXPECT_EQ(spinValue("-3"), -3);
  for (const char* notANumber : {"", "abc", "0x10", "$10", "12 "})
    EXPECT_EQ(spinValue(notANumber), 0) << notANumber;
}

TEST(Settings, EveryKeyFallsBackOnItsOwn) {
  struct Case {
    std::string Lines;
    std::function<void(TStationSettings&)> Expect;
  };
  const std::vector<Case> cases = {
      {"[Settings]\nPort=0x1FA2", [](auto&) {}},
      {"[Settings]\nPort=$1F40", [](auto& s) { s.Port = 8000; }},
      {"[Settings]\nPort=letters", [](auto&) {}},
      {"[Settings]\nRandom=2", [](auto& s) { s.Random = true; }},
      {"[Settings]\nRandom=letters", [](auto&) {}},
      {"[Settings]\nShowWarning=0", [](auto& s) { s.ShowWarning = false; }},
      {"[Settings]\nShowWarning=letters", [](auto&) {}},
      {"[Settings]\nMp3Stream=0", [](auto& s) { s.Mp3Stream = false; }},
      {"[Settings]\nMp3Stream=letters", [](auto&) {}},
      {"[Settings]\nLoudness=off", [](auto& s) { s.Loudness.reset(); }},
      {"[Settings]\nLoudness=-30", [](auto& s) { s.Loudness = -30; }},
      {"[Settings]\nLoudness=-5", [](auto& s) { s.Loudness = -5; }},
      {"[Settings]\nLoudness=-31", [](auto&) {}},
      {"[Settings]\nLoudness=-4", [](auto&) {}},
      {"[Settings]\nLoudness=OFF", [](auto&) {}},
      {"[Settings]\nCrossfade=10", [](auto& s) { s.Crossfade = 10; }},
      {"[Settings]\nCrossfade=11", [](auto&) {}},
      {"[Settings]\nCrossfade=-1", [](auto&) {}},
      {"[Settings]\nTrimSilence=0", [](auto& s) { s.TrimSilence = false; }},
      {"[Settings]\nBind=127.0.0.1", [](auto& s) { s.Bind = "127.0.0.1"; }},
      {"[SETTINGS]\nbitrate = 64 ", [](auto& s) { s.Bitrate = 64; }},
      {"[Window]\nTop=-20\nLeft=0x10",
       [](auto& s) {
         s.Top = -20;
         s.Left = 16;
       }},
      {"[Settings]\nLanguage=ru", [](auto& s) { s.Language = "ru"; }},
      {"[Settings]\nLanguage=de", [](auto&) {}},
      {"[Settings]\nRadioName=", [](auto& s) { s.RadioName = ""; }},
      {"[Settings]\nRadioName=Caf\xE9", [](auto& s) { s.RadioName = "Café"; }},
      // A key of another section, or a commented one, is not ours.
      {"[Window]\nPort=1\n[Settings]\n;Port=2\n# Max=3", [](auto&) {}}};
  TempFolder dir;
  for (const Case& c : cases) {
    writeBytes(dir / "config.cfg", c.Lines);
    TStationSettings expected;
    c.Expect(expected);
    EXPECT_EQ(readSettings(TIniFile(dir / "config.cfg")), expected) << c.Lines;
  }
}

TEST(Settings, LongTextsStopAt2047Utf16UnitsWithoutSplittingAPair) {
  TempFolder dir;
  const std::string smiley = "\xF0\x9F\x98\x80"; // two UTF-16 units
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(2046, 'a') + smiley, std::string(2046, 'a')},
      {std::string(2045, 'a') + smiley + "b", std::string(2045, 'a') + smiley},
      {std::string(3000, 'a'), std::string(2047, 'a')}};
  for (const auto& [name, expected] : cases) {
    TIniFile ini(dir / "config.cfg");
    ini.WriteString("Settings", "RadioName", name);
    ini.UpdateFile();
    EXPECT_EQ(readSettings(TIniFile(dir / "config.cfg")).RadioName, expected);
  }
  std::string cyrillic;
  for (int i = 0; i < 2100; ++i)
    cyrillic += "ж";
  TIniFile ini(dir / "config.cfg");
  ini.WriteString("Settings", "RadioName", cyrillic);
  EXPECT_EQ(readSettings(ini).RadioName, cyrillic.substr(0, 2047 * 2));
}

// What the station reads is what it saves: a value never holds a character that writing it
// back would change.
TEST(Settings, AReadNameSavesAndReadsBackUnchanged) {
  TempFolder dir;
  const std::string file = dir / "config.cfg";
  const struct {
    std::string line;
    std::string name;
  } cases[] = {
      {"RadioName=Rock\rRadio\n", "Rock Radio"},
      {"RadioName=\r\rRock\r\n", "Rock"},
      {"RadioName= \rRock\r \r\n", "Rock"},
      {"RadioName=" + std::string(2046, 'a') + " b\n", std::string(2046, 'a')},
  };
  for (const auto& c : cases) {
    writeBytes(file, "[Settings]\n" + c.line);
    TIniFile ini(file);
    const TStationSettings read = readSettings(ini);
    EXPECT_EQ(read.RadioName, c.name);
    writeSettings(ini, read);
    ini.UpdateFile();
    EXPECT_EQ(readSettings(TIniFile(file)).RadioName, read.RadioName);
  }
}

TEST(Settings, RoundTripUpdatesKeysInPlaceAndKeepsTheRestOfTheFile) {
  TempFolder dir;
  const std::string file = dir / "config.cfg";
  const std::string original = "; written by hand\r\n"
                               "[Other]\r\n"
                               "Keep=this, \"and\" = that\r\n"
                               "\r\n"
                               "[settings]\r\n"
                               "# the port the listeners use\r\n"
                               "port = 1234\r\n"
                               "Extra=1\r\n"
                               "\r\n"
                               "[Last]\r\n"
                               "Tail=x";
  writeBytes(file, original);

  TStationSettings s;
  s.Top = -1;
  s.Left = 2000;
  s.Bitrate = 320;
  s.Max = 5;
  s.Port = 65535;
  s.Random = true;
  s.Language = "ru";
  s.RadioName = "Радио \"Волна\", ночь; 1=2 [x]";
  s.ShowWarning = false;
  s.Mp3Stream = false;
  s.Loudness.reset();
  s.Crossfade = 7;
  s.TrimSilence = false;
  s.Bind = "::1";
  {
    TIniFile ini(file);
    EXPECT_EQ(readSettings(ini).Port, 1234);
    writeSettings(ini, s);
    ini.UpdateFile();
  }
  EXPECT_EQ(readSettings(TIniFile(file)), s);

  const std::string text = readBytes(file);
  EXPECT_EQ(text, "; written by hand\r\n"
                  "[Other]\r\n"
                  "Keep=this, \"and\" = that\r\n"
                  "\r\n"
                  "[settings]\r\n"
                  "# the port the listeners use\r\n"
                  "port =65535\r\n"
                  "Extra=1\r\n"
                  "Bitrate=320\r\n"
                  "Max=5\r\n"
                  "Random=1\r\n"
                  "Language=ru\r\n"
                  "RadioName=Радио \"Волна\", ночь; 1=2 [x]\r\n"
                  "ShowWarning=0\r\n"
                  "Mp3Stream=0\r\n"
                  "IcecastUrl=\r\n"
                  "Loudness=off\r\n"
                  "Crossfade=7\r\n"
                  "TrimSilence=0\r\n"
                  "Bind=::1\r\n"
                  "\r\n"
                  "[Last]\r\n"
                  "Tail=x\r\n"
                  "\r\n"
                  "[Window]\r\n"
                  "Top=-1\r\n"
                  "Left=2000\r\n");

  // A name cannot break the file into lines of its own.
  TIniFile ini(file);
  ini.WriteString("Settings", "RadioName", "two\r\nlines\n[Window]");
  ini.UpdateFile();
  EXPECT_EQ(readSettings(TIniFile(file)).RadioName, "two  lines [Window]");
  EXPECT_EQ(readSettings(TIniFile(file)).Top, -1);
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Settings, FilesThatCannotBeWrittenOrReadNameThemselves) {
  TempFolder dir;
  const auto expectNamed = [](const std::function<void()>& action, const std::string& name) {
    try {
      action();
      ADD_FAILURE() << "no error for " << name;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  };
  const std::string missingFolder = dir / "gone/config.cfg";
  expectNamed(
      [&] {
        TIniFile ini(missingFolder);
        ini.WriteString("Settings", "Port", "1");
        ini.UpdateFile();
      },
      missingFolder);
  std::filesystem::create_directory(dir / "folder.cfg");
  expectNamed([&] { TIniFile ini(dir / "folder.cfg"); }, dir / "folder.cfg");

  // The file keeps its permissions; one the user made read-only is left alone.
  const std::string file = dir / "config.cfg";
  writeBytes(file, "[Settings]\nPort=1\n");
  ::chmod(file.c_str(), 0600);
  TIniFile ini(file);
  ini.WriteString("Settings", "Port", "2");
  ini.UpdateFile();
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  if (::geteuid() != 0) {
    ::chmod(file.c_str(), 0400);
    expectNamed([&] { ini.UpdateFile(); }, file);
    EXPECT_EQ(readSettings(TIniFile(file)).Port, 2);
  }
}

TEST(Settings, AnIcecastUrlKeepsTheFileToItsOwner) {
  TempFolder dir;
  const std::string file = dir / "config.cfg";
  writeBytes(file, "[Settings]\nPort=1\n");
  ::chmod(file.c_str(), 0644);
  const auto mode = [&file] {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info.st_mode & 0777;
  };

  TStationSettings s;
  {
    TIniFile ini(file);
    writeSettings(ini, s);
    ini.UpdateFile();
  }
  EXPECT_EQ(mode(), 0644u) << "no password, no change";

  s.IcecastUrl = "icecast://source:p%40ss;w=rd@[::1]:8000/live";
  {
    TIniFile ini(file);
    writeSettings(ini, s);
    ini.UpdateFile();
  }
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(readSettings(TIniFile(file)).IcecastUrl, s.IcecastUrl);
  EXPECT_NE(readBytes(file).find("Mp3Stream=1\nIcecastUrl=icecast://"), std::string::npos)
      << readBytes(file);
}

} // namespace
} // namespace sondrix

namespace sondrix {
namespace {

TEST(Settings, NewFilesFollowTheUmaskAndAPasswordKeepsThemToTheOwner) {
  TempFolder dir;
  const mode_t saved = ::umask(0);
  for (const auto& [mask, expected] : {std::pair<mode_t, mode_t>{027, 0640}, {002, 0664}}) {
    ::umask(mask);
    const std::string file = dir / ("new" + std::to_string(mask) + ".spl");
    replaceWholeFile(file, "x\n");
    const std::string secret = dir / ("secret" + std::to_string(mask) + ".cfg");
    replaceWholeFile(secret, "x\n", true);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, expected) << std::oct << mask;
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, expected & 0700) << std::oct << mask;
  }
  ::umask(saved);
}

} // namespace
} // namespace sondrix
