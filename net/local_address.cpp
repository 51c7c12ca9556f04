#include "net/local_address.h"

#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <sstream>

namespace sondrix {

std::string chooseLocalAddress(const std::vector<LocalInterfaceAddress>& Addresses,
                               const std::string& DefaultRouteInterface) {
  for (const LocalInterfaceAddress& a : Addresses)
    if (!DefaultRouteInterface.empty() && a.Interface == DefaultRouteInterface && !a.Loopback)
      return a.Address;
  for (const LocalInterfaceAddress& a : Addresses)
    if (!a.Loopback)
      return a.Address;
  return Addresses.empty() ? std::string() : Addresses.front().Address;
}

namespace {

struct IfaddrsFree {
  void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

} // namespace

std::vector<LocalInterfaceAddress> localInterfaceAddresses() {
  std::vector<LocalInterfaceAddress> addresses;
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0)
    return addresses;
  const std::unique_ptr<ifaddrs, IfaddrsFree> list(raw);
  for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
      continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr)
      continue;
    addresses.push_back({i->ifa_name, text, (i->ifa_flags & IFF_LOOPBACK) != 0});
  }
  return addresses;
}

std::string defaultRouteInterface() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line); // the column names
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string interface, destination, gateway, flags, refCount, use, metric, mask;
    if (!(fields >> interface >> destination >> gateway >> flags >> refCount >> use >> metric >>
          mask))
      continue;
    if (destination == "00000000" && mask == "00000000")
      return interface;
  }
  return {};
}

} // namespace sondrix
