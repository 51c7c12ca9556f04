#pragma once

#include "station/icecast_url.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace sondrix {

// Tells Icecast servers the title on air (their admin "updinfo" request, with the source's
// credentials), each server on a thread of its own, so neither the caller nor the other servers
// wait for a slow one. Only a server whose push is connected is told; a failed update is tried
// again a few times; a newer title replaces one not yet sent.
class TIcecastTitles {
public:
  explicit TIcecastTitles(std::vector<TIcecastTarget> Targets);
  ~TIcecastTitles(); // bounded: updates under way are aborted
  TIcecastTitles(const TIcecastTitles&) = delete;
  TIcecastTitles& operator=(const TIcecastTitles&) = delete;

  // The title now on air, for every connected server. An empty title is not sent.
  void SetTitle(const std::string& Title);
  // The push to Target (an index of Targets) connected or lost its server. A source that
  // connects afresh has no title until it is told, so it is told at once.
  void SetConnected(std::size_t Target, bool Connected);

  class Worker;

private:
  std::vector<std::unique_ptr<Worker>> FWorkers;
};

} // namespace sondrix
