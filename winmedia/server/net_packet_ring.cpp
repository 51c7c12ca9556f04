#include "winmedia/server/net_packet_ring.h"

#include <algorithm>

namespace sondrix {

PacketRing::PacketRing(std::size_t capacity) : FSlots(std::max<std::size_t>(capacity, 1)) {}

std::uint64_t PacketRing::push(std::shared_ptr<const NetPacket> packet) {
  FSlots[FEnd % FSlots.size()] = std::move(packet);
  FCount = std::min(FCount + 1, FSlots.size());
  return FEnd++;
}

void PacketRing::clear() {
  for (auto& slot : FSlots) {
    slot.reset();
  }
  FCount = 0;
}

void PacketRing::reset(std::size_t capacity) {
  FSlots.assign(std::max<std::size_t>(capacity, 1), nullptr);
  FCount = 0;
}

const NetPacket* PacketRing::at(std::uint64_t seq) const {
  if (seq < begin() || seq >= FEnd) {
    return nullptr;
  }
  return FSlots[seq % FSlots.size()].get();
}

} // namespace sondrix
