#pragma once

#include "station/icecast_url.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sondrix {

// Tells Icecast servers the title on air (their admin "updinfo" request, with the source's
// credentials), on a thread of its own so the caller never waits for a server. A failed update
// is tried again a few times; a newer title replaces one not yet sent.
class TIcecastTitles {
public:
  explicit TIcecastTitles(std::vector<TIcecastTarget> Targets);
  ~TIcecastTitles(); // bounded: an update under way is aborted
  TIcecastTitles(const TIcecastTitles&) = delete;
  TIcecastTitles& operator=(const TIcecastTitles&) = delete;

  // The title now on air, for every server. An empty title is not sent.
  void SetTitle(const std::string& Title);
  // The push to Target has (re)connected: a new source starts without a title.
  void Resend(std::size_t Target);

  struct State;

private:
  std::shared_ptr<State> FState;
  std::thread FThread;
};

} // namespace sondrix
