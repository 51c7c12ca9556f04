#include "net/public_address.h"

#include "base/text.h"
#include "net/http_send.h"
#include "net/local_address.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
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

namespace {

// One echo request, shared by the waiting caller and the thread that performs it, so that
// whichever lets go last frees it.
struct EchoExchange {
  THTTPSend Http;
  std::mutex Lock;
  std::condition_variable Finished;
  bool Done = false;
  bool Ok = false;
  std::vector<std::u16string> Lines;
};

std::u16string_view trimBlanks(std::u16string_view text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!text.empty() && blank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && blank(text.back()))
    text.remove_suffix(1);
  return text;
}

} // namespace

std::optional<std::u16string> echoReplyAddress(const std::vector<std::u16string>& lines) {
  if (lines.empty())
    return std::nullopt;
  const std::u16string_view line = trimBlanks(lines.front());
  const std::string text = toNarrow(line);
  if (text.empty() || text.find('\0') != std::string::npos)
    return std::nullopt;
  in6_addr parsed{};
  if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1 &&
      ::inet_pton(AF_INET6, text.c_str(), &parsed) != 1)
    return std::nullopt;
  return std::u16string(line);
}

std::u16string GetPublicAddress() {
  auto exchange = std::make_shared<EchoExchange>();
  exchange->Http.Sock().SetMaxLineLength(kUrlLinesMaxLineLength);
  exchange->Http.SetMaxResponseSize(kUrlLinesMaxResponseSize);
  exchange->Http.SetTimeout(static_cast<int>(kEchoDeadline.count()));
  try {
    // Name lookup and connect cannot be cut short from outside, so the request runs on a
    // thread of its own and the window waits for it no longer than the deadline. A late
    // exchange is told to abort: it ends at its next receive, or when the system gives up
    // the connect.
    std::thread([exchange, url = echoServiceUrl()] {
      const bool ok = exchange->Http.HTTPMethod("GET", url);
      std::vector<std::u16string> lines;
      if (ok)
        lines = decodeTextLines(exchange->Http.Document().Data());
      std::lock_guard lock(exchange->Lock);
      exchange->Ok = ok;
      exchange->Lines = std::move(lines);
      exchange->Done = true;
      exchange->Finished.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return GetLocalAddress();
  }
  // Taken while the request runs: the wait below then bounds the whole call.
  const std::u16string local = GetLocalAddress();
  std::optional<std::u16string> address;
  {
    std::unique_lock lock(exchange->Lock);
    if (exchange->Finished.wait_for(lock, kEchoDeadline, [&] { return exchange->Done; })) {
      if (exchange->Ok)
        address = echoReplyAddress(exchange->Lines);
    } else {
      exchange->Http.Abort();
    }
  }
  return address ? *address : local;
}

std::u16string GetLocalAddress() {
  return toWide(chooseLocalAddress(localInterfaceAddresses(), defaultRouteInterface()));
}

} // namespace sondrix
