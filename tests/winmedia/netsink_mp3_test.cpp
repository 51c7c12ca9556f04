// The MP3 flavour of the network sink, with a synthetic MP3 stream: consecutive little-endian
// 32-bit word numbers, so a listener's bytes show exactly where they came from.
#include "netsink_broadcast.h"
#include "netsink_helpers.h"

#include "winmedia/server/net_server.h"
#include "winmedia/server/net_status.h"
#include "winmedia/server/network_sink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Bytes;
using nettest::TestClient;

constexpr std::uint32_t kBitrate = 160000; // 20,000 bytes a second
constexpr std::size_t kWriteWords = 100;   // 400 bytes every 20 ms
constexpr std::size_t kPacketWords = 2000; // the sink's 400 ms packets at that bitrate
constexpr std::size_t kMetaInt = 16000;

std::uint32_t wordAt(const Bytes& bytes, std::size_t at) {
  std::uint32_t w;
  std::memcpy(&w, bytes.data() + at, 4);
  return w;
}

// A sink on a free port fed a synthetic ASF broadcast and the word stream as its MP3 flavour,
// both in real time, from one thread as the station's worker does.
class Mp3Station {
public:
  explicit Mp3Station(std::uint32_t maxClients = 0)
      : FSink(std::make_shared<TWMWriterNetworkSink>()), FAsf(nettest::makeAsf(64, {1000})) {
    std::uint32_t port = 0;
    FSink->SetMaximumClients(maxClients);
    if (FAILED(FSink->Open(&port))) {
      throw std::runtime_error("the test sink did not open");
    }
    FPort = static_cast<std::uint16_t>(port);
    FSink->Advise(FRecorder, nullptr);
    setTitle("Alpha", "First");
    FSink->SetMp3Enabled(true);
    FSink->OnBeginWriting();
    FSink->Write(FAsf.blob.data(), FAsf.blob.size());
    FSink->BeginMp3(kBitrate);
    FFeeder = std::thread([this] {
      auto next = std::chrono::steady_clock::now();
      for (std::size_t i = 0; !FStop; ++i) {
        const Bytes& packet = FAsf.packets[i % FAsf.packets.size()];
        FSink->Write(packet.data(), packet.size());
        std::uint32_t words[kWriteWords];
        for (std::uint32_t& w : words) {
          w = FNextWord++;
        }
        FSink->WriteMp3(reinterpret_cast<const std::uint8_t*>(words), sizeof words);
        next += 20ms;
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~Mp3Station() {
    FStop = true;
    FFeeder.join();
    FSink->Close();
  }
  void setTitle(const std::string& artist, const std::string& title) {
    StationStatus status;
    status.name = "Test FM";
    status.nowPlaying = NowPlaying{artist, title, "Album", "track.mp3"};
    FSink->SetStatus(status);
  }
  std::uint16_t port() const { return FPort; }
  std::uint32_t wordsWritten() const { return FNextWord; }
  TWMWriterNetworkSink& sink() { return *FSink; }
  nettest::StatusRecorder& recorder() { return *FRecorder; }

private:
  std::shared_ptr<TWMWriterNetworkSink> FSink;
  std::shared_ptr<nettest::StatusRecorder> FRecorder = std::make_shared<nettest::StatusRecorder>();
  nettest::SyntheticAsf FAsf;
  std::uint16_t FPort = 0;
  std::atomic<std::uint32_t> FNextWord{0};
  std::atomic<bool> FStop{false};
  std::thread FFeeder;
};

std::string mp3Request(bool icy) {
  return std::string("GET /stream.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: mpv 0.35.1\r\n") +
         (icy ? "Icy-MetaData: 1\r\n" : "") + "\r\n";
}

// The whole answer (head and body) of a finite request.
std::string answerOf(std::uint16_t port, const std::string& request) {
  TestClient client(port);
  client.send(request);
  Bytes all;
  client.readToEof(all, 5s);
  return std::string(all.begin(), all.end());
}

TEST(NetsinkMp3, TitledListenerGetsABlockEveryMetaintBytesAndEachTitleOnceWhenItChanges) {
  Mp3Station station;
  std::this_thread::sleep_for(1s); // some burst to join with
  TestClient client(station.port());
  ASSERT_TRUE(client.send(mp3Request(true)));
  const std::string head = client.readHead();
  EXPECT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  EXPECT_NE(head.find("Content-Type: audio/mpeg\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("icy-metaint: 16000\r\n"), std::string::npos) << head;
  EXPECT_NE(head.find("icy-name: Test FM\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;

  Bytes audio;
  std::vector<std::string> blocks; // the text of every block, "" for an empty one
  bool changed = false;
  for (int i = 0; i < 14 && !(changed && blocks.back().find("Beta") != std::string::npos); ++i) {
    ASSERT_TRUE(client.readExactly(kMetaInt, audio, 5s)) << "block " << i;
    Bytes length;
    ASSERT_TRUE(client.readExactly(1, length, 5s));
    Bytes text;
    if (length[0] != 0) {
      ASSERT_TRUE(client.readExactly(length[0] * 16u, text, 5s));
    }
    blocks.emplace_back(text.begin(), text.end());
    if (i == 1) {
      station.setTitle("Beta", "Second");
      changed = true;
    }
  }
  // The audio between blocks is the stream itself: consecutive words from a packet's start.
  ASSERT_EQ(audio.size() % 4, 0u);
  const std::uint32_t first = wordAt(audio, 0);
  EXPECT_EQ(first % kPacketWords, 0u);
  for (std::size_t at = 4; at < audio.size(); at += 4) {
    ASSERT_EQ(wordAt(audio, at), first + at / 4) << "at byte " << at;
  }
  // The first block names the title on air; then empty blocks until the change, whose block
  // holds the new title padded with NULs to a multiple of 16.
  ASSERT_GE(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].substr(0, blocks[0].find('\0')), "StreamTitle='Alpha - First';");
  const std::string last = blocks.back();
  EXPECT_EQ(last.substr(0, last.find('\0')), "StreamTitle='Beta - Second';") << blocks.size();
  for (std::size_t i = 1; i + 1 < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i], "") << "block " << i;
  }
}

class QuietEvents : public NetServerEvents {
public:
  void onListenerConnected(std::uint32_t) override {}
  void onListenerDisconnected(std::uint32_t) override {}
};

// Packets of generated sizes, none a divisor of the interval, so metadata points fall inside
// packets and at any offset of a flush; each batch is a flush of its own, and small socket
// buffers cut flushes further. Every byte the listener gets is checked against a model: audio
// in order, a block after every kMetaInt audio bytes, holding the title of the packet the
// point falls in when that title is news to the listener.
TEST(NetsinkMp3, TheMetadataCountCarriesAcrossPacketsAndFlushes) {
  for (const std::uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    QuietEvents events;
    NetServerOptions options;
    options.feedRound = {}; // a flush at every packet
    options.sendBufferBytes = 4096;
    NetServer server(options, events);
    std::vector<NetItem> begin(1);
    begin[0].mp3Header = std::make_shared<const NetMp3Header>(NetMp3Header{128000});
    server.publish(begin);
    server.setMp3Enabled(true);
    StationStatus status;
    status.name = "Test FM";
    server.setStatus(status);
    std::uint16_t port = 0;
    ASSERT_TRUE(SUCCEEDED(server.open(0, &port)));
    TestClient client(port, 4096);
    ASSERT_TRUE(client.send(mp3Request(true)));
    ASSERT_TRUE(client.readHead().starts_with("HTTP/1.0 200 OK\r\n"));
    ASSERT_TRUE(nettest::eventually([&] { return server.mp3ClientCount() == 1; }));

    std::vector<std::shared_ptr<const IcyBlock>> titles{nullptr}; // none known at first
    for (int t = 1; t <= 6; ++t) {
      titles.push_back(std::make_shared<const IcyBlock>(
          icyMetadataBlock(NowPlaying{"Artist", "Title " + std::to_string(t), "", ""})));
    }
    std::uniform_int_distribution<std::size_t> packetBytes(1, 23000);
    std::uniform_int_distribution<std::size_t> batchPackets(1, 3);
    std::size_t title = 0;
    std::size_t audio = 0; // audio bytes published
    Bytes expected;        // the wire as the model has it
    std::size_t left = kMetaInt;
    const IcyBlock* lastSent = nullptr;
    std::size_t received = 0;
    for (int batch = 0; batch < 25; ++batch) {
      std::vector<NetItem> items(batchPackets(random));
      for (NetItem& item : items) {
        if (random() % 3 == 0 && title + 1 < titles.size()) {
          ++title;
        }
        auto packet = std::make_shared<NetPacket>();
        packet->framed.resize(packetBytes(random));
        packet->icy = titles[title];
        for (std::uint8_t& b : packet->framed) {
          b = static_cast<std::uint8_t>(audio++ % 251);
          expected.push_back(b);
          if (--left == 0) {
            left = kMetaInt;
            if (packet->icy && packet->icy.get() != lastSent) {
              lastSent = packet->icy.get();
              expected.insert(expected.end(), packet->icy->begin(), packet->icy->end());
            } else {
              expected.push_back(0);
            }
          }
        }
        item.mp3Packet = std::move(packet);
      }
      server.publish(items);
      Bytes got;
      ASSERT_TRUE(client.readExactly(expected.size() - received, got, 5s)) << "batch " << batch;
      for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], expected[received + i])
            << "batch " << batch << ", wire byte " << received + i;
      }
      received = expected.size();
    }
    EXPECT_GE(audio / kMetaInt, 10u);
    server.close();
  }
}

TEST(NetsinkMp3, PlainListenerGetsOnlyAudioWithAThreeSecondBurstFromAPacketStart) {
  Mp3Station station;
  std::this_thread::sleep_for(4500ms);
  TestClient client(station.port());
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.send(mp3Request(false)));
  const std::string head = client.readHead();
  EXPECT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  EXPECT_EQ(head.find("icy-metaint"), std::string::npos) << head;
  const std::uint32_t written = station.wordsWritten();
  // About three seconds at once: far more than the 300 ms it may take.
  Bytes audio;
  ASSERT_TRUE(client.readExactly(56000, audio, 1s));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 900ms);
  const std::uint32_t first = wordAt(audio, 0);
  EXPECT_EQ(first % kPacketWords, 0u);
  EXPECT_GE(written - first, 15000u); // the burst reached back 3 s or more
  EXPECT_LE(written - first, 19000u);
  ASSERT_TRUE(client.readExactly(40000, audio, 5s));
  for (std::size_t at = 4; at < audio.size(); at += 4) {
    ASSERT_EQ(wordAt(audio, at), first + at / 4) << "at byte " << at;
  }
}

