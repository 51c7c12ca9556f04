#include "netsink_helpers.h"

#include "base/text.h"
#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/server/mmsh_framing.h"
#include "winmedia/server/network_sink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <future>
#include <thread>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Bytes;
using nettest::TestClient;

// Reads one chunk of a framed stream: 'H', 'D' or 'E', or 0 when the bytes are no valid chunk.
char readChunk(TestClient& client, Bytes& payload,
               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  payload.clear();
  Bytes head;
  if (!client.readExactly(4, head, limit) || head[0] != 0x24) {
    return 0;
  }
  const std::size_t length = head[2] | (head[3] << 8);
  if (head[1] == 'E') {
    return length == 4 && client.readExactly(4, payload, limit) ? 'E' : 0;
  }
  if (length < 8 || !client.readExactly(8, head, limit)) {
    return 0;
  }
  nettest::ChunkHead chunk;
  if (!nettest::parseChunkHead(head.data(), chunk) ||
      !client.readExactly(length - 8, payload, limit)) {
    return 0;
  }
  return chunk.type;
}

class NetsinkServer : public ::testing::Test {
protected:
  void TearDown() override {
    stopFeeding();
    if (sink) {
      sink->Close();
    }
  }

  void open(NetServerOptions options = {}) {
    if (options.requestTimeout == NetServerOptions{}.requestTimeout) {
      options.requestTimeout = 1500ms;
    }
    options.lingerTimeout = 500ms;
    options.closeTimeout = 1000ms;
    sink = std::make_shared<TWMWriterNetworkSink>(options);
    recorder = std::make_shared<nettest::StatusRecorder>();
    ASSERT_EQ(sink->Advise(recorder, &contextTag), S_OK);
    std::uint32_t p = 0;
    ASSERT_EQ(sink->Open(&p), S_OK);
    ASSERT_NE(p, 0u);
    port = static_cast<std::uint16_t>(p);
  }

  void begin(const nettest::SyntheticAsf& stream) {
    asf = stream;
    ASSERT_EQ(sink->OnBeginWriting(), S_OK);
    ASSERT_EQ(sink->Write(asf.blob.data(), asf.blob.size()), S_OK);
    written = 0;
  }

