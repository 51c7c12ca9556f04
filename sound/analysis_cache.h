#pragma once

#include "track_analysis.h"

#include <optional>
#include <string>

namespace sondrix {

// Analyses kept between runs, one small file per track in Folder, keyed by the track's path,
// size and modification time: a file that changes is analysed again. Safe to use from
// several threads and processes at once (a result is written to a temporary file, then
// renamed). A folder that cannot be written only means nothing is kept.
class AnalysisCache {
public:
  // An empty Folder keeps nothing.
  explicit AnalysisCache(std::string Folder);

  // $XDG_CACHE_HOME/Sondrix/ when set and absolute, else $HOME/.cache/Sondrix/; empty when
  // neither is known.
  static std::string DefaultFolder();

  const std::string& Folder() const { return FFolder; }
  // The result stored for the file as it is now; nullopt if none, or if it has changed.
  std::optional<TrackAnalysis> Load(const std::string& Path) const;
  void Store(const std::string& Path, const TrackAnalysis& Result) const;

private:
  std::string FFolder;
};

} // namespace sondrix
