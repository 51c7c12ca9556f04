#include "station/playlist_import.h"

#include "base/text.h"
#include "net/url_codec.h"
#include "station/file_io.h"
#include "station/playlist_file.h"
#include "station/playlist_ops.h"
#include "station/station_texts.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace sondrix {

namespace {

bool isAsciiAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (asciiLower(text[i]) != prefix[i])
      return false;
  return true;
}

// "scheme://" with a scheme of two letters or more, so "C://x" (a drive) is no URL.
bool isUrl(std::string_view entry) {
  const std::size_t colon = entry.find("://");
  if (colon == std::string_view::npos || colon < 2 || !isAsciiAlpha(entry[0]))
    return false;
  return std::all_of(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
    return isAsciiAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
  });
}

void addEntry(std::string_view line, TImportedEntries& into) {
  const std::string_view entry = trimBlanks(line);
  if (entry.empty())
    return;
  if (startsWithNoCase(entry, "file://")) {
    std::string_view rest = entry.substr(7);
    if (startsWithNoCase(rest, "localhost/"))
      rest.remove_prefix(9);
    if (!rest.empty() && rest.front() == '/') {
      into.Paths.push_back(DecodeURL(rest));
      return;
    }
  }
  if (isUrl(entry))
    into.Urls.emplace_back(entry);
  else
    into.Paths.emplace_back(entry);
}

} // namespace

TImportedEntries readM3u(std::string_view Bytes) {
  TImportedEntries entries;
  for (const std::string& line : decodePlaylist(Bytes).Entries) {
    const std::string_view text = trimBlanks(line);
    if (!text.empty() && text.front() != '#')
      addEntry(text, entries);
  }
  return entries;
}

TImportedEntries readPls(std::string_view Bytes) {
  std::map<std::uint64_t, std::string> files;
  for (const std::string& line : decodePlaylist(Bytes).Entries) {
    const std::string_view text = trimBlanks(line);
    if (!startsWithNoCase(text, "file"))
      continue;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
      continue;
    const std::string_view number = trimBlanks(text.substr(4, equals - 4));
    std::uint64_t index = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), index);
    if (number.empty() || error != std::errc() || end != number.data() + number.size())
      continue;
    files[index] = std::string(text.substr(equals + 1));
  }
  TImportedEntries entries;
  for (const auto& [index, entry] : files)
    addEntry(entry, entries);
  return entries;
}

bool isImportedPlaylist(const std::string& Path) {
  const std::string extension = lowerExtension(Path);
  return extension == ".m3u" || extension == ".m3u8" || extension == ".pls";
}

TImportedEntries readImportedPlaylist(const std::string& Path) {
  const std::string bytes = readWholeFile(Path);
  return lowerExtension(Path) == ".pls" ? readPls(bytes) : readM3u(bytes);
}

EPlaylistUrls::EPlaylistUrls(std::vector<std::string> Entries)
    : std::runtime_error(refusedUrlsText(stationTexts("en"), Entries)),
      FEntries(std::move(Entries)) {}

} // namespace sondrix
