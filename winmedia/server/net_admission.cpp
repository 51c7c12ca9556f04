#include "winmedia/server/net_admission.h"

#include <netinet/in.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>

namespace sondrix {

AddressKey addressKeyOf(const sockaddr_storage& addr) {
  AddressKey key;
  if (addr.ss_family == AF_INET6) {
    const std::uint8_t* bytes = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr.s6_addr;
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      std::uint32_t v4 = 0;
      std::memcpy(&v4, bytes + 12, 4);
      key.low = v4;
      return key;
    }
    std::memcpy(&key.high, bytes, 8);
    key.low = ~std::uint64_t{0}; // never an IPv4 key
  } else if (addr.ss_family == AF_INET) {
    std::uint32_t v4 = 0;
    std::memcpy(&v4, &reinterpret_cast<const sockaddr_in&>(addr).sin_addr, 4);
    key.low = v4;
  }
  return key;
}

std::size_t PendingTally::Hash::operator()(const AddressKey& k) const noexcept {
  return std::hash<std::uint64_t>{}(k.high * 0x9E3779B97F4A7C15ull ^ k.low);
}

std::uint32_t PendingTally::from(const AddressKey& address) const {
  const auto it = FByAddress.find(address);
  return it == FByAddress.end() ? 0 : it->second;
}

void PendingTally::add(const AddressKey& address) {
  ++FTotal;
  ++FByAddress[address];
}

void PendingTally::remove(const AddressKey& address) {
  const auto it = FByAddress.find(address);
  if (it == FByAddress.end()) {
    return;
  }
  --FTotal;
  if (--it->second == 0) {
    FByAddress.erase(it);
  }
}

void PendingTally::clear() {
  FTotal = 0;
  FByAddress.clear();
}

std::size_t connectionLimit(std::size_t reserved) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<std::size_t>::max();
  }
  std::uint64_t open = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    ++open;
  }
  const std::uint64_t used = open + reserved;
  return limit.rlim_cur > used ? static_cast<std::size_t>(limit.rlim_cur - used) : 0;
}

} // namespace sondrix
