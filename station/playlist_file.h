#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sondrix {

// How a playlist file was stored: its byte-order mark, or none (plain UTF-8, the system's
// narrow text here).
enum class TPlaylistEncoding { Ansi, Utf8Bom, Utf16LE, Utf16BE };

struct TPlaylistText {
  std::vector<std::string> Entries; // UTF-8 paths, unchanged
  TPlaylistEncoding Encoding = TPlaylistEncoding::Ansi;
};

// The ".spl" text: a byte-order mark selects UTF-8, UTF-16 LE or BE; without one the bytes are
// UTF-8, and a line that is not valid UTF-8 reads as Windows-1252 (each line on its own). Lines end
// at CR LF, LF or CR; a final line without an end counts; an empty line in the middle is an empty
// entry; a NUL character ends the text.
TPlaylistText decodePlaylist(std::string_view Bytes);
// Every entry followed by CR LF, in Encoding with its byte-order mark (Ansi: UTF-8, no mark).
std::string encodePlaylist(const std::vector<std::string>& Entries, TPlaylistEncoding Encoding);

// Throws std::runtime_error naming the file and the system's reason when it cannot be read.
TPlaylistText readPlaylistFile(const std::string& FileName);
// Replaces the file as a whole (written beside it, then renamed over it), so a failed write never
// leaves a half playlist. Throws std::runtime_error naming the file and the reason.
void writePlaylistFile(const std::string& FileName, const std::vector<std::string>& Entries,
                       TPlaylistEncoding Encoding);

} // namespace sondrix
