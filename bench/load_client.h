#pragma once

// The listener load client: many simultaneous stream listeners on one epoll loop.
// runLoad() blocks the calling thread for the whole run and owns every socket it opens.

#include <cstdint>
#include <functional>
#include <string>

namespace sondrix::bench {

enum class RequestStyle {
  Plain, // a plain HTTP GET: the server answers with the raw stream
  Mmsh,  // a Windows Media player's play request: the answer is $H/$D framed
};

struct LoadConfig {
  std::string host = "127.0.0.1"; // numeric IPv4 or IPv6 address
  int port = 8098;
  std::string path = "/";
  int listeners = 100;
  double stallFraction = 0;    // share of listeners that send the request and never read
  double durationSeconds = 60; // whole run, from the first connect, ramp included
  double rampPerSecond = 0;    // new connections per second; 0 = as fast as possible
  RequestStyle style = RequestStyle::Plain;
  double bitrateKbps = 128;      // the stream's nominal rate
  double graceSeconds = 5;       // after the first byte, the join burst is not judged
  int windowSeconds = 5;         // window of the starvation check (1..15)
  double starvedRatio = 0.8;     // below this share of the nominal rate = starved
  double prebufferSeconds = 2;   // the modelled player's buffer before it plays
  int stallReceiveBuffer = 4096; // SO_RCVBUF of a stalled listener, bytes
  // Called about once a second with a one-line progress note; may be empty.
  std::function<void(const std::string&)> progress;
};

struct LoadResult {
  int listeners = 0;     // asked for
  int notStarted = 0;    // the ramp had not reached them when the run ended
  int healthy = 0;       // started healthy listeners
  int stalled = 0;       // started stalled listeners
  int connectFailed = 0; // healthy: connect or request send failed
  int refused = 0;       // healthy: answered with a non-200 status or a non-HTTP line
  int noFirstByte = 0;   // healthy: connected, nothing received by the end
  int held = 0;          // healthy: 200, still receiving at the end
  int dropped = 0;       // healthy: 200, then closed by the server before the end
  int starved = 0;       // healthy: below the rate in at least one judged window
  int starvedAtEnd = 0;  // healthy: below the rate in the last judged window
  int underrunListeners = 0;
  std::int64_t underruns = 0;
  int stalledConnected = 0; // stalled listeners whose request went out
  int stalledCut = 0;       // of them, seen closed by the server (best effort)
  double ttfbP50Ms = 0;     // connect start to the first response byte, healthy listeners
  double ttfbP99Ms = 0;
  double ttfbMaxMs = 0;
  // From the request sent to the first response byte: the server's share of ttfb, without
  // the connect and this client's own delay in asking.
  double answerP99Ms = 0;
  std::uint64_t bodyBytes = 0; // healthy listeners, response heads excluded
  double listenerSeconds = 0;  // healthy listeners' time with a 200 stream open
  double meanRateKbps = 0;     // bodyBytes over listenerSeconds
  double elapsedSeconds = 0;
  double rampSeconds = 0;      // until the last connection was started
  double clientCpuSeconds = 0; // this process's own CPU over the run (user + system)
  std::string firstError;      // the first connect/send failure, for the report
};

// Runs the load; throws std::runtime_error when it cannot start (bad address, no epoll).
LoadResult runLoad(const LoadConfig& config);

// "key=value key=value ..." on one line.
std::string machineSummary(const LoadResult& r);
// A sentence for people.
std::string humanSummary(const LoadResult& r);

} // namespace sondrix::bench
