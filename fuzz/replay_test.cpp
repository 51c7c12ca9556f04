// Replays the inputs the fuzzers once broke on through the same entry, without libFuzzer,
// so the normal and sanitizer builds keep them fixed.

#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> regressionInputs() {
  std::vector<fs::path> files;
  const fs::path folder = SONDRIX_REGRESSION_DIR;
  if (fs::is_directory(folder))
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.is_regular_file())
        files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class Regression : public ::testing::TestWithParam<fs::path> {};

TEST_P(Regression, ReplaysCleanly) {
  std::ifstream in(GetParam(), std::ios::binary);
  ASSERT_TRUE(in) << GetParam();
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, Regression, ::testing::ValuesIn(regressionInputs()),
                         [](const ::testing::TestParamInfo<fs::path>& info) {
                           std::string name = info.param.filename().string();
                           std::replace_if(
                               name.begin(), name.end(),
                               [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
                               '_');
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Regression);

} // namespace
