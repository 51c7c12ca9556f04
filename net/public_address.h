#pragma once

#include <string>

namespace sondrix {

// The address-echo service: a GET answers with the caller's public address as the first
// line of a plain-text body. Plain http, since the client has no TLS.
inline constexpr char kEchoServiceUrl[] = "http://checkip.amazonaws.com/";

// The public address from the echo service (first reply line, unchanged), else the local
// address when the service is unreachable, answers an HTML page ("<html>...") or an empty
// body. Makes a new request on every call; blocks the calling (user-interface) thread.
std::u16string GetPublicAddress();

// The first IPv4 address of the local host name in dotted form, else empty.
std::u16string GetLocalAddress();

// Tests only: while alive, GetPublicAddress asks Url instead of the echo service.
// Not nestable across threads; create and destroy on one thread.
class ScopedEchoUrlOverride {
public:
  explicit ScopedEchoUrlOverride(std::string Url);
  ~ScopedEchoUrlOverride();
  ScopedEchoUrlOverride(const ScopedEchoUrlOverride&) = delete;
  ScopedEchoUrlOverride& operator=(const ScopedEchoUrlOverride&) = delete;

private:
  std::string FPrevious;
};

// The URL GetPublicAddress asks: the override when one is set, else kEchoServiceUrl.
std::string echoServiceUrl();

} // namespace sondrix
