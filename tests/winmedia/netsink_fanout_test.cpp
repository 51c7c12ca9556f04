#include "netsink_helpers.h"

#include "winmedia/server/network_sink.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Bytes;
using nettest::TestClient;

int unreadBytes(int fd) {
  int n = -1;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// On the server's loop thread: when the first listener is let go, a new listener connects
// and asks; when that one is answered, notes how much each watched listener has been sent.
class JoinProbe : public IWMStatusCallback {
public:
  JoinProbe(std::uint16_t port, std::vector<int> watched)
      : FPort(port), FWatched(std::move(watched)) {}

  HRESULT OnStatus(WMT_STATUS Status, HRESULT, WMT_ATTR_DATATYPE, const std::uint8_t*,
                   void*) override {
    std::lock_guard lock(FLock);
    if (Status == WMT_CLIENT_CONNECT_EX) {
      ++FConnects;
      if (FJoiner && FSeen.empty()) {
        for (const int fd : FWatched) {
          FSeen.push_back(unreadBytes(fd));
        }
      }
    } else if (Status == WMT_CLIENT_DISCONNECT_EX && FArmed && !FJoiner) {
      FJoiner = std::make_unique<TestClient>(FPort);
      FJoiner->send(nettest::getRequest());
    }
    FChanged.notify_all();
    return S_OK;
  }

  void arm() {
    std::lock_guard lock(FLock);
    FArmed = true;
  }
  bool waitConnects(int count) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, 5s, [&] { return FConnects >= count; });
  }
  // Bytes each watched listener had when the joiner was answered; empty if it never was.
  std::vector<int> seen() {
    std::lock_guard lock(FLock);
    return FSeen;
  }

private:
  std::uint16_t FPort;
  std::vector<int> FWatched;
  std::mutex FLock;
  std::condition_variable FChanged;
  int FConnects = 0;
  bool FArmed = false;
  std::unique_ptr<TestClient> FJoiner;
  std::vector<int> FSeen;
};

class NetsinkFanout : public ::testing::Test {
protected:
  void TearDown() override {
    if (sink) {
      sink->Close();
    }
  }

  void open(const NetServerOptions& options) {
    NetServerOptions o = options;
    o.requestTimeout = 1500ms;
    o.lingerTimeout = 500ms;
    o.closeTimeout = 1000ms;
    sink = std::make_shared<TWMWriterNetworkSink>(o);
    std::uint32_t p = 0;
    ASSERT_EQ(sink->Open(&p), S_OK);
    port = static_cast<std::uint16_t>(p);
  }

  void begin(std::size_t packets, std::uint32_t packetSize, std::size_t headerPadding = 0) {
    nettest::AsfShape shape;
    shape.packetSize = packetSize;
    shape.paddingObjectBytes = headerPadding;
    asf = nettest::makeAsf(packets, shape);
    ASSERT_EQ(sink->OnBeginWriting(), S_OK);
    ASSERT_EQ(sink->Write(asf.blob.data(), asf.blob.size()), S_OK);
  }

  void write(std::size_t index) {
    const Bytes& p = asf.packets.at(index);
    ASSERT_EQ(sink->Write(p.data(), p.size()), S_OK);
  }

  // A plain-HTTP listener whose answer head and header have been read; with a receive
  // buffer size given, one that never reads at all.
  std::unique_ptr<TestClient> listen(int receiveBuffer = 0) {
    auto client = std::make_unique<TestClient>(port, receiveBuffer);
    EXPECT_TRUE(client->send(nettest::getRequest()));
    if (receiveBuffer == 0) {
      EXPECT_TRUE(client->readHead().starts_with("HTTP/1.0 200 OK\r\n"));
      Bytes blob;
      EXPECT_TRUE(client->readExactly(asf.blob.size(), blob));
      EXPECT_EQ(blob, asf.blob);
    }
    return client;
  }

  std::shared_ptr<TWMWriterNetworkSink> sink;
  std::uint16_t port = 0;
  nettest::SyntheticAsf asf;
};

