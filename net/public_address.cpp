#include "net/public_address.h"

#include "base/text.h"
#include "net/http_send.h"

#include <arpa/inet.h>
#include <mutex>
#include <netdb.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sondrix {

namespace {

std::mutex overrideLock;
std::string overrideUrl; // empty: none

} // namespace

ScopedEchoUrlOverride::ScopedEchoUrlOverride(std::string Url) {
  std::lock_guard lock(overrideLock);
  FPrevious = std::exchange(overrideUrl, std::move(Url));
}

ScopedEchoUrlOverride::~ScopedEchoUrlOverride() {
  std::lock_guard lock(overrideLock);
  overrideUrl = std::move(FPrevious);
}

std::string echoServiceUrl() {
  std::lock_guard lock(overrideLock);
  return overrideUrl.empty() ? std::string(kEchoServiceUrl) : overrideUrl;
}

std::u16string GetPublicAddress() {
  std::vector<std::u16string> lines;
  if (!GetUrlLines(echoServiceUrl(), lines))
    return GetLocalAddress();
  // An empty reply carries no address; treat it like an HTML error page.
  if (lines.empty() || lines.front().compare(0, 6, u"<html>") == 0)
    return GetLocalAddress();
  return lines.front();
}

std::u16string GetLocalAddress() {
  char name[128] = {};
  if (::gethostname(name, sizeof name - 1) != 0)
    return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr)
    return {};
  char text[INET_ADDRSTRLEN] = {};
  const auto* address = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  const bool ok = ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
  ::freeaddrinfo(list);
  return ok ? toWide(text) : std::u16string();
}

} // namespace sondrix
