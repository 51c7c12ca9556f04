// The source push against servers that misbehave on purpose: each case must end in a report
// within the login's deadline, a retry, and a bounded memory.
#include "winmedia/runtime/icecast_push.h"
#include "winmedia/runtime/icecast_reply.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Plays one behaviour on every connection, after reading the login's head.
class Hostile {
public:
  // Returns when the connection should close; Stopping tells it the test is over.
  using Behaviour = std::function<void(int Fd, const std::atomic<bool>& Stopping)>;

  explicit Hostile(Behaviour Play, int ReceiveBuffer = 0) : FPlay(std::move(Play)) {
    FListen = ::socket(AF_INET, SOCK_STREAM, 0);
    if (ReceiveBuffer > 0)
      ::setsockopt(FListen, SOL_SOCKET, SO_RCVBUF, &ReceiveBuffer, sizeof ReceiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(FListen, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(FListen, 8);
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    FThread = std::thread([this] { serve(); });
  }
  ~Hostile() {
    FStop = true;
    FThread.join();
    ::close(FListen);
  }
  std::uint16_t Port() const { return FPort; }
  std::string Url() const {
    return "http://source:pw@127.0.0.1:" + std::to_string(FPort) + "/live";
  }
  int Logins() const { return FLogins; }

private:
  void serve() {
    while (!FStop) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0)
        continue;
      const int fd = ::accept(FListen, nullptr, nullptr);
      std::string head;
      while (!FStop && head.find("\r\n\r\n") == std::string::npos) {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 20) <= 0)
          continue;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
          break;
        head.append(buf, static_cast<std::size_t>(n));
      }
      if (head.find("\r\n\r\n") != std::string::npos) {
        ++FLogins;
        FPlay(fd, FStop);
      }
      ::close(fd);
    }
  }

  Behaviour FPlay;
  int FListen = -1;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FLogins{0};
  std::thread FThread;
};

// Sends Text, then Repeat over and over until the peer goes or the test ends.
Hostile::Behaviour endless(std::string Text, std::string Repeat) {
  return [Text, Repeat](int fd, const std::atomic<bool>& stopping) {
    ::send(fd, Text.data(), Text.size(), MSG_NOSIGNAL);
    std::string block;
    while (!Repeat.empty() && block.size() < 64 * 1024)
      block += Repeat;
    while (!stopping) {
      if (block.empty()) {
        // Nothing more to say: wait for the peer to go.
        pollfd p{fd, POLLIN, 0};
        char byte;
        if (::poll(&p, 1, 20) > 0 && ::recv(fd, &byte, 1, 0) <= 0)
          return;
        continue;
      }
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0)
        continue;
      if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
          errno != EAGAIN)
        return;
    }
  };
}

std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

struct Reports {
  std::mutex lock;
  std::vector<std::pair<Clock::time_point, std::string>> lines;
  std::atomic<int> connected{0};
  TIcecastPush::Reporter reporter() {
    return [this](const IcecastReport& news) {
      std::lock_guard guard(lock);
      lines.emplace_back(Clock::now(), news.Text());
      if (news.Connected)
        ++connected;
    };
  }
  std::size_t size() {
    std::lock_guard guard(lock);
    return lines.size();
  }
};

template <typename Done> bool waitFor(Done done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done())
      return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

