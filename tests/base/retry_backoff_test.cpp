#include "base/retry_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace sondrix {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::vector<long> delays(TRetryBackoff& backoff, int count) {
  std::vector<long> out;
  for (int i = 0; i < count; ++i)
    out.push_back(
        static_cast<long>(std::chrono::duration_cast<seconds>(backoff.NextDelay()).count()));
  return out;
}

TEST(RetryBackoff, DoublesToItsCapAndStartsOverOnlyAfterALastingConnection) {
  TRetryBackoff backoff; // 1 s doubling to 60 s, a connection of 10 s counts as lasting
  EXPECT_EQ(delays(backoff, 9), (std::vector<long>{1, 2, 4, 8, 16, 32, 60, 60, 60}));

  // Logged in and dropped at once: the schedule goes on where it was.
  backoff.ConnectionEnded(seconds(9));
  EXPECT_EQ(delays(backoff, 1), (std::vector<long>{60}));

  backoff.ConnectionEnded(seconds(10));
  EXPECT_EQ(delays(backoff, 3), (std::vector<long>{1, 2, 4}));

  // A cap below the first pause does not shorten it; a cap that is no power of two is reached.
  TRetryBackoff odd(seconds(5), seconds(3));
  EXPECT_EQ(delays(odd, 2), (std::vector<long>{5, 5}));
  TRetryBackoff fine(milliseconds(300), milliseconds(1000), seconds(1));
  std::vector<long> ms;
  for (int i = 0; i < 4; ++i)
    ms.push_back(static_cast<long>(fine.NextDelay().count()));
  EXPECT_EQ(ms, (std::vector<long>{300, 600, 1000, 1000}));
}

} // namespace
} // namespace sondrix
