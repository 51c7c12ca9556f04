#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <string_view>

namespace sondrix {

// One local address to listen on, as a socket address with port 0.
struct BindAddress {
  sockaddr_storage Address{};
  socklen_t Length = 0;
  int Family = 0; // AF_INET or AF_INET6
};

// An IPv4 address in dotted form or an IPv6 address, bare or in brackets; nullopt for anything
// else (host names included: a station keeps to an interface, not to a name's changing answer).
std::optional<BindAddress> parseBindAddress(std::string_view Text);

} // namespace sondrix
