#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

// The address-echo service: a GET answers with the caller's public address as the first
// line of a plain-text body. Plain http, since the client has no TLS.
inline constexpr char kEchoServiceUrl[] = "http://checkip.amazonaws.com/";

// How long GetPublicAddress waits for the echo service as a whole: name lookup, connect and
// reply.
inline constexpr std::chrono::milliseconds kEchoDeadline{3000};

// The public address from the echo service: the first reply line, blanks trimmed, when it is
// an IPv4 or IPv6 address. Else (service unreachable or slower than kEchoDeadline, a reply
// that is an HTML page, an error text or empty) the local address. Makes a new request on
// every call; blocks the calling (user-interface) thread for at most about kEchoDeadline.
std::u16string GetPublicAddress();

// The echo reply's first line, blanks trimmed, when it is an IPv4 or IPv6 address; error pages,
// notices and empty replies are not addresses, whatever status came with them.
std::optional<std::u16string> echoReplyAddress(const std::vector<std::u16string>& Lines);

// The machine's own IPv4 address for the local network (see chooseLocalAddress), in dotted
// form; loopback only when the machine has nothing else, empty when it has no address at all.
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
