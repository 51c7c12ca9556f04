#pragma once

#include "winmedia/server/net_asf_stream.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sondrix {

// The most recent packets of the broadcast, each held once. Packets carry consecutive
// sequence numbers that never restart, so a listener's whole position is one number (plus a
// byte offset into that packet). Owned by the server's loop thread.
class PacketRing {
public:
  explicit PacketRing(std::size_t capacity = 64);

  // Appends a packet, evicting the oldest when full. Returns its sequence number.
  std::uint64_t push(std::shared_ptr<const NetPacket> packet);
  // Forgets every packet (a new broadcast); numbering goes on.
  void clear();
  // Changes the capacity; forgets every packet.
  void reset(std::size_t capacity);

  std::uint64_t begin() const { return FEnd - FCount; } // oldest held
  std::uint64_t end() const { return FEnd; }            // next to be pushed
  std::size_t capacity() const { return FSlots.size(); }
  // The packet numbered seq, or nullptr when it is not (or no longer) held.
  const NetPacket* at(std::uint64_t seq) const;

private:
  std::vector<std::shared_ptr<const NetPacket>> FSlots;
  std::uint64_t FEnd = 0;
  std::size_t FCount = 0;
};

} // namespace sondrix
