#pragma once

// Per-listener bookkeeping of the load client. Everything here is a plain value owned by one
// listener slot and touched by the client's event-loop thread only. Sizes are fixed so that
// 10 000+ listeners cost a few hundred bytes each.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace sondrix::bench {

// Bytes received per whole second of the run, for the last kSeconds seconds.
class ByteWindow {
public:
  static constexpr int kSeconds = 16;

  // Adds bytes received during run second `second` (seconds never go back).
  void add(std::int64_t second, std::uint32_t bytes);
  // Sum of the complete seconds [endSecond - seconds, endSecond), seconds <= kSeconds - 1.
  // Seconds with no data count as zero.
  std::uint64_t sumBefore(std::int64_t endSecond, int seconds) const;

private:
  void rollTo(std::int64_t second);
  std::array<std::uint32_t, kSeconds> FBuckets{};
  std::int64_t FLast = -1;
};

// A player's buffer: it starts playing once `prebufferBytes` of body are in, then consumes
// `bytesPerSecond`; running dry is an underrun, after which it buffers again.
class PlaybackModel {
public:
  PlaybackModel(double bytesPerSecond, double prebufferBytes)
      : FRate(bytesPerSecond), FPrebuffer(prebufferBytes) {}

  void received(std::uint64_t bytes) { FReceived += static_cast<double>(bytes); }
  // Moves the player's clock on by `seconds`; counts an underrun when the buffer empties.
  void advance(double seconds);
  int underruns() const { return FUnderruns; }
  bool playing() const { return FPlaying; }
  // Seconds of audio waiting in the buffer.
  double bufferedSeconds() const { return (FReceived - FPlayed) / FRate; }

private:
  double FRate;
  double FPrebuffer;
  double FReceived = 0;
  double FPlayed = 0;
  bool FPlaying = false;
  int FUnderruns = 0;
};

// Reads an HTTP response head as it arrives in slices of any size: keeps the status code and
// tells where the body starts. Holds at most a few bytes of state.
class ResponseScanner {
public:
  // Feeds the next slice; returns how many of its bytes belong to the body.
  std::size_t feed(std::string_view slice);
  bool headDone() const { return FMatched == 4 || FMatchedLf == 2; }
  // The status code of the first line, 0 until it is known or when the line is not HTTP.
  int status() const { return FStatus; }
  // True once the first line has been seen and is not "HTTP/x.y NNN".
  bool malformed() const { return FMalformed; }

private:
  void statusByte(char c);
  std::array<char, 16> FLine{};
  std::size_t FLineLength = 0;
  bool FLineDone = false;
  bool FMalformed = false;
  int FStatus = 0;
  int FMatched = 0;   // progress through "\r\n\r\n"
  int FMatchedLf = 0; // progress through "\n\n"
};

// Nearest-rank percentile (p in [0, 100]) of the values; sorts them. 0 for no values.
double percentile(std::vector<double>& values, double p);

} // namespace sondrix::bench