TEST_F(NetsinkFanout, NewListenerIsAnsweredBeforeAPassOverTheOthersEnds) {
  NetServerOptions options;
  options.fanoutSlice = 1;
  options.feedRound = 0ms; // a pass at every packet
  options.ringPackets = 64;
  options.sendBufferBytes = 4096;
  open(options);
  constexpr std::uint32_t kPacket = 200;
  constexpr std::size_t kSteady = 30;
  constexpr std::size_t kBatch = 50; // with kSteady, more than the ring holds
  // A header far larger than the stalled listener's socket takes: it stays at the first packet.
  begin(kSteady + kBatch, kPacket, 40000);

  // Listeners are fed newest first: half of them come before the stalled one in a pass,
  // half after.
  std::vector<std::unique_ptr<TestClient>> healthy;
  std::vector<int> fds;
  for (int i = 0; i < 24; ++i) {
    healthy.push_back(listen());
    fds.push_back(healthy.back()->fd());
  }
  auto stalled = listen(2048);
  std::uint32_t count = 0;
  ASSERT_TRUE(
      nettest::eventually([&] { return sink->GetClientCount(&count) == S_OK && count == 25; }));
  for (int i = 0; i < 24; ++i) {
    healthy.push_back(listen());
    fds.push_back(healthy.back()->fd());
  }
  auto probe = std::make_shared<JoinProbe>(port, fds);
  ASSERT_EQ(sink->Advise(probe, nullptr), S_OK);
  ASSERT_EQ(sink->GetClientCount(&count), S_OK);
  ASSERT_EQ(count, 49u);

  for (std::size_t i = 0; i < kSteady; ++i) {
    write(i);
    const int want = static_cast<int>((i + 1) * kPacket);
    ASSERT_TRUE(nettest::eventually([&] {
      return std::all_of(fds.begin(), fds.end(), [&](int fd) { return unreadBytes(fd) == want; });
    })) << "packet "
        << i << " did not reach every healthy listener";
  }
  // One batch carries the ring past the stalled listener only: a single pass over everyone,
  // which meets it half-way and lets it go; the probe connects a new listener right then.
  probe->arm();
  Bytes batch;
  for (std::size_t i = kSteady; i < kSteady + kBatch; ++i) {
    batch.insert(batch.end(), asf.packets[i].begin(), asf.packets[i].end());
  }
  ASSERT_EQ(sink->Write(batch.data(), batch.size()), S_OK);

  ASSERT_TRUE(probe->waitConnects(1)) << "no new listener was answered";
  const std::vector<int> seen = probe->seen();
  ASSERT_EQ(seen.size(), fds.size()) << "the stalled listener was never let go";
  const auto [least, most] = std::minmax_element(seen.begin(), seen.end());
  EXPECT_EQ(*least, static_cast<int>(kSteady * kPacket));
  EXPECT_GT(*most, *least) << "the new listener waited for the whole pass";
  // And the pass then goes on to the rest.
  const int all = static_cast<int>((kSteady + kBatch) * kPacket);
  EXPECT_TRUE(nettest::eventually([&] {
    return std::all_of(fds.begin(), fds.end(), [&](int fd) { return unreadBytes(fd) == all; });
  }));
  EXPECT_TRUE(stalled->waitClosed(5s));
}

// Reads what has come on many sockets at once, noting when: a listener's deliveries are its
// reads more than 20 ms after the one before.
struct Arrivals {
  using Clock = std::chrono::steady_clock;
  struct Socket {
    int fd = -1;
    std::size_t bytes = 0;
    std::vector<Clock::time_point> deliveries;
    Clock::time_point last;
    Bytes data;
  };
  std::vector<Socket> sockets;

  void add(int fd) {
    Socket s;
    s.fd = fd;
    sockets.push_back(std::move(s));
  }
  // Reads until condition holds or limit passes.
  bool until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::vector<pollfd> fds;
    for (const Socket& s : sockets) {
      fds.push_back(pollfd{s.fd, POLLIN, 0});
    }
    while (!condition()) {
      if (Clock::now() >= end) {
        return false;
      }
      if (::poll(fds.data(), fds.size(), 5) <= 0) {
        continue;
      }
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & POLLIN) == 0) {
          continue;
        }
        std::uint8_t buffer[65536];
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
          continue;
        }
        Socket& s = sockets[i];
        const auto now = Clock::now();
        if (s.deliveries.empty() || now - s.last > 20ms) {
          s.deliveries.push_back(now);
        }
        s.last = now;
        s.bytes += static_cast<std::size_t>(n);
        s.data.insert(s.data.end(), buffer, buffer + n);
      }
    }
    return true;
  }
};

