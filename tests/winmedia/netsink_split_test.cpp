#include "netsink_helpers.h"

#include "winmedia/server/mmsh_framing.h"
#include "winmedia/server/net_asf_stream.h"
#include "winmedia/server/net_packet_ring.h"

#include <gtest/gtest.h>

#include <random>

namespace sondrix {
namespace {

using nettest::Bytes;

struct Split {
  std::vector<std::shared_ptr<const NetHeader>> headers;
  std::vector<std::shared_ptr<const NetPacket>> packets;
  bool ok = true;
};

Split feedInSlices(AsfStreamSplitter& splitter, const Bytes& stream,
                   const std::vector<std::size_t>& sliceSizes) {
  Split out;
  std::vector<NetItem> items;
  std::size_t at = 0;
  for (std::size_t i = 0; at < stream.size(); ++i) {
    const std::size_t n = std::min(sliceSizes[i % sliceSizes.size()], stream.size() - at);
    out.ok = splitter.feed(stream.data() + at, n, items) && out.ok;
    at += n;
  }
  for (auto& item : items) {
    if (item.header) {
      out.headers.push_back(item.header);
    } else {
      out.packets.push_back(item.packet);
    }
  }
  return out;
}

void expectSplitMatches(const Split& split, const nettest::SyntheticAsf& asf) {
  ASSERT_TRUE(split.ok);
  ASSERT_EQ(split.headers.size(), 1u);
  const NetHeader& h = *split.headers[0];
  EXPECT_EQ(h.packetSize, asf.packets[0].size());
  ASSERT_EQ(h.framed.size(), kMmshChunkPrefix + asf.blob.size());
  nettest::ChunkHead chunk;
  ASSERT_TRUE(nettest::parseChunkHead(h.framed.data(), chunk));
  EXPECT_EQ(chunk.type, 'H');
  EXPECT_EQ(chunk.length, asf.blob.size() + 8);
  EXPECT_EQ(chunk.location, 0u);
  EXPECT_EQ(chunk.afFlags, 0x0C);
  EXPECT_TRUE(std::equal(asf.blob.begin(), asf.blob.end(), h.framed.begin() + kMmshChunkPrefix));

  ASSERT_EQ(split.packets.size(), asf.packets.size());
  for (std::size_t i = 0; i < asf.packets.size(); ++i) {
    const Bytes& framed = split.packets[i]->framed;
    ASSERT_TRUE(nettest::parseChunkHead(framed.data(), chunk)) << i;
    EXPECT_EQ(chunk.type, 'D');
    EXPECT_EQ(chunk.length, asf.packets[i].size() + 8);
    EXPECT_EQ(chunk.location, i);
    EXPECT_EQ(chunk.afFlags, i & 0xFF);
    ASSERT_TRUE(
        std::equal(asf.packets[i].begin(), asf.packets[i].end(), framed.begin() + kMmshChunkPrefix))
        << "packet " << i;
  }
}

TEST(NetsinkSplit, SameResultWhateverTheSlicing) {
  const auto asf = nettest::makeAsf(300);
  const Bytes stream = asf.stream();
  const std::vector<std::vector<std::size_t>> slicings = {
      {stream.size()}, {1}, {7, 1, 400, 3}, {29, 31}, {asf.blob.size(), 400}};
  for (const auto& slicing : slicings) {
    AsfStreamSplitter splitter;
    expectSplitMatches(feedInSlices(splitter, stream, slicing), asf);
  }
  std::mt19937 random(42);
  std::vector<std::size_t> randomSizes;
  for (int i = 0; i < 100; ++i) {
    randomSizes.push_back(std::uniform_int_distribution<std::size_t>(1, 2000)(random));
  }
  AsfStreamSplitter splitter;
  expectSplitMatches(feedInSlices(splitter, stream, randomSizes), asf);
}

TEST(NetsinkSplit, ReadsTimingFieldsAndHoldsBackAPartialPacket) {
  nettest::AsfShape shape;
  shape.prerollMs = 3100;
  shape.maxBitrate = 128000;
  shape.paddingObjectBytes = 500; // File Properties need not be the only object
  const auto asf = nettest::makeAsf(3, shape);
  Bytes stream = asf.stream();
  stream.resize(stream.size() - 1);
  AsfStreamSplitter splitter;
  std::vector<NetItem> items;
  ASSERT_TRUE(splitter.feed(stream.data(), stream.size(), items));
  ASSERT_EQ(items.size(), 3u); // header + two packets; the third lacks a byte
  EXPECT_EQ(items[0].header->prerollMs, 3100u);
  EXPECT_EQ(items[0].header->maxBitrate, 128000u);
  const std::uint8_t last = asf.packets[2].back();
  ASSERT_TRUE(splitter.feed(&last, 1, items));
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(nettest::packetIndex(items[3].packet->framed.data() + kMmshChunkPrefix), 2u);
}

TEST(NetsinkSplit, RefusesStreamsPlayersCannotUse) {
  struct Case {
    const char* name;
    Bytes stream;
  };
  std::vector<Case> cases;
  {
    nettest::AsfShape shape;
    shape.minPacketSize = 300; // min != max: VLC refuses such a file
    cases.push_back({"packet sizes differ", nettest::makeAsf(2, shape).stream()});
  }
  {
    nettest::AsfShape shape;
    shape.paddingObjectBytes = 65500; // header cannot travel in one $H chunk
    cases.push_back({"header too large", nettest::makeAsf(2, shape).stream()});
  }
  {
    nettest::AsfShape shape;
    shape.withFileProperties = false;
    cases.push_back({"no file properties", nettest::makeAsf(2, shape).stream()});
  }
  {
    Bytes s = nettest::makeAsf(2).stream();
    s[0] ^= 0xFF;
    cases.push_back({"not an ASF header", s});
  }
  {
    auto asf = nettest::makeAsf(2);
    asf.blob[asf.blob.size() - 50] ^= 0xFF; // data object GUID
    cases.push_back({"bad data object", asf.stream()});
  }
  {
    nettest::AsfShape shape;
    shape.packetSize = 0;
    cases.push_back({"zero packet size", nettest::makeAsf(0, shape).stream()});
  }
  for (const auto& c : cases) {
    AsfStreamSplitter splitter;
    std::vector<NetItem> items;
    EXPECT_FALSE(splitter.feed(c.stream.data(), c.stream.size(), items)) << c.name;
    EXPECT_TRUE(items.empty()) << c.name;
    EXPECT_TRUE(splitter.failed()) << c.name;
    // Stays failed: nothing after a bad header can be trusted.
    const Bytes good = nettest::makeAsf(1).stream();
    EXPECT_FALSE(splitter.feed(good.data(), good.size(), items)) << c.name;
    EXPECT_TRUE(items.empty()) << c.name;
    splitter.reset();
    EXPECT_TRUE(splitter.feed(good.data(), good.size(), items)) << c.name;
    EXPECT_EQ(items.size(), 2u) << c.name;
  }
}

TEST(NetsinkSplit, ResetStartsANewStreamAfterAPartialPacket) {
  const auto first = nettest::makeAsf(2);
  const Bytes a = first.stream();
  AsfStreamSplitter splitter;
  std::vector<NetItem> items;
  ASSERT_TRUE(splitter.feed(a.data(), a.size() - 100, items));
  splitter.reset();
  const auto second = nettest::makeAsf(2);
  items.clear();
  const Bytes b = second.stream();
  ASSERT_TRUE(splitter.feed(b.data(), b.size(), items));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_TRUE(items[0].header);
  EXPECT_EQ(nettest::packetIndex(items[1].packet->framed.data() + kMmshChunkPrefix), 0u);
}

TEST(NetsinkSplit, CutsAnFfmpegLiveStreamIntoWholePackets) {
  if (!nettest::haveFfmpeg()) {
    GTEST_SKIP() << "ffmpeg CLI missing";
  }
  int code = -1;
  const Bytes stream = nettest::runCommand(
      "ffmpeg -nostdin -v error -f lavfi -i sine=frequency=1000:sample_rate=44100:duration=3 "
      "-ac 2 -c:a wmav2 -b:a 128k -f asf -packet_size 3200 - 2>/dev/null",
      &code);
  ASSERT_EQ(code, 0);
  AsfStreamSplitter splitter;
  std::vector<NetItem> items;
  ASSERT_TRUE(splitter.feed(stream.data(), stream.size(), items));
  ASSERT_FALSE(items.empty());
  ASSERT_TRUE(items[0].header);
  const NetHeader& h = *items[0].header;
  EXPECT_EQ(h.packetSize, 3200u);
  EXPECT_EQ(h.prerollMs, 3100u);
  const std::size_t blob = h.framed.size() - kMmshChunkPrefix;
  // The muxer ends a non-seekable output with its own 12-byte end chunk, which is no packet
  // and must not reach listeners.
  EXPECT_EQ((stream.size() - blob) % 3200, 12u);
  EXPECT_EQ(items.size() - 1, (stream.size() - blob) / 3200);
  // Every ASF data packet starts with its error-correction byte 0x82.
  for (std::size_t i = 1; i < items.size(); ++i) {
    EXPECT_EQ(items[i].packet->framed[kMmshChunkPrefix], 0x82) << i;
  }
}

TEST(NetsinkRing, KeepsTheNewestAndNumbersOnAcrossClears) {
  PacketRing ring(4);
  auto packet = [](std::uint8_t tag) {
    auto p = std::make_shared<NetPacket>();
    p->framed = {tag};
    return p;
  };
  for (std::uint8_t i = 0; i < 6; ++i) {
    EXPECT_EQ(ring.push(packet(i)), i);
  }
  EXPECT_EQ(ring.begin(), 2u);
  EXPECT_EQ(ring.end(), 6u);
  EXPECT_EQ(ring.at(1), nullptr);
  EXPECT_EQ(ring.at(6), nullptr);
  for (std::uint64_t s = 2; s < 6; ++s) {
    ASSERT_NE(ring.at(s), nullptr);
    EXPECT_EQ(ring.at(s)->framed[0], s);
  }
  ring.clear();
  EXPECT_EQ(ring.begin(), ring.end());
  EXPECT_EQ(ring.at(5), nullptr);
  EXPECT_EQ(ring.push(packet(9)), 6u);
  ring.reset(2);
  EXPECT_EQ(ring.capacity(), 2u);
  EXPECT_EQ(ring.begin(), 7u);
}

} // namespace
} // namespace sondrix
