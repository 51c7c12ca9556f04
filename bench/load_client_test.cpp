#include "bench/load_client.h"
#include "bench/load_stats.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sondrix::bench {
namespace {

TEST(ByteWindow, SumsWholeSecondsAndForgetsOldOnes) {
  ByteWindow w;
  w.add(0, 100);
  w.add(0, 50);
  w.add(2, 10);
  EXPECT_EQ(w.sumBefore(3, 3), 160u);
  EXPECT_EQ(w.sumBefore(3, 1), 10u);
  EXPECT_EQ(w.sumBefore(2, 1), 0u);  // second 1 had nothing
  EXPECT_EQ(w.sumBefore(10, 5), 0u); // silence since second 2
  // A bucket reused after a full turn must not keep the old second's bytes.
  w.add(ByteWindow::kSeconds + 2, 7);
  EXPECT_EQ(w.sumBefore(ByteWindow::kSeconds + 3, 1), 7u);
  EXPECT_EQ(w.sumBefore(ByteWindow::kSeconds + 3, ByteWindow::kSeconds - 1), 7u);
  EXPECT_EQ(w.sumBefore(ByteWindow::kSeconds + 2, 1), 0u);
  // A long gap clears every bucket.
  w.add(100, 1);
  EXPECT_EQ(w.sumBefore(101, ByteWindow::kSeconds - 1), 1u);
}

TEST(PlaybackModel, BuffersPlaysAndCountsEachUnderrunOnce) {
  PlaybackModel m(1000, 500);
  m.received(400);
  m.advance(1);
  EXPECT_FALSE(m.playing());
  m.received(200);
  m.advance(0.1); // enough buffered: starts, nothing consumed yet
  EXPECT_TRUE(m.playing());
  m.advance(0.5);
  EXPECT_NEAR(m.bufferedSeconds(), 0.1, 1e-9);
  EXPECT_EQ(m.underruns(), 0);
  m.advance(0.2); // runs dry
  EXPECT_EQ(m.underruns(), 1);
  EXPECT_FALSE(m.playing());
  m.advance(5); // still empty while buffering: no new underrun
  EXPECT_EQ(m.underruns(), 1);
  m.received(500);
  m.advance(0.1);
  m.advance(0.6);
  EXPECT_EQ(m.underruns(), 2);
}

TEST(ResponseScanner, FindsStatusAndBodyAcrossSlices) {
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: x\r\n\r\n";
  ResponseScanner s;
  std::size_t body = 0;
  for (char c : head)
    body += s.feed(std::string_view(&c, 1));
  EXPECT_EQ(body, 0u);
  EXPECT_TRUE(s.headDone());
  EXPECT_EQ(s.status(), 200);
  EXPECT_EQ(s.feed("abcdef"), 6u);

  ResponseScanner t;
  EXPECT_EQ(t.feed("HTTP/1.1 503 Busy\r\n\r\nxyz"), 3u);
  EXPECT_EQ(t.status(), 503);

  ResponseScanner bare; // bare LF line ends
  EXPECT_EQ(bare.feed("HTTP/1.0 200 OK\nA: b\n\nbody"), 4u);
  EXPECT_EQ(bare.status(), 200);

  ResponseScanner notHttp;
  notHttp.feed("ICY 200 OK\r\n");
  EXPECT_TRUE(notHttp.malformed());
  EXPECT_EQ(notHttp.status(), 0);

  ResponseScanner crInBody; // a CR in a header value does not end the head
  EXPECT_EQ(crInBody.feed("HTTP/1.0 200 OK\r\nA: \rb\r\n\r\nZ"), 1u);
}

TEST(Percentile, NearestRank) {
  std::vector<double> v{5, 1, 4, 2, 3};
  EXPECT_EQ(percentile(v, 50), 3);
  EXPECT_EQ(percentile(v, 99), 5);
  EXPECT_EQ(percentile(v, 0), 1);
  std::vector<double> none;
  EXPECT_EQ(percentile(none, 50), 0);
}

// Binds the socket to 127.0.0.1 on a port the system picks; returns the port, 0 on failure.
int bindLoopback(int fd) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 0;
  return ntohs(a.sin_port);
}

// A stand-in stream server. Each connection's behaviour is chosen by the listener index
// that the load client puts at the end of its player GUID.
class FakeStation {
public:
  static constexpr int kRate = 16000; // bytes per second, 128 kbit/s

  FakeStation() {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FPort = bindLoopback(FListen);
    EXPECT_NE(FPort, 0);
    EXPECT_EQ(::listen(FListen, 64), 0);
    FAcceptor = std::thread([this] { acceptLoop(); });
  }
  ~FakeStation() {
    FStop = true;
    FAcceptor.join();
    for (auto& t : FConnections)
      t.join();
    ::close(FListen);
  }
  int port() const { return FPort; }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> g(FLock);
    return FRequests;
  }
  long stalledBytes() const { return FStalledBytes; }
  void stop() { FStop = true; }