TEST_F(NetsinkFanout, ListenersAreFedInRoundsAndAJoinerDoesNotWaitForOne) {
  NetServerOptions options;
  options.feedRound = 1000ms;
  open(options);
  constexpr std::uint32_t kPacket = 400;
  begin(40, kPacket);
  std::vector<std::unique_ptr<TestClient>> clients;
  Arrivals old;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(listen());
    old.add(clients.back()->fd());
  }
  auto has = [&](std::size_t packets) {
    return std::all_of(old.sockets.begin(), old.sockets.end(),
                       [&](const auto& s) { return s.bytes >= packets * kPacket; });
  };

  // Twenty packets in a second reach each listener in a round or two, not in twenty writes.
  for (std::size_t i = 0; i < 20; ++i) {
    write(i);
    old.until([] { return false; }, 50ms);
  }
  ASSERT_TRUE(old.until([&] { return has(20); }, 5s));
  for (const auto& s : old.sockets) {
    EXPECT_EQ(s.bytes, 20 * kPacket);
    EXPECT_LE(s.deliveries.size(), 3u);
    for (std::size_t i = 0; i < 20 && i * kPacket < s.data.size(); ++i) {
      ASSERT_EQ(nettest::packetIndex(s.data.data() + i * kPacket), i) << "lost or reordered";
    }
  }

  // After a quiet spell of two rounds the next packet starts a round at once; its visits take
  // most of a second, and a listener joining right then is answered (with that packet in its
  // burst) at once.
  old.until([] { return false; }, 2100ms);
  const auto published = Arrivals::Clock::now();
  write(20);
  TestClient joiner(port);
  ASSERT_TRUE(joiner.send(nettest::getRequest()));
  Arrivals joining;
  joining.add(joiner.fd());
  ASSERT_TRUE(joining.until(
      [&] {
        const Bytes& d = joining.sockets[0].data;
        return d.size() >= kPacket && nettest::packetIndex(d.data() + d.size() - kPacket) == 20;
      },
      5s));
  const auto answered = joining.sockets[0].last;
  ASSERT_TRUE(old.until([&] { return has(21); }, 5s));
  std::size_t before = 0;
  auto first = Arrivals::Clock::time_point::max();
  auto last = Arrivals::Clock::time_point::min();
  for (const auto& s : old.sockets) {
    before += s.last < answered;
    first = std::min(first, s.last);
    last = std::max(last, s.last);
  }
  EXPECT_LT(answered - published, 500ms);
  EXPECT_LT(before, old.sockets.size() / 2) << "the joiner waited for the round";
  EXPECT_GT(last - first, 500ms) << "the round was one burst";
  EXPECT_LT(last - published, 3s);
}

TEST_F(NetsinkFanout, EveryListenerGetsEveryPacketWhileOthersComeAndGo) {
  NetServerOptions options;
  options.fanoutSlice = 2;
  options.feedRound = 0ms; // passes overlap the packets coming
  open(options);
  constexpr std::size_t kPackets = 80;
  begin(kPackets, 400);
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 30; ++i) {
    clients.push_back(listen());
  }

  // Packets come in bursts, so many arrive while a pass is under way; some listeners leave
  // mid-pass (a reset, as they close with data unread), others join late.
  std::thread feeder([&] {
    for (std::size_t i = 0; i < kPackets; ++i) {
      write(i);
      if (i % 8 == 7) {
        std::this_thread::sleep_for(1ms);
      }
    }
  });
  std::vector<std::unique_ptr<TestClient>> late;
  for (std::size_t i = 0; i < clients.size(); i += 3) {
    clients[i].reset();
    late.push_back(std::make_unique<TestClient>(port));
    late.back()->send(nettest::getRequest());
  }
  feeder.join();

  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (!clients[i]) {
      continue;
    }
    for (std::uint64_t want = 0; want < kPackets; ++want) {
      Bytes packet;
      ASSERT_TRUE(clients[i]->readExactly(400, packet)) << "listener " << i << " packet " << want;
      ASSERT_EQ(nettest::packetIndex(packet.data()), want) << "listener " << i;
    }
  }
  // Late joiners start at some packet boundary and then miss nothing up to the last.
  for (auto& client : late) {
    ASSERT_TRUE(client->readHead().starts_with("HTTP/1.0 200 OK\r\n"));
    Bytes blob;
    ASSERT_TRUE(client->readExactly(asf.blob.size(), blob));
    Bytes packet;
    ASSERT_TRUE(client->readExactly(400, packet));
    std::uint64_t index = nettest::packetIndex(packet.data());
    while (index + 1 < kPackets) {
      packet.clear(); // readExactly appends
      ASSERT_TRUE(client->readExactly(400, packet));
      ASSERT_EQ(nettest::packetIndex(packet.data()), ++index);
    }
  }
  std::uint32_t count = 0;
  ASSERT_TRUE(
      nettest::eventually([&] { return sink->GetClientCount(&count) == S_OK && count == 30; }));
}

} // namespace
} // namespace sondrix