// Listeners of both flavours share one count and one limit; the status answers are no
// listeners and are answered even when the station is full; the Windows Media listener gets
// its packets whole and in order while MP3 listeners take theirs.
TEST(NetsinkMp3, BothFlavoursShareTheLimitAndTheStatusCountsThem) {
  Mp3Station station(3);
  std::this_thread::sleep_for(300ms);
  TestClient wma(station.port());
  ASSERT_TRUE(wma.send(nettest::playRequest()));
  ASSERT_TRUE(wma.readHead().starts_with("HTTP/1.0 200 OK\r\n"));
  auto mp3a = std::make_unique<TestClient>(station.port());
  TestClient mp3b(station.port());
  ASSERT_TRUE(mp3a->send(mp3Request(true)) && mp3b.send(mp3Request(false)));
  ASSERT_TRUE(mp3a->readHead().starts_with("HTTP/1.0 200 OK\r\n"));
  ASSERT_TRUE(mp3b.readHead().starts_with("HTTP/1.0 200 OK\r\n"));
  ASSERT_TRUE(station.recorder().waitFor([](int c, int) { return c == 3; }));

  const std::string json = answerOf(station.port(), "GET /status.json HTTP/1.1\r\n\r\n");
  EXPECT_TRUE(json.starts_with("HTTP/1.0 200 OK\r\n")) << json;
  EXPECT_NE(json.find("\"listeners\":{\"wma\":1,\"mp3\":2,\"total\":3}"), std::string::npos)
      << json;
  EXPECT_NE(answerOf(station.port(), mp3Request(false)).find(" 503 "), std::string::npos);
  EXPECT_NE(answerOf(station.port(), nettest::playRequest()).find(" 503 "), std::string::npos);
  EXPECT_TRUE(answerOf(station.port(), "GET /status HTTP/1.1\r\nAccept: text/html\r\n\r\n")
                  .starts_with("HTTP/1.0 200 OK\r\n"));

  // The framed stream: $H, then $D chunks of consecutive packets.
  Bytes framed;
  nettest::ChunkHead chunk;
  ASSERT_TRUE(wma.readExactly(12, framed));
  ASSERT_TRUE(nettest::parseChunkHead(framed.data(), chunk));
  ASSERT_EQ(chunk.type, 'H');
  ASSERT_TRUE(wma.readExactly(chunk.length - 8u, framed));
  std::uint64_t expected = 0;
  for (int i = 0; i < 20; ++i) {
    Bytes d;
    ASSERT_TRUE(wma.readExactly(12, d));
    ASSERT_TRUE(nettest::parseChunkHead(d.data(), chunk));
    ASSERT_EQ(chunk.type, 'D');
    ASSERT_TRUE(wma.readExactly(chunk.length - 8u, d));
    const std::uint64_t index = nettest::packetIndex(d.data() + 12);
    if (i > 0) {
      EXPECT_EQ(index, expected % 64) << "chunk " << i;
    }
    expected = index + 1;
  }

  mp3a.reset();
  ASSERT_TRUE(station.recorder().waitFor([](int, int d) { return d == 1; }));
  EXPECT_NE(answerOf(station.port(), "GET /status.json HTTP/1.1\r\n\r\n")
                .find("\"listeners\":{\"wma\":1,\"mp3\":1,\"total\":2}"),
            std::string::npos);
  EXPECT_EQ(station.sink().Mp3ClientCount(), 1u);
  TestClient again(station.port());
  ASSERT_TRUE(again.send(mp3Request(false)));
  EXPECT_TRUE(again.readHead().starts_with("HTTP/1.0 200 OK\r\n"));
}