private:
  void acceptLoop() {
    while (!FStop) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0)
        continue;
      const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0)
        FConnections.emplace_back([this, fd] { serve(fd); });
    }
  }

  static std::string readRequest(int fd) {
    std::string r;
    char buf[512];
    while (r.find("\r\n\r\n") == std::string::npos && r.size() < 8192) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0)
        break;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0)
        break;
      r.append(buf, static_cast<std::size_t>(n));
    }
    return r;
  }

  void serve(int fd) {
    const std::string request = readRequest(fd);
    {
      std::lock_guard<std::mutex> g(FLock);
      FRequests.push_back(request);
    }
    const auto guid = request.find("xClientGUID={");
    const int index = guid == std::string::npos
                          ? -1
                          : static_cast<int>(std::strtol(request.substr(guid + 13 + 24, 12).c_str(),
                                                         nullptr, 16));
    if (index == 2) {
      const std::string no = "HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
      ::send(fd, no.data(), no.size(), MSG_NOSIGNAL);
      ::close(fd);
      return;
    }
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/x-mms-framed\r\n\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    if (index == 4) {
      // The listener that never reads: push until its windows are full, then give up on it.
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
      const std::vector<char> chunk(64 * 1024, 'S');
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
      while (!FStop && std::chrono::steady_clock::now() < giveUp) {
        const ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n > 0)
          FStalledBytes += n;
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      ::close(fd);
      return;
    }
    // 1: cut after a second; 3: half the rate and no join burst; others: full rate + burst.
    const int rate = index == 3 ? kRate / 2 : kRate;
    const std::vector<char> data(static_cast<std::size_t>(kRate), 'D');
    if (index != 3)
      ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    const auto start = std::chrono::steady_clock::now();
    for (int k = 1; !FStop; ++k) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * k));
      if (index == 1 && k > 10)
        break;
      if (::send(fd, data.data(), static_cast<std::size_t>(rate / 10), MSG_NOSIGNAL) <= 0)
        break;
    }
    ::close(fd);
  }

  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<long> FStalledBytes{0};
  std::thread FAcceptor;
  std::vector<std::thread> FConnections; // touched by the acceptor thread only until joined
  std::mutex FLock;
  std::vector<std::string> FRequests;
};

TEST(LoadClient, TellsHeldDroppedRefusedStarvedAndStalledListenersApart) {
  FakeStation station;
  LoadConfig c;
  c.port = station.port();
  c.listeners = 5;
  c.stallFraction = 0.2; // the last listener, index 4
  c.durationSeconds = 3.5;
  c.style = RequestStyle::Mmsh;
  c.graceSeconds = 0.5;
  c.windowSeconds = 1;
  c.prebufferSeconds = 0.5;
  const LoadResult r = runLoad(c);
  station.stop();

  EXPECT_EQ(r.healthy, 4);
  EXPECT_EQ(r.stalled, 1);
  EXPECT_EQ(r.notStarted, 0);
  EXPECT_EQ(r.held, 2);    // index 0 and the slow index 3: still on
  EXPECT_EQ(r.dropped, 1); // index 1
  EXPECT_EQ(r.refused, 1); // index 2
  EXPECT_EQ(r.connectFailed, 0);
  EXPECT_EQ(r.noFirstByte, 0);
  EXPECT_EQ(r.starved, 1); // index 3 gets half the rate
  EXPECT_EQ(r.underrunListeners, 1);
  EXPECT_GE(r.underruns, 1);
  EXPECT_EQ(r.stalledConnected, 1);
  EXPECT_EQ(r.stalledCut, 1);
  EXPECT_GT(r.ttfbP50Ms, 0);
  EXPECT_LE(r.ttfbP50Ms, r.ttfbP99Ms);
  EXPECT_LE(r.ttfbP99Ms, r.ttfbMaxMs);
  EXPECT_GT(r.answerP99Ms, 0); // the request to the first byte is part of ttfb
  EXPECT_LE(r.answerP99Ms, r.ttfbMaxMs);
  // Index 0 alone gets its burst plus about three seconds of stream: heads are not counted.
  EXPECT_GT(r.bodyBytes, static_cast<std::uint64_t>(3 * FakeStation::kRate));
  EXPECT_GT(r.listenerSeconds, 3 * 2 + 1); // two on for ~3.5 s, one for ~1 s
  EXPECT_LT(r.listenerSeconds, 3.5 * 3);

  // The stalled listener never read: the server could push only what the socket buffers take.
  EXPECT_GT(station.stalledBytes(), 0);
  EXPECT_LT(station.stalledBytes(), 8L * 1024 * 1024);

  const auto requests = station.requests();
  ASSERT_EQ(requests.size(), 5u);
  for (const auto& q : requests) {
    EXPECT_EQ(q.rfind("GET / HTTP/1.0\r\n", 0), 0u) << q;
    EXPECT_NE(q.find("User-Agent: NSPlayer/"), std::string::npos) << q;
    EXPECT_NE(q.find("Pragma: xPlayStrm=1\r\n"), std::string::npos) << q;
  }
}

TEST(LoadClient, CountsConnectionsNobodyAccepts) {
  // A port that was just free: nothing listens there.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int port = bindLoopback(fd);
  ::close(fd);
  ASSERT_NE(port, 0);

  LoadConfig c;
  c.port = port;
  c.listeners = 3;
  c.durationSeconds = 0.5;
  const LoadResult r = runLoad(c);
  EXPECT_EQ(r.connectFailed, 3);
  EXPECT_EQ(r.held, 0);
  EXPECT_NE(r.firstError.find("refused"), std::string::npos) << r.firstError;
  EXPECT_NE(machineSummary(r).find("connect_failed=3 "), std::string::npos);
}

TEST(LoadClient, LeavesListenersBeyondTheRampUnstarted) {
  FakeStation station;
  LoadConfig c;
  c.port = station.port();
  c.listeners = 10;
  c.rampPerSecond = 4; // at 0, 0.25, 0.5 and 0.75 s
  c.durationSeconds = 0.9;
  c.style = RequestStyle::Mmsh;
  const LoadResult r = runLoad(c);
  station.stop();
  EXPECT_EQ(r.notStarted, 6);
  EXPECT_EQ(r.healthy, 4);
}

} // namespace
} // namespace sondrix::bench
