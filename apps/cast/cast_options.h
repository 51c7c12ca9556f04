#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

// What the headless broadcaster was asked to do.
struct CastOptions {
  std::uint32_t Port = 8098;
  std::uint32_t BitrateKbps = 128; // below 1000: kbit/s, else bit/s
  std::uint32_t MaxListeners = 0;  // 0 = no limit
  std::string Name = "Sondrix Radio Station";
  bool Shuffle = false;
  bool Mp3 = true;     // also serve /stream.mp3
  std::string Address; // shown in the listeners' link; empty: ask the address-echo service
  std::string Bind;    // the one address to listen on; empty: every address
  std::vector<std::string> IcecastUrls;   // servers to push the MP3 stream to
  std::optional<double> Loudness = -16.0; // target LUFS; nullopt: as loud as the files
  double Crossfade = 0;                   // seconds
  bool TrimSilence = true;
  bool Help = false;
  std::vector<std::string> Paths; // as given: audio files or ".spl" playlists
};

// Parses the command line (without the program name). Throws std::invalid_argument with a
// message for the operator on a bad option or value.
CastOptions parseCastOptions(const std::vector<std::string>& args);

std::string castUsage();

// Expands playlists (".spl", ".m3u", ".m3u8", ".pls") as the window does (nested lists in place,
// relative paths relative to the playlist's folder), leaving out blank lines and trailing blanks.
// Throws std::runtime_error when a playlist cannot be read. Web addresses in playlists are left
// out: named in *refused when given, else thrown as EPlaylistUrls.
std::vector<std::string> expandPlaylistPaths(const std::vector<std::string>& paths,
                                             std::string* refused = nullptr);

} // namespace sondrix
