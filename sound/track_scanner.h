#pragma once

#include "analysis_cache.h"
#include "audio/au_input.h"
#include "base/component.h"
#include "track_analysis.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sondrix {

// Analyses the tracks that come next on a low-priority thread of its own, so that each is
// played at its measured loudness from its first frame. Results come from the cache when the
// file has not changed, else from decoding the whole file with an input of the scanner's own,
// and go back into the cache. Never blocks its callers for longer than a map look-up.
class TrackScanner {
public:
  // Makes an input that reads Path (not yet initialised). Called on the scanner's thread.
  using InputFactory = std::function<ComponentPtr<TAuInput>(const std::string& Path)>;

  TrackScanner(InputFactory Factory, AnalysisCache Cache);
  // Stops at the next block and joins.
  ~TrackScanner();
  TrackScanner(const TrackScanner&) = delete;
  TrackScanner& operator=(const TrackScanner&) = delete;

  // The tracks to analyse, the most urgent first; replaces the last wish list. Any thread.
  void Want(std::vector<std::string> Paths);
  // The analysis of Path once done (in this run, or found in the cache). Any thread.
  std::optional<TrackAnalysis> Find(const std::string& Path) const;
  // Waits until every wanted track is done (or could not be read); false at the time-out.
  bool WaitIdle(std::chrono::milliseconds Timeout) const;

private:
  void run();
  // Decodes and analyses one file; nullopt if it cannot be read. Stops early on FStop.
  std::optional<TrackAnalysis> analyse(const std::string& Path);

  InputFactory FFactory;
  AnalysisCache FCache;
  mutable std::mutex FLock;
  mutable std::condition_variable FWake;
  mutable std::condition_variable FIdle;
  std::vector<std::string> FWanted;           // under FLock
  std::map<std::string, TrackAnalysis> FDone; // under FLock
  std::set<std::string> FFailed;              // under FLock
  bool FBusy = false;                         // under FLock
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

} // namespace sondrix
