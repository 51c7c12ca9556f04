#include "console_view.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

TEST(ConsoleView, TheOnAirLineCountsTracksInTheRightNumber) {
  const CastOptions options = parseCastOptions({"x.mp3"});
  for (const auto& [files, words] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"a.mp3"}, "(1 track, 128 kbit/s)"}, {{"a.mp3", "b.mp3"}, "(2 tracks, 128 kbit/s)"}}) {
    std::vector<std::string> lines;
    TConsoleView view(options, files, [&](const std::string& Line) { lines.push_back(Line); });
    view.SetLink("mms://192.0.2.2:8098");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "On air: mms://192.0.2.2:8098 " + words);
  }
}

} // namespace
} // namespace sondrix
