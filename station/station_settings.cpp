#include "station/station_settings.h"

#include "base/text.h"
#include "station/ini_file.h"
#include "station/station_texts.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace sondrix {

namespace {

constexpr std::size_t kMaxTextUnits = 2047;

// The whole of Text as a number in Base; a leading "+" or "-" only in decimal.
std::optional<std::int32_t> parseWhole(std::string_view text, int base) {
  const bool plus = base == 10 && text.starts_with('+');
  if (plus)
    text.remove_prefix(1);
  const bool minus = base == 10 && !plus && text.starts_with('-');
  if (text.size() <= (minus ? 1u : 0u) || (!minus && (text.front() == '-' || text.front() == '+')))
    return std::nullopt;
  std::int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  if (ec != std::errc() || ptr != end)
    return std::nullopt;
  return value;
}

std::int32_t readInteger(const TIniFile& ini, const char* section, const char* key,
                         std::int32_t fallback) {
  const auto text = ini.ReadString(section, key);
  return text ? parseIniInteger(*text, fallback) : fallback;
}

bool readBoolean(const TIniFile& ini, const char* section, const char* key, bool fallback) {
  return readInteger(ini, section, key, fallback ? 1 : 0) != 0;
}

// At most 2047 UTF-16 units, never half of a surrogate pair.
std::string readText(const TIniFile& ini, const char* section, const char* key,
                     const std::string& fallback) {
  const auto text = ini.ReadString(section, key);
  if (!text)
    return fallback;
  std::u16string wide = toWide(*text);
  if (wide.size() > kMaxTextUnits) {
    std::size_t keep = kMaxTextUnits;
    if (wide[keep - 1] >= 0xD800 && wide[keep - 1] <= 0xDBFF)
      --keep;
    wide.resize(keep);
    // The cut may end in blanks, which the next read would trim.
    while (!wide.empty() && (wide.back() == u' ' || wide.back() == u'\t'))
      wide.pop_back();
  }
  return toNarrow(wide);
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return home;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && entry.pw_dir != nullptr)
    return entry.pw_dir;
  return ".";
}

} // namespace

std::int32_t parseIniInteger(const std::string& Text, std::int32_t Default) {
  std::optional<std::int32_t> value;
  if (Text.size() >= 3 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X'))
    value = parseWhole(std::string_view(Text).substr(2), 16);
  else if (Text.starts_with('$'))
    value = parseWhole(std::string_view(Text).substr(1), 16);
  else
    value = parseWhole(Text, 10);
  return value.value_or(Default);
}

std::int32_t spinValue(const std::string& Text) {
  return parseWhole(Text, 10).value_or(0);
}

std::optional<std::optional<std::int32_t>> parseLoudness(const std::string& Text) {
  if (Text == "off")
    return std::optional<std::int32_t>();
  const std::optional<std::int32_t> value = parseWhole(Text, 10);
  if (!value || *value < kLoudnessMin || *value > kLoudnessMax)
    return std::nullopt;
  return value;
}

std::string loudnessText(std::optional<std::int32_t> Loudness) {
  return Loudness ? std::to_string(*Loudness) : std::string("off");
}

TStationSettings readSettings(const TIniFile& Ini) {
  const TStationSettings defaults;
  TStationSettings s;
  s.Top = readInteger(Ini, "Window", "Top", defaults.Top);
  s.Left = readInteger(Ini, "Window", "Left", defaults.Left);
  s.Bitrate = readInteger(Ini, "Settings", "Bitrate", defaults.Bitrate);
  s.Max = readInteger(Ini, "Settings", "Max", defaults.Max);
  s.Port = readInteger(Ini, "Settings", "Port", defaults.Port);
  s.Random = readBoolean(Ini, "Settings", "Random", defaults.Random);
  s.Language = normalLanguageCode(readText(Ini, "Settings", "Language", defaults.Language));
  s.RadioName = readText(Ini, "Settings", "RadioName", defaults.RadioName);
  s.ShowWarning = readBoolean(Ini, "Settings", "ShowWarning", defaults.ShowWarning);
  s.Mp3Stream = readBoolean(Ini, "Settings", "Mp3Stream", defaults.Mp3Stream);
  s.IcecastUrl = readText(Ini, "Settings", "IcecastUrl", defaults.IcecastUrl);
  s.Loudness = parseLoudness(readText(Ini, "Settings", "Loudness", loudnessText(defaults.Loudness)))
                   .value_or(defaults.Loudness);
  const std::int32_t crossfade = readInteger(Ini, "Settings", "Crossfade", defaults.Crossfade);
  s.Crossfade = crossfade >= 0 && crossfade <= kCrossfadeMax ? crossfade : defaults.Crossfade;
  s.TrimSilence = readBoolean(Ini, "Settings", "TrimSilence", defaults.TrimSilence);
  s.Bind = readText(Ini, "Settings", "Bind", defaults.Bind);
  return s;
}

void writeSettings(TIniFile& Ini, const TStationSettings& Settings) {
  const auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
  Ini.WriteString("Window", "Top", std::to_string(Settings.Top));
  Ini.WriteString("Window", "Left", std::to_string(Settings.Left));
  Ini.WriteString("Settings", "Bitrate", std::to_string(Settings.Bitrate));
  Ini.WriteString("Settings", "Max", std::to_string(Settings.Max));
  Ini.WriteString("Settings", "Port", std::to_string(Settings.Port));
  Ini.WriteString("Settings", "Random", flag(Settings.Random));
  Ini.WriteString("Settings", "Language", Settings.Language);
  Ini.WriteString("Settings", "RadioName", Settings.RadioName);
  Ini.WriteString("Settings", "ShowWarning", flag(Settings.ShowWarning));
  Ini.WriteString("Settings", "Mp3Stream", flag(Settings.Mp3Stream));
  Ini.WriteString("Settings", "IcecastUrl", Settings.IcecastUrl);
  Ini.WriteString("Settings", "Loudness", loudnessText(Settings.Loudness));
  Ini.WriteString("Settings", "Crossfade", std::to_string(Settings.Crossfade));
  Ini.WriteString("Settings", "TrimSilence", flag(Settings.TrimSilence));
  Ini.WriteString("Settings", "Bind", Settings.Bind);
  if (!Settings.IcecastUrl.empty())
    Ini.SetOwnerOnly(true);
}

std::string GetSondrixPath() {
  std::string base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/')
    base = config;
  else
    base = homeFolder() + "/.config";
  if (!base.ends_with('/'))
    base += '/';
  const std::string folder = base + "Sondrix/Radio Server/";
  // A folder that cannot be made shows up as an error naming the file read or written in it.
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder;
}

} // namespace sondrix
