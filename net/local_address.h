#pragma once

#include <string>
#include <vector>

namespace sondrix {

// One IPv4 address of an interface that is up.
struct LocalInterfaceAddress {
  std::string Interface; // "eth0"
  std::string Address;   // dotted
  bool Loopback = false;
};

// The address listeners on the local network can reach: the first one of the interface that
// carries the default route, else the first that is not loopback, else the first loopback one;
// empty when there is none.
std::string chooseLocalAddress(const std::vector<LocalInterfaceAddress>& Addresses,
                               const std::string& DefaultRouteInterface);

// The machine's IPv4 addresses (getifaddrs), in the system's order. No name lookup: it never
// blocks.
std::vector<LocalInterfaceAddress> localInterfaceAddresses();
// The interface of the IPv4 default route (/proc/net/route), empty when there is none.
std::string defaultRouteInterface();

} // namespace sondrix
