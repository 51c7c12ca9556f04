#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace sondrix {

// Where a connection comes from, for the per-address limit: an IPv4 address (also through a
// dual-stack socket), or the /64 of an IPv6 one (a single host is usually given a whole /64).
struct AddressKey {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  bool operator==(const AddressKey&) const = default;
};

AddressKey addressKeyOf(const sockaddr_storage& addr);

// Counts the connections that are not listeners (request or finite answer under way), in
// all and per address. Owned by the server's loop thread.
class PendingTally {
public:
  std::size_t size() const { return FTotal; }
  std::uint32_t from(const AddressKey& address) const;
  void add(const AddressKey& address);
  void remove(const AddressKey& address);
  void clear();

private:
  struct Hash {
    std::size_t operator()(const AddressKey& k) const noexcept;
  };
  std::size_t FTotal = 0;
  std::unordered_map<AddressKey, std::uint32_t, Hash> FByAddress; // no zero counts
};

// Connections the open-file limit (RLIMIT_NOFILE) leaves room for, after the descriptors
// open now and reserved more for the rest of the process. SIZE_MAX without a limit.
std::size_t connectionLimit(std::size_t reserved);

} // namespace sondrix
