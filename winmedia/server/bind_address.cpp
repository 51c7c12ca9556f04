#include "winmedia/server/bind_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace sondrix {

std::optional<BindAddress> parseBindAddress(std::string_view Text) {
  if (Text.size() >= 2 && Text.front() == '[' && Text.back() == ']')
    Text = Text.substr(1, Text.size() - 2);
  if (Text.empty() || Text.size() > 64)
    return std::nullopt;
  const std::string text(Text);
  BindAddress out;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.Address);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    out.Family = AF_INET;
    out.Length = sizeof(sockaddr_in);
    return out;
  }
  std::memset(&out.Address, 0, sizeof out.Address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.Address);
  if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    out.Family = AF_INET6;
    out.Length = sizeof(sockaddr_in6);
    return out;
  }
  return std::nullopt;
}

} // namespace sondrix
