// Hostile clients against one shared server, while a healthy listener keeps receiving.

#include "netsink_broadcast.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <random>
#include <thread>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Broadcast;
using nettest::Bytes;
using nettest::HealthyListener;
using nettest::TestClient;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPendingLimit = 48;
constexpr std::size_t kPendingPerAddress = 12;

NetServerOptions hostileOptions() {
  NetServerOptions o;
  o.requestTimeout = 1500ms;
  o.responseTimeout = 1000ms;
  o.lingerTimeout = 500ms;
  o.closeTimeout = 500ms;
  o.ringPackets = 32;
  o.sendBufferBytes = 4096;
  o.maxPendingConnections = kPendingLimit;
  o.maxPendingPerAddress = kPendingPerAddress;
  return o;
}

class NetsinkHostile : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    broadcast = std::make_unique<Broadcast>(hostileOptions());
    healthy = std::make_unique<HealthyListener>(broadcast->port());
    ASSERT_TRUE(nettest::eventually([] { return broadcast->server().clientCount() == 1; }));
  }
  static void TearDownTestSuite() {
    healthy.reset();
    broadcast.reset();
  }

  void SetUp() override {
    ASSERT_TRUE(healthy->open()) << "an earlier test cut the healthy listener";
    startPublished = broadcast->publishedBytes();
    startReceived = healthy->bodyBytes();
    start = Clock::now();
  }

  // The healthy listener kept up with everything published meanwhile, and still listens.
  void TearDown() override {
    const std::uint64_t published = broadcast->publishedBytes() - startPublished;
    const auto elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // What the loop may hold back at the moment of looking: a few packets.
    const std::uint64_t slack = 8 * broadcast->framedPacketBytes();
    EXPECT_TRUE(nettest::eventually(
        [&] { return healthy->bodyBytes() - startReceived + slack >= published; }, 2s))
        << "healthy listener fell behind: " << healthy->bodyBytes() - startReceived << " of "
        << published << " bytes";
    EXPECT_GE(static_cast<double>(published),
              0.5 * broadcast->bytesPerSecond() * elapsed - 2.0 * broadcast->framedPacketBytes())
        << "the broadcast itself slowed down";
    EXPECT_TRUE(healthy->open());
    EXPECT_EQ(broadcast->server().clientCount(), 1u);
  }

  static bool settled() {
    return broadcast->server().pendingCount() == 0 && broadcast->server().connectionCount() == 1;
  }

  static std::uint16_t port() { return broadcast->port(); }

  static std::unique_ptr<Broadcast> broadcast;
  static std::unique_ptr<HealthyListener> healthy;
  std::uint64_t startPublished = 0;
  std::uint64_t startReceived = 0;
  Clock::time_point start;
};

std::unique_ptr<Broadcast> NetsinkHostile::broadcast;
std::unique_ptr<HealthyListener> NetsinkHostile::healthy;

TEST_F(NetsinkHostile, SlowlorisIsDroppedAtTheRequestTimeLimit) {
  std::vector<std::unique_ptr<TestClient>> slow;
  for (int i = 0; i < 6; ++i) {
    slow.push_back(std::make_unique<TestClient>(port()));
    ASSERT_TRUE(slow.back()->send("GET / HTTP/1.1\r\n"));
  }
  const auto begun = Clock::now();
  std::vector<bool> closed(slow.size(), false);
  // One header byte a second each, until the server gives up on them.
  for (int second = 0; second < 4; ++second) {
    for (std::size_t i = 0; i < slow.size(); ++i) {
      if (!closed[i]) {
        closed[i] = !slow[i]->send("X") || slow[i]->waitClosed(0ms);
      }
    }
    std::this_thread::sleep_for(1s);
    for (std::size_t i = 0; i < slow.size(); ++i) {
      closed[i] = closed[i] || slow[i]->waitClosed(1ms);
    }
    if (std::all_of(closed.begin(), closed.end(), [](bool c) { return c; })) {
      break;
    }
  }
  const auto took = Clock::now() - begun;
  EXPECT_TRUE(std::all_of(closed.begin(), closed.end(), [](bool c) { return c; }));
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 3500ms);
  EXPECT_TRUE(nettest::eventually(settled));
}

