#include "bench/load_stats.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace sondrix::bench {

void ByteWindow::rollTo(std::int64_t second) {
  if (second <= FLast)
    return;
  // Clear the buckets of the seconds that passed without data.
  const std::int64_t first = std::max(FLast + 1, second - kSeconds + 1);
  for (std::int64_t s = first; s <= second; ++s)
    FBuckets[static_cast<std::size_t>(s % kSeconds)] = 0;
  FLast = second;
}

void ByteWindow::add(std::int64_t second, std::uint32_t bytes) {
  rollTo(second);
  FBuckets[static_cast<std::size_t>(second % kSeconds)] += bytes;
}

std::uint64_t ByteWindow::sumBefore(std::int64_t endSecond, int seconds) const {
  std::uint64_t sum = 0;
  for (std::int64_t s = endSecond - seconds; s < endSecond; ++s) {
    // Only seconds still held and already written count; the rest had no data.
    if (s < 0 || s > FLast || s <= FLast - kSeconds)
      continue;
    sum += FBuckets[static_cast<std::size_t>(s % kSeconds)];
  }
  return sum;
}

void PlaybackModel::advance(double seconds) {
  if (!FPlaying) {
    if (FReceived - FPlayed >= FPrebuffer)
      FPlaying = true;
    return;
  }
  FPlayed += seconds * FRate;
  if (FPlayed > FReceived) {
    ++FUnderruns;
    FPlayed = FReceived;
    FPlaying = false;
  }
}

void ResponseScanner::statusByte(char c) {
  if (FLineDone)
    return;
  if (c == '\r' || c == '\n' || FLineLength == FLine.size()) {
    FLineDone = true;
    // "HTTP/1.0 200" is the least we need: protocol, a space, three digits.
    const std::string_view line(FLine.data(), FLineLength);
    if (line.size() >= 12 && line.substr(0, 5) == "HTTP/" && line[8] == ' ' &&
        std::isdigit(static_cast<unsigned char>(line[9])) &&
        std::isdigit(static_cast<unsigned char>(line[10])) &&
        std::isdigit(static_cast<unsigned char>(line[11])))
      FStatus = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    else
      FMalformed = true;
    return;
  }
  FLine[FLineLength++] = c;
}

std::size_t ResponseScanner::feed(std::string_view slice) {
  if (headDone())
    return slice.size();
  for (std::size_t i = 0; i < slice.size(); ++i) {
    const char c = slice[i];
    statusByte(c);
    static constexpr char kCrlf[] = "\r\n\r\n";
    FMatched = c == kCrlf[FMatched] ? FMatched + 1 : (c == '\r' ? 1 : 0);
    FMatchedLf = c == '\n' ? FMatchedLf + 1 : (c == '\r' ? FMatchedLf : 0);
    if (headDone())
      return slice.size() - i - 1;
  }
  return 0;
}

double percentile(std::vector<double>& values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return values[std::min(index, values.size() - 1)];
}

} // namespace sondrix::bench