TEST(IcecastHostile, EveryMisbehavingServerIsReportedInTimeAndTriedAgainInBoundedMemory) {
  struct Case {
    const char* name;
    Hostile::Behaviour play;
    std::string report; // how the first report starts, after the label
  };
  const std::vector<Case> cases = {
      {"an endless header line", endless("HTTP/1.1 100 Continue\r\nX-Junk: ", "a"),
       "the answer's head is too long"},
      {"endless header lines", endless("HTTP/1.1 100 Continue\r\n", "X-Junk: a\r\n"),
       "the answer's head is too long"},
      {"garbage instead of HTTP", endless("SSH-2.0-OpenSSH_9.2\r\n\r\n", "\x01\x02"),
       "the answer is not HTTP"},
      {"an empty status code", endless("HTTP/1.1 \r\n\r\n", ""), "the answer is not HTTP"},
      {"a trickle",
       [](int fd, const std::atomic<bool>& stopping) {
         const std::string reply =
             "HTTP/1.1 100 Continue\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaa\r\n\r\n";
         for (std::size_t i = 0; i < reply.size() && !stopping; ++i) {
           ::send(fd, &reply[i], 1, MSG_NOSIGNAL);
           std::this_thread::sleep_for(40ms);
         }
       },
       "timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Hostile server(c.play);
    Reports reports;
    IcecastPushOptions o;
    o.url = server.Url();
    o.label = "hostile";
    o.firstRetry = 50ms;
    o.maxRetry = 100ms;
    o.loginTimeout = 500ms;
    const std::size_t before = residentBytes();
    const auto start = Clock::now();
    TIcecastPush push(o, reports.reporter());
    ASSERT_TRUE(waitFor([&] { return server.Logins() >= 2; }, 5s)) << "no retry";
    push.Stop();
    EXPECT_LT(residentBytes(), before + 32 * 1024 * 1024) << "memory grew";
    std::lock_guard guard(reports.lock);
    ASSERT_FALSE(reports.lines.empty());
    EXPECT_EQ(reports.connected, 0);
    EXPECT_TRUE(reports.lines[0].second.starts_with("hostile: " + c.report))
        << reports.lines[0].second;
    EXPECT_LT(reports.lines[0].first - start, o.loginTimeout + 500ms);
  }
}

TEST(IcecastHostile, ARedirectIsAFailureThatNamesWhereItPointed) {
  Hostile elsewhere([](int, const std::atomic<bool>&) {});
  const std::string location = "http://127.0.0.1:" + std::to_string(elsewhere.Port()) + "/live";
  Hostile server(endless(
      "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + location + "\x1b]0;owned\x07\r\n\r\n", ""));
  Reports reports;
  IcecastPushOptions o;
  o.url = server.Url();
  o.label = "hostile";
  o.firstRetry = 50ms;
  TIcecastPush push(o, reports.reporter());
  ASSERT_TRUE(waitFor([&] { return server.Logins() >= 2; }, 5s));
  push.Stop();
  EXPECT_EQ(elsewhere.Logins(), 0) << "the redirect was followed";
  std::lock_guard guard(reports.lock);
  EXPECT_EQ(reports.connected, 0);
  EXPECT_EQ(reports.lines.at(0).second, "hostile: redirected (307) to " + location +
                                            "]0;owned, not followed, retrying in 0.0 s");
}

TEST(IcecastHostile, AServerThatStopsReadingIsLostAndTriedAgain) {
  // Takes the login, then never reads: only the send queue shows it.
  Hostile server(
      [](int fd, const std::atomic<bool>& stopping) {
        ::send(fd, "HTTP/1.1 100 Continue\r\n\r\n", 25, MSG_NOSIGNAL);
        while (!stopping)
          std::this_thread::sleep_for(5ms);
      },
      4096);
  Reports reports;
  IcecastPushOptions o;
  o.url = server.Url();
  o.label = "hostile";
  o.firstRetry = 50ms;
  o.sendBuffer = 4096;
  o.stallTimeout = 300ms;
  o.ioTimeout = 60s; // the stall, not a full buffer, must end it
  TIcecastPush push(o, reports.reporter());
  ASSERT_TRUE(waitFor([&] { return reports.connected == 1; }, 5s));
  const auto connected = Clock::now();
  // Audio at about 64 kbit/s, far below what the buffers hold in the test's time.
  const std::vector<std::uint8_t> unit(400, 0xFF);
  const bool lost = waitFor(
      [&] {
        push.Write(unit.data(), unit.size());
        return reports.size() >= 2;
      },
      5s);
  ASSERT_TRUE(lost) << "a server that stopped reading still counts as connected";
  std::lock_guard guard(reports.lock);
  EXPECT_EQ(reports.lines[1].second,
            "hostile: connection lost (the server stopped reading), retrying in 0.0 s");
  EXPECT_LT(reports.lines[1].first - connected, 3s);
}

TEST(IcecastReply, OnlyARealContinueOrSuccessStatusConnects) {
  struct Row {
    std::string head;
    bool connected;
    std::string why;
  };
  const std::vector<Row> rows = {
      {"HTTP/1.1 100 Continue\r\n\r\n", true, ""},
      {"HTTP/1.0 200 OK\r\nServer: Icecast\r\n\r\n", true, ""},
      {"HTTP/1.1 204\r\n\r\n", true, ""},
      {"HTTP/1.1 401 Unauthorized\r\n\r\n", false, "login refused (401)"},
      {"HTTP/1.1 302 Found\r\nlocation:  http://x/y \r\n\r\n", false,
       "redirected (302) to http://x/y, not followed"},
      {"HTTP/1.1 301 Moved\r\n\r\n", false, "redirected (301) to nowhere, not followed"},
      {"HTTP/1.1 503 Busy\r\n\r\n", false, "server error (503)"},
      {"HTTP/1.1 1000 Continue\r\n\r\n", false, "the answer is not HTTP"},
      {"HTTP/1.1 10\r\n\r\n", false, "the answer is not HTTP"},
      {"HTTP/2 200\r\n\r\n", false, "the answer is not HTTP"},
  };
  for (const Row& r : rows) {
    const TIcecastVerdict v = judgeIcecastReply(r.head);
    EXPECT_EQ(v.Connected, r.connected) << r.head;
    EXPECT_EQ(v.Why, r.why) << r.head;
  }

  // The reader: bounded lines and head, garbage refused at its first byte, nothing taken
  // past the head.
  TIcecastReplyReader garbage;
  EXPECT_EQ(garbage.Append("X"), TIcecastReplyReader::Status::NotHttp);
  TIcecastReplyReader complete;
  std::size_t used = 0;
  EXPECT_EQ(complete.Append("HTTP/1.1 100 Continue\n\r\nAUDIO", &used),
            TIcecastReplyReader::Status::Complete);
  EXPECT_EQ(used, 24u);
  TIcecastReplyReader longLine;
  EXPECT_EQ(longLine.Append("HTTP/1.1 200 OK\r\nX: " + std::string(kIcecastReplyMaxLine, 'a')),
            TIcecastReplyReader::Status::TooLong);
  TIcecastReplyReader manyLines;
  std::string lines = "HTTP/1.1 200 OK\r\n";
  while (lines.size() <= kIcecastReplyMaxHead)
    lines += "X: a\r\n";
  EXPECT_EQ(manyLines.Append(lines), TIcecastReplyReader::Status::TooLong);
  EXPECT_LE(manyLines.Head().size(), kIcecastReplyMaxHead + 1);
}

} // namespace
} // namespace sondrix
