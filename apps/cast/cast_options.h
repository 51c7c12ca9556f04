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
  std::string Config;             // --config: the file read before the command line
  std::vector<std::string> Paths; // as given: audio files or playlists
};

// The settings that both the command line and the configuration file set.
enum class CastSetting {
  Port,
  Bitrate,
  MaxListeners,
  Name,
  Address,
  Bind,
  Icecast, // adds a server
  Loudness,
  Crossfade,
  Shuffle, // "1" or "0", as are the two below
  Mp3,
  TrimSilence
};

// Checks Text as the setting's value and stores it. Throws std::invalid_argument with a message
// for the operator that names the setting as Label (an option or a key).
void setCastValue(CastOptions& Options, CastSetting What, const std::string& Label,
                  const std::string& Text);

// Parses the command line (without the program name) on top of Base: the options given replace
// Base's values; PATHs, when given, replace Base's Paths, and --icecast replaces its servers.
// Without --config a PATH is required. Throws std::invalid_argument with a message for the
// operator on a bad option or value. Does not read the --config file (see castOptionsOf).
CastOptions parseCastOptions(const std::vector<std::string>& args, CastOptions Base = {});

std::string castUsage();

// Expands playlists (".spl", ".m3u", ".m3u8", ".pls") as the window does (nested lists in place,
// relative paths relative to the playlist's folder), leaving out blank lines and trailing blanks.
// Throws std::runtime_error when a playlist cannot be read. Web addresses in playlists are left
// out: named in *refused when given, else thrown as EPlaylistUrls.
std::vector<std::string> expandPlaylistPaths(const std::vector<std::string>& paths,
                                             std::string* refused = nullptr);

} // namespace sondrix
