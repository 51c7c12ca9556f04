#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sondrix {

// Playlists of other programs: M3U / M3U8 (one entry a line, "#" lines are comments and
// #EXTINF titles) and PLS ("FileN=" keys of an INI text).
struct TImportedEntries {
  std::vector<std::string> Paths; // UTF-8, in list order, relative ones as written
  std::vector<std::string> Urls;  // entries naming a web address: refused, as written
};

// Both readers take the text as the ".spl" reader does (byte-order marks, UTF-8 or
// Windows-1252 per line), trim blanks, skip empty lines, and turn "file://" URIs (of this
// host) into paths.
TImportedEntries readM3u(std::string_view Bytes);
// Entries come in the order of their numbers; a number given twice keeps its last line.
TImportedEntries readPls(std::string_view Bytes);

// Which reader a playlist file takes, by its extension in any case: ".m3u", ".m3u8", ".pls";
// false for anything else (".spl" included, which keeps its own reader).
bool isImportedPlaylist(const std::string& Path);
// Reads and decodes such a file. Throws std::runtime_error naming the file when it cannot be
// read.
TImportedEntries readImportedPlaylist(const std::string& Path);

// Thrown by addtopl after everything else was added: web addresses found in playlists. The
// message names every one; faces may word it in the operator's language from Entries.
class EPlaylistUrls : public std::runtime_error {
public:
  explicit EPlaylistUrls(std::vector<std::string> Entries);
  const std::vector<std::string>& Entries() const { return FEntries; }

private:
  std::vector<std::string> FEntries;
};

} // namespace sondrix