  void writePackets(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, ++written) {
      const Bytes& p = asf.packets.at(written);
      ASSERT_EQ(sink->Write(p.data(), p.size()), S_OK);
    }
  }

  // Writes the remaining packets on a thread, one per interval.
  void startFeeding(std::chrono::milliseconds interval) {
    feeding = true;
    feeder = std::thread([this, interval] {
      while (feeding && written < asf.packets.size()) {
        const Bytes& p = asf.packets[written];
        sink->Write(p.data(), p.size());
        ++written;
        std::this_thread::sleep_for(interval);
      }
    });
  }

  void stopFeeding() {
    feeding = false;
    if (feeder.joinable()) {
      feeder.join();
    }
  }

  std::uint32_t clients() {
    std::uint32_t n = 99;
    EXPECT_EQ(sink->GetClientCount(&n), S_OK);
    return n;
  }

  // Reads a framed answer's head and $H, checking both.
  void expectFramedStart(TestClient& client) {
    const std::string head = client.readHead();
    ASSERT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
    EXPECT_NE(head.find("Content-Type: application/x-mms-framed\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    Bytes payload;
    ASSERT_EQ(readChunk(client, payload), 'H');
    EXPECT_EQ(payload, asf.blob);
  }

  // Reads a raw answer's head and header blob.
  void expectRawStart(TestClient& client) {
    const std::string head = client.readHead();
    ASSERT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
    EXPECT_NE(head.find("Content-Type: video/x-ms-asf\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    Bytes blob;
    ASSERT_TRUE(client.readExactly(asf.blob.size(), blob));
    EXPECT_EQ(blob, asf.blob);
  }

  std::uint64_t readRawPacketIndex(TestClient& client) {
    Bytes packet;
    if (!client.readExactly(asf.packets[0].size(), packet)) {
      return ~0ull;
    }
    return nettest::packetIndex(packet.data());
  }

  std::uint64_t readFramedPacketIndex(TestClient& client) {
    Bytes payload;
    if (readChunk(client, payload) != 'D' || payload.size() != asf.packets[0].size()) {
      return ~0ull;
    }
    return nettest::packetIndex(payload.data());
  }

  std::string askAndReadAll(const std::string& request, Bytes* body = nullptr) {
    TestClient client(port);
    EXPECT_TRUE(client.send(request));
    const std::string head = client.readHead();
    Bytes rest;
    EXPECT_TRUE(client.readToEof(rest)) << "answer was not followed by a close";
    if (body != nullptr) {
      *body = rest;
    }
    return head;
  }

  int contextTag = 0;
  std::shared_ptr<TWMWriterNetworkSink> sink;
  std::shared_ptr<nettest::StatusRecorder> recorder;
  std::uint16_t port = 0;
  nettest::SyntheticAsf asf;
  std::atomic<std::size_t> written{0};
  std::atomic<bool> feeding{false};
  std::thread feeder;
};

TEST_F(NetsinkServer, AnswersBusyUntilTheHeaderExists) {
  open();
  for (const std::string& request : {nettest::getRequest(), nettest::describeRequest()}) {
    const std::string head = askAndReadAll(request);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 503 Service Unavailable\r\n")) << head;
    EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos) << head;
  }
  // Packets before any header are no stream either.
  const Bytes junk(100, 0x82);
  EXPECT_EQ(sink->Write(junk.data(), junk.size()), NS_E_INVALID_DATA);
  EXPECT_TRUE(askAndReadAll(nettest::getRequest()).starts_with("HTTP/1.0 503 "));
  EXPECT_EQ(recorder->connects(), 0);
}

TEST_F(NetsinkServer, DescribeSendsExactlyOneHeaderChunk) {
  open();
  begin(nettest::makeAsf(20));
  writePackets(5);
  Bytes body;
  const std::string head = askAndReadAll(nettest::describeRequest(), &body);
  ASSERT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  EXPECT_NE(head.find("Content-Type: application/vnd.ms.wms-hdr.asfv1\r\n"), std::string::npos);
  const std::size_t expected = kMmshChunkPrefix + asf.blob.size();
  EXPECT_NE(head.find("Content-Length: " + std::to_string(expected) + "\r\n"), std::string::npos)
      << head;
  ASSERT_EQ(body.size(), expected);
  nettest::ChunkHead chunk;
  ASSERT_TRUE(nettest::parseChunkHead(body.data(), chunk));
  EXPECT_EQ(chunk.type, 'H');
  EXPECT_EQ(chunk.afFlags, 0x0C);
  EXPECT_TRUE(std::equal(asf.blob.begin(), asf.blob.end(), body.begin() + kMmshChunkPrefix));
  // A describe is no listener.
  EXPECT_EQ(recorder->connects(), 0);
  EXPECT_EQ(clients(), 0u);
}

TEST_F(NetsinkServer, ListenersGetHeaderThenABurstFromAPacketBoundaryThenLivePackets) {
  open();
  begin(nettest::makeAsf(60)); // 400-byte packets, 1 s preroll at 32 kbit/s: 10-packet burst
  writePackets(30);
  TestClient framed(port);
  TestClient raw(port);
  ASSERT_TRUE(framed.send(nettest::playRequest()));
  ASSERT_TRUE(raw.send(nettest::getRequest("/")));
  expectFramedStart(framed);
  expectRawStart(raw);
  for (std::uint64_t i = 20; i < 30; ++i) {
    ASSERT_EQ(readFramedPacketIndex(framed), i);
    ASSERT_EQ(readRawPacketIndex(raw), i);
  }
  ASSERT_TRUE(recorder->waitFor([](int c, int) { return c == 2; }));
  EXPECT_EQ(recorder->lastContext(), &contextTag);
  EXPECT_EQ(clients(), 2u);
  writePackets(5);
  for (std::uint64_t i = 30; i < 35; ++i) {
    ASSERT_EQ(readFramedPacketIndex(framed), i);
    ASSERT_EQ(readRawPacketIndex(raw), i);
  }
}

TEST_F(NetsinkServer, ListenerBeforeAnyPacketStartsWithTheFirst) {
  open();
  begin(nettest::makeAsf(10));
  TestClient raw(port);
  ASSERT_TRUE(raw.send(nettest::getRequest()));
  expectRawStart(raw);
  writePackets(3);
  for (std::uint64_t i = 0; i < 3; ++i) {
    ASSERT_EQ(readRawPacketIndex(raw), i);
  }
}

TEST_F(NetsinkServer, FiniteAnswersCloseAndLeaveListenersAlone) {
  open();
  begin(nettest::makeAsf(40));
  writePackets(2);
  TestClient listener(port);
  ASSERT_TRUE(listener.send(nettest::playRequest()));
  expectFramedStart(listener);
  ASSERT_EQ(readFramedPacketIndex(listener), 0u);
  ASSERT_EQ(readFramedPacketIndex(listener), 1u);

  Bytes body;
  std::string head = askAndReadAll("HEAD / HTTP/1.1\r\nUser-Agent: Lavf\r\n\r\n", &body);
  EXPECT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  EXPECT_NE(head.find("video/x-ms-asf"), std::string::npos);
  EXPECT_TRUE(body.empty());
  head = askAndReadAll("HEAD / HTTP/1.1\r\nUser-Agent: NSPlayer/4.1\r\n\r\n", &body);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(kMmshChunkPrefix + asf.blob.size())),
            std::string::npos)
      << head;
  EXPECT_TRUE(body.empty());

  head = askAndReadAll("POST /log HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello");
  EXPECT_TRUE(head.starts_with("HTTP/1.0 204 No Content\r\n")) << head;
  for (const char* method : {"PUT", "OPTIONS", "DELETE", "BREW"}) {
    head = askAndReadAll(std::string(method) + " / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.starts_with("HTTP/1.0 405 Method Not Allowed\r\n")) << head;
    EXPECT_NE(head.find("Allow: GET, HEAD\r\n"), std::string::npos) << head;
  }
  for (const char* path : {"/robots.txt", "/favicon.ico/"}) {
    head = askAndReadAll(nettest::getRequest(path), &body);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 404 Not Found\r\n")) << head;
    EXPECT_TRUE(body.empty());
  }
  // A browser's tab gets the station's icon.
  head = askAndReadAll(nettest::getRequest("/favicon.ico"), &body);
  EXPECT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  EXPECT_NE(head.find("Content-Type: image/png\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos)
      << head;
  const std::string png(body.begin(), body.end());
  EXPECT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n")) << png.substr(0, 8);
  EXPECT_GT(body.size(), 100u);
  // None of those counted as a listener, and the listener streams on.
  EXPECT_EQ(recorder->connects(), 1);
  EXPECT_EQ(recorder->disconnects(), 0);
  writePackets(2);
  EXPECT_EQ(readFramedPacketIndex(listener), 2u);
  EXPECT_EQ(readFramedPacketIndex(listener), 3u);
}

TEST_F(NetsinkServer, HostileRequestsAreCutOffWithoutHarmingListeners) {
  open();
  begin(nettest::makeAsf(40));
  TestClient listener(port);
  ASSERT_TRUE(listener.send(nettest::getRequest()));
  expectRawStart(listener);

  // Binary MMS probe: closed at once so players fall back to HTTP quickly.
  {
    TestClient probe(port);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(probe.send(Bytes{0x01, 0x00, 0x00, 0x00, 0xCE, 0xFA, 0x0B, 0xB0}));
    EXPECT_TRUE(probe.waitClosed(1s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
  // Headers beyond 8 KiB: 431.
  {
    TestClient big(port);
    std::string request = "GET / HTTP/1.1\r\n";
    while (request.size() < 9000) {
      request += "X-Filler: " + std::string(100, 'x') + "\r\n";
    }
    big.send(request);
    EXPECT_TRUE(big.readHead().starts_with("HTTP/1.0 431 "));
    EXPECT_TRUE(big.waitClosed(3s));
  }
  // A request that never ends is closed after the time limit.
  {
    TestClient slow(port);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\nUser-Agent: slow"));
    EXPECT_TRUE(slow.waitClosed(5s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1200ms);
    EXPECT_LT(took, 4s);
  }
  // A client that leaves mid-request, and a bare connect-and-close.
  {
    TestClient gone(port);
    gone.send("GET / HT");
  }
  { TestClient nothing(port); }

  writePackets(3);
  for (std::uint64_t i = 0; i < 3; ++i) {
    ASSERT_EQ(readRawPacketIndex(listener), i);
  }
  EXPECT_EQ(recorder->connects(), 1);
  EXPECT_EQ(recorder->disconnects(), 0);
  EXPECT_EQ(clients(), 1u);
}

TEST_F(NetsinkServer, ListenerLimitRefusesExtraClientsOnly) {
  open();
  ASSERT_EQ(sink->SetMaximumClients(2), S_OK);
  std::uint32_t max = 0;
  ASSERT_EQ(sink->GetMaximumClients(&max), S_OK);
  EXPECT_EQ(max, 2u);
  begin(nettest::makeAsf(40));
  TestClient a(port);
  auto b = std::make_unique<TestClient>(port);
  ASSERT_TRUE(a.send(nettest::playRequest()));
  ASSERT_TRUE(b->send(nettest::getRequest()));
  expectFramedStart(a);
  expectRawStart(*b);
  ASSERT_TRUE(recorder->waitFor([](int c, int) { return c == 2; }));

  for (const std::string& request : {nettest::getRequest(), nettest::playRequest()}) {
    const std::string head = askAndReadAll(request);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 503 Service Unavailable\r\n")) << head;
    EXPECT_NE(head.find("Retry-After: "), std::string::npos) << head;
  }
  EXPECT_EQ(clients(), 2u);
  writePackets(2);
  EXPECT_EQ(readFramedPacketIndex(a), 0u);
  EXPECT_EQ(readRawPacketIndex(*b), 0u);

  // A freed place can be taken again. A gone listener shows when the next packet bounces.
  b.reset();
  ASSERT_TRUE(nettest::eventually([&] {
    writePackets(1);
    return recorder->disconnects() == 1;
  }));
  TestClient c(port);
  ASSERT_TRUE(c.send(nettest::getRequest()));
  expectRawStart(c);
  EXPECT_EQ(clients(), 2u);
}

TEST_F(NetsinkServer, StalledListenerIsDroppedOnceOutOfTheRing) {
  NetServerOptions options;
  options.ringPackets = 24;
  options.sendBufferBytes = 4096;
  open(options);
  nettest::AsfShape shape;
  shape.packetSize = 1000;
  begin(nettest::makeAsf(400, shape));

  TestClient stalled(port, 4096);
  ASSERT_TRUE(stalled.send(nettest::getRequest())); // and never reads
  TestClient healthy(port);
  ASSERT_TRUE(healthy.send(nettest::playRequest()));
  expectFramedStart(healthy);
  ASSERT_TRUE(recorder->waitFor([](int c, int) { return c == 2; }));
  const auto stalledId = recorder->connectedIds().at(0);

  startFeeding(2ms);
  std::uint64_t expected = 0;
  while (expected < asf.packets.size()) {
    const std::uint64_t got = readFramedPacketIndex(healthy);
    ASSERT_EQ(got, expected) << "the healthy listener lost data";
    ++expected;
  }
  stopFeeding();
  ASSERT_TRUE(recorder->waitFor([](int, int d) { return d >= 1; }));
  EXPECT_EQ(recorder->disconnects(), 1);
  EXPECT_EQ(recorder->disconnectedIds().at(0), stalledId);
  EXPECT_EQ(clients(), 1u);
  EXPECT_TRUE(stalled.waitClosed(5s));
}

TEST_F(NetsinkServer, CloseEndsEveryStreamAndFreesThePort) {
  NetServerOptions options;
  options.feedRound = 5s;    // the round after the joins is still to come at the close
  options.ringPackets = 256; // and the packets written do not hurry it
  open(options);
  begin(nettest::makeAsf(200));
  writePackets(10);
  TestClient framed(port);
  TestClient slowFramed(port, 4096); // will be mid-chunk when the sink closes
  TestClient raw(port);
  ASSERT_TRUE(framed.send(nettest::playRequest()));
  ASSERT_TRUE(slowFramed.send(nettest::playRequest()));
  ASSERT_TRUE(raw.send(nettest::getRequest()));
  expectFramedStart(framed);
  expectRawStart(raw);
  ASSERT_TRUE(recorder->waitFor([](int c, int) { return c == 3; }));
  writePackets(40);

  auto closing = std::async(std::launch::async, [this] { return sink->Close(); });
  // Framed: whole chunks, then $E, then the close. A listener that keeps up first gets all
  // that was written, though the next round to feed it is still to come.
  for (TestClient* client : {&framed, &slowFramed}) {
    if (client == &slowFramed) {
      ASSERT_FALSE(client->readHead().empty());
    }
    Bytes payload;
    char type;
    int chunks = 0;
    std::uint64_t last = 0;
    while ((type = readChunk(*client, payload)) == 'D' || type == 'H') {
      ++chunks;
      if (type == 'D' && payload.size() == asf.packets[0].size()) {
        last = nettest::packetIndex(payload.data());
      }
    }
    if (client == &framed) {
      EXPECT_EQ(last, written - 1) << "the end came before what the ring held";
    }
    ASSERT_EQ(type, 'E') << "after " << chunks << " chunks";
    EXPECT_EQ(payload, Bytes(4, 0)); // reason 0: a normal end
    EXPECT_TRUE(client->waitClosed(3s));
  }
  Bytes rest;
  ASSERT_TRUE(raw.readToEof(rest));
  EXPECT_EQ(rest.size() % asf.packets[0].size(), 0u);
  ASSERT_GE(rest.size(), asf.packets[0].size());
  EXPECT_EQ(nettest::packetIndex(rest.data() + rest.size() - asf.packets[0].size()), written - 1);
  EXPECT_EQ(closing.get(), S_OK);

  EXPECT_EQ(recorder->disconnects(), 3);
  auto connected = recorder->connectedIds();
  auto disconnected = recorder->disconnectedIds();
  std::sort(connected.begin(), connected.end());
  std::sort(disconnected.begin(), disconnected.end());
  EXPECT_EQ(connected, disconnected);
  EXPECT_EQ(clients(), 0u);

  // The port is free at once, TIME_WAIT or not, and no longer answers.
  TestClient refused(port);
  EXPECT_FALSE(refused.connected());
  auto again = std::make_shared<TWMWriterNetworkSink>();
  std::uint32_t samePort = port;
  EXPECT_EQ(again->Open(&samePort), S_OK);
  EXPECT_EQ(samePort, port);
  EXPECT_EQ(again->Close(), S_OK);
  EXPECT_EQ(again->Close(), S_OK); // twice is harmless
}

TEST_F(NetsinkServer, TakenPortFailsToOpen) {
  open();
  auto second = std::make_shared<TWMWriterNetworkSink>();
  std::uint32_t taken = port;
  EXPECT_TRUE(FAILED(second->Open(&taken)));
  std::uint32_t tooHigh = 70000;
  EXPECT_EQ(second->Open(&tooHigh), E_INVALIDARG);
  std::uint32_t again = 0;
  EXPECT_EQ(sink->Open(&again), E_UNEXPECTED); // already open
}

TEST_F(NetsinkServer, NewBroadcastEndsListenersOfTheOldOne) {
  open();
  begin(nettest::makeAsf(10));
  writePackets(2);
  TestClient old(port);
  ASSERT_TRUE(old.send(nettest::playRequest()));
  expectFramedStart(old);
  EXPECT_EQ(readFramedPacketIndex(old), 0u);
  EXPECT_EQ(readFramedPacketIndex(old), 1u);

  nettest::AsfShape shape;
  shape.packetSize = 500;
  begin(nettest::makeAsf(10, shape));
  Bytes payload;
  EXPECT_EQ(readChunk(old, payload), 'E');
  EXPECT_TRUE(old.waitClosed(3s));
  ASSERT_TRUE(recorder->waitFor([](int, int d) { return d == 1; }));

  writePackets(1);
  TestClient fresh(port);
  ASSERT_TRUE(fresh.send(nettest::playRequest()));
  expectFramedStart(fresh); // the new header
  EXPECT_EQ(readFramedPacketIndex(fresh), 0u);
}

TEST_F(NetsinkServer, ServesIpv6AndReportsItsUrl) {
  std::shared_ptr<IWMWriterNetworkSink> created;
  ASSERT_EQ(WMCreateWriterNetworkSink(&created), S_OK);
  ASSERT_TRUE(created);
  std::u16string url;
  EXPECT_TRUE(FAILED(created->GetHostURL(&url)));
  EXPECT_EQ(created->SetNetworkProtocol(WMT_PROTOCOL_HTTP), S_OK);
  EXPECT_EQ(created->SetNetworkProtocol(static_cast<WMT_NET_PROTOCOL>(1)), E_INVALIDARG);
  EXPECT_TRUE(created->IsRealTime());
  EXPECT_EQ(created->Seek(0, SEEK_SET), -1);

  open();
  ASSERT_EQ(sink->GetHostURL(&url), S_OK);
  const std::u16string suffix = toWide(":" + std::to_string(port));
  EXPECT_TRUE(url.starts_with(u"http://")) << toNarrow(url);
  EXPECT_TRUE(url.ends_with(suffix)) << toNarrow(url);

  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  addr.sin6_port = htons(port);
  const bool v6 = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  if (!v6) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
}

TEST_F(NetsinkServer, UnadvisedCallbacksHearNothingMore) {
  open();
  EXPECT_EQ(sink->Unadvise(std::make_shared<nettest::StatusRecorder>(), nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->Unadvise(recorder, nullptr), E_INVALIDARG); // wrong context
  auto second = std::make_shared<nettest::StatusRecorder>();
  ASSERT_EQ(sink->Advise(second, nullptr), S_OK);
  ASSERT_EQ(sink->Unadvise(recorder, &contextTag), S_OK);
  begin(nettest::makeAsf(5));
  TestClient client(port);
  ASSERT_TRUE(client.send(nettest::getRequest()));
  expectRawStart(client);
  ASSERT_TRUE(second->waitFor([](int c, int) { return c == 1; }));
  EXPECT_EQ(recorder->connects(), 0);
}

} // namespace
} // namespace sondrix