TEST(NetsinkMp3, WithoutTheFlavourTheStreamIsNotFoundAndBeforeItsStartNotReady) {
  TWMWriterNetworkSink sink;
  std::uint32_t port = 0;
  ASSERT_TRUE(SUCCEEDED(sink.Open(&port)));
  const auto p = static_cast<std::uint16_t>(port);
  EXPECT_NE(answerOf(p, mp3Request(false)).find("HTTP/1.0 404"), std::string::npos);
  // The station is described by its output a moment after the port opens: until then, 503.
  EXPECT_NE(answerOf(p, "GET /status.json HTTP/1.1\r\n\r\n").find("HTTP/1.0 503"),
            std::string::npos);
  StationStatus early;
  early.name = "Early FM";
  sink.SetStatus(early);
  EXPECT_NE(answerOf(p, "GET /status.json HTTP/1.1\r\n\r\n").find("\"station\":\"Early FM\""),
            std::string::npos);
  sink.SetMp3Enabled(true);
  EXPECT_NE(answerOf(p, mp3Request(false)).find("HTTP/1.0 503"), std::string::npos);
  sink.BeginMp3(128000);
  // The loop takes the start in its next turn.
  std::unique_ptr<TestClient> client;
  for (int i = 0; i < 50 && !client; ++i) {
    client = std::make_unique<TestClient>(p);
    if (!client->send(mp3Request(false)) ||
        !client->readHead().starts_with("HTTP/1.0 200 OK\r\n")) {
      client.reset();
      std::this_thread::sleep_for(20ms);
    }
  }
  ASSERT_TRUE(client);
  // Frames written now reach the waiting listener in one packet once 400 ms are together.
  const Bytes frames(6400, 0x55);
  sink.WriteMp3(frames.data(), frames.size());
  Bytes got;
  EXPECT_TRUE(client->readExactly(6400, got, 2s));
  EXPECT_EQ(got, frames);
  sink.Close();
}

} // namespace
} // namespace sondrix
