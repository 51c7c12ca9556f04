#include "winmedia/server/net_fd_limit.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace sondrix {
namespace {

TEST(NetsinkFdLimit, RaisesTheSoftLimitToTheHardOne) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max < 2) {
    GTEST_SKIP() << "hard limit too low to lower the soft one";
  }
  rlimit lowered = original;
  lowered.rlim_cur = original.rlim_max / 2;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

  const std::uint64_t raised = raiseOpenFileLimit();
  rlimit now{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &now), 0);
  EXPECT_EQ(now.rlim_cur, original.rlim_max);
  EXPECT_EQ(raised, static_cast<std::uint64_t>(now.rlim_cur));
  EXPECT_EQ(raiseOpenFileLimit(), raised); // already there: unchanged
  ::setrlimit(RLIMIT_NOFILE, &original);
}

} // namespace
} // namespace sondrix