TEST_F(NetsinkHostile, RandomBytesAreTurnedAway) {
  std::mt19937 random(20261209);
  const int connectsBefore = broadcast->connects();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 24; ++i) {
    Bytes junk(1 + random() % 3000);
    for (auto& b : junk) {
      b = static_cast<std::uint8_t>(random());
    }
    if (i % 2 == 0) {
      junk[0] = static_cast<std::uint8_t>('A' + i % 26); // gets past the first-byte check
    }
    clients.push_back(std::make_unique<TestClient>(port()));
    clients.back()->send(junk);
  }
  for (auto& c : clients) {
    EXPECT_TRUE(c->waitClosed(3s));
  }
  EXPECT_EQ(broadcast->connects(), connectsBefore);
  EXPECT_TRUE(nettest::eventually(settled));
}

TEST_F(NetsinkHostile, HugeHeadsAreAnswered431) {
  const std::string oneLine = "X-Long: " + std::string(100 * 1024, 'a') + "\r\n";
  std::string manyLines;
  while (manyLines.size() < 100 * 1024) {
    manyLines += "X-Filler: " + std::string(60, 'b') + "\r\n";
  }
  for (const std::string& headers : {oneLine, manyLines}) {
    TestClient client(port());
    const std::string request = "GET / HTTP/1.1\r\n" + headers + "\r\n";
    // The answer comes while the rest is still being sent.
    auto sending = std::async(std::launch::async, [&] { return client.send(request); });
    const std::string head = client.readHead(3s);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 431 ")) << head.substr(0, 40);
    sending.wait();
    EXPECT_TRUE(client.waitClosed(3s));
  }
  EXPECT_TRUE(nettest::eventually(settled));
}

TEST_F(NetsinkHostile, ConnectAndCloseStormsLeaveNothingBehind) {
  for (int i = 0; i < 400; ++i) {
    TestClient c(port());
    ASSERT_TRUE(c.connected());
    switch (i % 4) {
    case 0:
      break; // connect and close
    case 1:
      c.send("GET / HT"); // leaves mid-request
      break;
    case 2: {
      const linger reset{1, 0}; // closes with a reset
      ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      c.send("GET / HTTP/1.1\r\n");
      break;
    }
    default:
      c.send(nettest::getRequest()); // a listener that leaves at once
      break;
    }
  }
  EXPECT_TRUE(nettest::eventually(settled, 5s))
      << broadcast->server().connectionCount() << " open, " << broadcast->server().pendingCount()
      << " pending";
}

