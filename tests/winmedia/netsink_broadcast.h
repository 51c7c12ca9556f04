#pragma once

#include "netsink_helpers.h"
#include "winmedia/server/net_asf_stream.h"
#include "winmedia/server/net_server.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace sondrix::nettest {

// A NetServer on a free port with a synthetic broadcast published from a thread, one packet
// per interval, for as long as it lives.
class Broadcast final : private NetServerEvents {
public:
  explicit Broadcast(NetServerOptions options, AsfShape shape = {1000},
                     std::chrono::milliseconds interval = std::chrono::milliseconds(20));
  ~Broadcast();
  Broadcast(const Broadcast&) = delete;
  Broadcast& operator=(const Broadcast&) = delete;

  NetServer& server() { return FServer; }
  std::uint16_t port() const { return FPort; }
  // Publishes the header again: a new broadcast, which lets every listener of this one go.
  void restart();

  std::uint64_t publishedBytes() const { return FPublished * framedPacketBytes(); }
  std::uint64_t framedPacketBytes() const { return FAsf.packets[0].size() + 12; }
  double bytesPerSecond() const;
  int connects() const { return FConnects; }
  int disconnects() const { return FDisconnects; }

private:
  void onListenerConnected(std::uint32_t) override { ++FConnects; }
  void onListenerDisconnected(std::uint32_t) override { ++FDisconnects; }
  void feed(const Bytes& bytes);

  NetServer FServer;
  SyntheticAsf FAsf;
  std::chrono::milliseconds FInterval;
  std::uint16_t FPort = 0;
  std::mutex FFeedLock;
  AsfStreamSplitter FSplitter;
  std::atomic<std::uint64_t> FPublished{0};
  std::atomic<int> FConnects{0};
  std::atomic<int> FDisconnects{0};
  std::atomic<bool> FStop{false};
  std::thread FFeeder;
};

// A framed (MMSH) listener that reads everything as it comes, on its own thread.
class HealthyListener {
public:
  explicit HealthyListener(std::uint16_t port);
  ~HealthyListener();
  HealthyListener(const HealthyListener&) = delete;
  HealthyListener& operator=(const HealthyListener&) = delete;

  // Bytes after the response head.
  std::uint64_t bodyBytes() const { return FBody; }
  // Answered 200 and not closed since.
  bool open() const { return FOpen; }

private:
  TestClient FClient;
  std::atomic<std::uint64_t> FBody{0};
  std::atomic<bool> FOpen{false};
  std::atomic<bool> FStop{false};
  std::thread FReader;
};

} // namespace sondrix::nettest
