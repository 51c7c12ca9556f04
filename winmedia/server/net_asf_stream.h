#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

// The header of one broadcast, framed once as a $H chunk and shared by every listener.
// Raw (plain HTTP) listeners are sent the same bytes from kMmshChunkPrefix on.
struct NetHeader {
  std::vector<std::uint8_t> framed;
  std::uint32_t packetSize = 0; // bytes of every data packet
  std::uint64_t prerollMs = 0;  // File Properties preroll
  std::uint32_t maxBitrate = 0; // File Properties maximum bitrate, bits/s; 0 = unknown
};

using IcyBlock = std::vector<std::uint8_t>;

// One whole ASF data packet, framed once as a $D chunk and shared by every listener; or, in
// the MP3 flavour, whole MP3 frames as they go on the wire.
struct NetPacket {
  std::vector<std::uint8_t> framed;
  // MP3 only: the ICY metadata block of the title on air when the packet was made; null
  // while no title is known.
  std::shared_ptr<const IcyBlock> icy;
};

// The start of a run's MP3 flavour.
struct NetMp3Header {
  std::uint32_t bitrate = 0; // bits/s
};

// What the server is handed: a header (a new broadcast) or a packet of the current one, or
// the same for the MP3 flavour. One of the four is set.
struct NetItem {
  std::shared_ptr<const NetHeader> header;
  std::shared_ptr<const NetPacket> packet;
  std::shared_ptr<const NetMp3Header> mp3Header;
  std::shared_ptr<const NetPacket> mp3Packet;
};

// Cuts a live ASF byte stream, given in slices of any length, into the header blob (header
// object + the 50-byte data object head) and fixed-size data packets. Packets are never
// parsed. Not thread-safe: one writer feeds it.
class AsfStreamSplitter {
public:
  // Appends to out what the bytes complete. Returns false once the stream proved not to be
  // a live ASF stream we can serve (bad GUIDs, header too large for one $H chunk, min and max
  // packet size differing); every later call then returns false until reset().
  bool feed(const std::uint8_t* data, std::size_t size, std::vector<NetItem>& out);
  // Starts over: the next bytes begin a new ASF stream.
  void reset();
  bool failed() const { return FPhase == Phase::Failed; }
  std::uint64_t packetsSplit() const { return FPacketNumber; }

private:
  enum class Phase { Header, Packets, Failed };
  bool parseHeader(std::vector<NetItem>& out);

  Phase FPhase = Phase::Header;
  std::vector<std::uint8_t> FPending; // header bytes so far
  std::size_t FBlobSize = 0;          // 0 until the header object's size is known
  std::uint32_t FPacketSize = 0;
  std::shared_ptr<NetPacket> FPacket; // packet being filled
  std::size_t FPacketFill = 0;
  std::uint32_t FPacketNumber = 0;
};

} // namespace sondrix
