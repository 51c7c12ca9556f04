#pragma once

#include <algorithm>
#include <chrono>

namespace sondrix {

// When to try a lost connection again: First after the first failure, doubling up to Max.
// A connection that held for Settled or longer starts the schedule over, so one drop after
// hours of service is retried at once, while a server that takes the login and then drops
// it straight away is not hammered.
class TRetryBackoff {
public:
  using Duration = std::chrono::milliseconds;

  TRetryBackoff(Duration First = std::chrono::seconds(1), Duration Max = std::chrono::seconds(60),
                Duration Settled = std::chrono::seconds(10))
      : FFirst(First), FMax(std::max(First, Max)), FSettled(Settled), FNext(First) {}

  // The wait before the next attempt; each call doubles the one after it.
  Duration NextDelay() {
    const Duration delay = FNext;
    FNext = FNext >= FMax / 2 ? FMax : FNext * 2;
    return delay;
  }
  // A connection ended after lasting Lasted.
  void ConnectionEnded(Duration Lasted) {
    if (Lasted >= FSettled)
      FNext = FFirst;
  }

private:
  Duration FFirst, FMax, FSettled, FNext;
};

} // namespace sondrix