TEST_F(NetsinkHostile, HalfOpenClients) {
  struct Case {
    const char* name;
    std::string sent;
    bool shutWrite;
    bool streamed;                // answered 200 and streamed despite the half close
    std::chrono::milliseconds by; // closed by then (when not streamed)
  };
  const Case cases[] = {
      {"nothing, then end of input", "", true, false, 1000ms},
      {"half a request, then end of input", "GET / HTTP/1.1\r\nHost", true, false, 1000ms},
      {"half a request, then silence", "GET / HTTP/1.1\r\nHost", false, false, 3000ms},
      {"a whole request, then end of input", nettest::getRequest(), true, true, 0ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestClient client(port());
    if (!c.sent.empty()) {
      ASSERT_TRUE(client.send(c.sent));
    }
    if (c.shutWrite) {
      ::shutdown(client.fd(), SHUT_WR);
    }
    if (c.streamed) {
      EXPECT_TRUE(client.readHead().starts_with("HTTP/1.0 200 OK\r\n"));
      Bytes data;
      EXPECT_TRUE(client.readExactly(4 * broadcast->framedPacketBytes(), data));
    } else {
      EXPECT_TRUE(client.waitClosed(c.by));
    }
  }
  EXPECT_TRUE(nettest::eventually(settled, 3s));
}

TEST_F(NetsinkHostile, ClientReadingAByteASecondIsLetGoOnceOutOfTheRing) {
  const int disconnectsBefore = broadcast->disconnects();
  TestClient slow(port(), 4096);
  ASSERT_TRUE(slow.send(nettest::getRequest()));
  ASSERT_TRUE(nettest::eventually([] { return broadcast->server().clientCount() == 2; }));
  const auto begun = Clock::now();
  for (int tick = 0; broadcast->disconnects() == disconnectsBefore && tick < 80; ++tick) {
    if (tick % 10 == 0) {
      std::uint8_t byte = 0;
      ::recv(slow.fd(), &byte, 1, MSG_DONTWAIT);
    }
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_LT(Clock::now() - begun, 8s);
  EXPECT_EQ(broadcast->disconnects(), disconnectsBefore + 1);
  EXPECT_EQ(broadcast->server().clientCount(), 1u);
}

TEST_F(NetsinkHostile, UnfinishedRequestsAreCappedPerAddressAndInAll) {
  // From one address: beyond its share, newcomers are refused at once.
  std::vector<std::unique_ptr<TestClient>> one;
  for (std::size_t i = 0; i < kPendingPerAddress + 6; ++i) {
    one.push_back(std::make_unique<TestClient>(port()));
    ASSERT_TRUE(one.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
  }
  ASSERT_TRUE(
      nettest::eventually([] { return broadcast->server().pendingCount() == kPendingPerAddress; }));
  for (std::size_t i = kPendingPerAddress; i < one.size(); ++i) {
    EXPECT_TRUE(one[i]->waitClosed(1s)) << i;
  }
  for (std::size_t i = 0; i < kPendingPerAddress; ++i) {
    EXPECT_FALSE(one[i]->waitClosed(0ms)) << i;
  }

  // From many addresses: beyond the limit in all, the one waiting longest goes.
  std::vector<std::unique_ptr<TestClient>> many;
  for (int a = 2; a < 7; ++a) {
    for (std::size_t i = 0; i < kPendingPerAddress; ++i) {
      many.push_back(std::make_unique<TestClient>(port(), 0, "127.0.0." + std::to_string(a)));
      ASSERT_TRUE(many.back()->send("GET / HTTP/1.1\r\nX-Slow: "));
    }
  }
  // Once the loop has taken every newcomer: while it still is, an eviction shows one less
  // for a moment, so the counts must hold still.
  auto capped = [] {
    return broadcast->server().connectionCount() == 1 + kPendingLimit &&
           broadcast->server().pendingCount() == kPendingLimit;
  };
  ASSERT_TRUE(nettest::eventually([&] {
    if (!capped()) {
      return false;
    }
    std::this_thread::sleep_for(100ms);
    return capped();
  })) << broadcast->server().connectionCount();
  EXPECT_EQ(broadcast->server().pendingCount(), kPendingLimit);
  for (std::size_t i = 0; i < one.size(); ++i) {
    EXPECT_TRUE(one[i]->waitClosed(1s)) << "the oldest should have gone first: " << i;
  }
  EXPECT_FALSE(many.back()->waitClosed(0ms));

  // A player still gets in at once, taking the place of the longest-waiting request.
  {
    TestClient player(port(), 0, "127.0.0.7");
    ASSERT_TRUE(player.send(nettest::playRequest()));
    EXPECT_TRUE(player.readHead(1s).starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(broadcast->server().clientCount(), 2u);
  }
  many.clear();
  one.clear();
  EXPECT_TRUE(nettest::eventually(settled, 3s));
}

} // namespace
} // namespace sondrix
