#include "winmedia/server/net_asf_stream.h"

#include "winmedia/server/mmsh_framing.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sondrix {

namespace {

using GuidBytes = std::array<std::uint8_t, 16>;

// GUIDs as they appear on the wire (first three fields little-endian).
constexpr GuidBytes kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr GuidBytes kDataObject = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr GuidBytes kFilePropertiesObject = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

constexpr std::size_t kHeaderObjectHead = 30;
constexpr std::size_t kDataObjectHead = 50;
constexpr std::size_t kObjectHead = 24;
constexpr std::size_t kFilePropertiesSize = 104;

bool guidAt(const std::uint8_t* p, const GuidBytes& guid) {
  return std::memcmp(p, guid.data(), guid.size()) == 0;
}

std::uint64_t le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    v = (v << 8) | p[i];
  }
  return v;
}

} // namespace

void AsfStreamSplitter::reset() {
  *this = AsfStreamSplitter();
}

bool AsfStreamSplitter::feed(const std::uint8_t* data, std::size_t size,
                             std::vector<NetItem>& out) {
  while (size > 0) {
    if (FPhase == Phase::Failed) {
      return false;
    }
    if (FPhase == Phase::Header) {
      const std::size_t want = FBlobSize != 0 ? FBlobSize : kHeaderObjectHead;
      const std::size_t take = std::min(size, want - FPending.size());
      FPending.insert(FPending.end(), data, data + take);
      data += take;
      size -= take;
      if (FPending.size() == want && !parseHeader(out)) {
        FPhase = Phase::Failed;
        FPending = {};
        return false;
      }
      continue;
    }
    if (!FPacket) {
      FPacket = std::make_shared<NetPacket>();
      FPacket->framed.resize(kMmshChunkPrefix + FPacketSize);
      FPacketFill = 0;
    }
    const std::size_t take = std::min<std::size_t>(size, FPacketSize - FPacketFill);
    std::memcpy(FPacket->framed.data() + kMmshChunkPrefix + FPacketFill, data, take);
    FPacketFill += take;
    data += take;
    size -= take;
    if (FPacketFill == FPacketSize) {
      // A station-wide packet number lets one framing serve every listener.
      writeMmshChunkPrefix(FPacket->framed.data(), 'D', FPacketNumber,
                           static_cast<std::uint8_t>(FPacketNumber & 0xFF), FPacketSize);
      ++FPacketNumber;
      out.emplace_back().packet = std::move(FPacket);
      FPacket.reset();
    }
  }
  return FPhase != Phase::Failed;
}

// Called when FPending holds the 30-byte header object head, then again with the whole blob.
bool AsfStreamSplitter::parseHeader(std::vector<NetItem>& out) {
  const std::uint8_t* p = FPending.data();
  if (FBlobSize == 0) {
    if (!guidAt(p, kHeaderObject)) {
      return false;
    }
    const std::uint64_t headerSize = le(p + 16, 8);
    // The whole blob must fit one $H chunk: FFmpeg only parses the first.
    if (headerSize < kHeaderObjectHead || headerSize > kMmshMaxPayload - kDataObjectHead) {
      return false;
    }
    FBlobSize = static_cast<std::size_t>(headerSize) + kDataObjectHead;
    FPending.reserve(FBlobSize);
    return true;
  }

  const std::size_t headerSize = FBlobSize - kDataObjectHead;
  if (!guidAt(p + headerSize, kDataObject)) {
    return false;
  }
  auto header = std::make_shared<NetHeader>();
  bool haveFileProperties = false;
  for (std::size_t at = kHeaderObjectHead; at + kObjectHead <= headerSize;) {
    const std::uint64_t objectSize = le(p + at + 16, 8);
    if (objectSize < kObjectHead || objectSize > headerSize - at) {
      return false;
    }
    if (guidAt(p + at, kFilePropertiesObject) && objectSize >= kFilePropertiesSize) {
      const std::uint8_t* fp = p + at;
      const auto minPacket = static_cast<std::uint32_t>(le(fp + 92, 4));
      const auto maxPacket = static_cast<std::uint32_t>(le(fp + 96, 4));
      // Players refuse a header whose packet sizes differ, and a $D must hold one packet.
      if (minPacket != maxPacket || minPacket == 0 || minPacket > kMmshMaxPayload) {
        return false;
      }
      header->packetSize = minPacket;
      header->prerollMs = le(fp + 80, 8);
      header->maxBitrate = static_cast<std::uint32_t>(le(fp + 100, 4));
      haveFileProperties = true;
    }
    at += static_cast<std::size_t>(objectSize);
  }
  if (!haveFileProperties) {
    return false;
  }
  header->framed = frameMmshHeader(p, FBlobSize);
  FPacketSize = header->packetSize;
  FPending = {};
  FPhase = Phase::Packets;
  out.emplace_back().header = std::move(header);
  return true;
}

} // namespace sondrix
