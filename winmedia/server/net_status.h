#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sondrix {

// What the station plays now, as the tags say. file: the name without folders.
struct NowPlaying {
  std::string artist, title, album, file;
};

struct StationStatus {
  std::string name;
  std::int64_t onAirSince = 0; // Unix seconds, 0 = not on air
  std::uint32_t wmaListeners = 0, mp3Listeners = 0;
  NowPlaying nowPlaying;
  std::uint32_t bitrate = 0;    // bits/s
  std::string mmsLink, mp3Link; // "mms://host:port", "http://host:port/stream.mp3"
};

// "Artist - Title"; one of them alone when the other is empty; the file name without its
// extension when both are empty; empty when all are. Padding spaces and NULs of tags trimmed.
std::string streamTitleText(const NowPlaying& nowPlaying);

// The largest ICY metadata block: the length byte counts 16-byte units.
constexpr std::size_t kIcyMetadataMaxBytes = 255 * 16;

// One ICY metadata block: a length byte N, then N*16 bytes holding "StreamTitle='<text>';"
// padded with NULs, at most kIcyMetadataMaxBytes after the length byte.
std::vector<std::uint8_t> icyMetadataBlock(const NowPlaying& nowPlaying);

// The status as one JSON object, valid for any input.
std::string statusJson(const StationStatus& status);

// A small self-contained HTML page with a player that keeps itself up to date from the JSON.
std::string statusPage(const StationStatus& status);

} // namespace sondrix
