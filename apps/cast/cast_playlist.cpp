#include "cast_playlist.h"

#include "cast_options.h"
#include "station/track_probe.h"

#include <exception>

namespace sondrix {

std::vector<std::string> playableTracks(const std::vector<std::string>& Files,
                                        const LinePrinter& Print,
                                        const std::function<bool()>& Stop) {
  std::vector<std::string> playable;
  for (const std::string& file : Files) {
    if (Stop())
      return {};
    const std::string problem = trackProblem(file);
    if (problem.empty())
      playable.push_back(file);
    else
      Print("Leaving out " + file + ": " + problem);
  }
  return playable;
}

std::optional<std::vector<std::string>> rereadTracks(const std::vector<std::string>& Paths,
                                                     const LinePrinter& Print,
                                                     const std::function<bool()>& Stop) {
  const std::string keeping = "; the list on air stays";
  std::vector<std::string> files;
  try {
    std::string refused;
    files = expandPlaylistPaths(Paths, &refused);
    if (!refused.empty())
      Print(refused);
  } catch (const std::exception& e) {
    Print(std::string("Playlist not reread: ") + e.what() + keeping);
    return std::nullopt;
  }
  std::vector<std::string> playable = playableTracks(files, Print, Stop);
  if (Stop())
    return std::nullopt;
  if (playable.empty()) {
    Print(std::string("Playlist not reread: ") +
          (files.empty() ? "it holds no files" : "no file can be played") + keeping);
    return std::nullopt;
  }
  Print("Playlist reread: " + std::to_string(playable.size()) +
        (playable.size() == 1 ? " track" : " tracks"));
  return playable;
}

} // namespace sondrix
