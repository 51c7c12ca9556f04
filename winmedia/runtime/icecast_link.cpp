#include "winmedia/runtime/icecast_link.h"

#include "base/percent_text.h"
#include "winmedia/runtime/icecast_reply.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left.count(), 60000));
}

struct AddrInfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

} // namespace

std::optional<TIcecastEndpoint> parseIcecastPushUrl(const std::string& Url) {
  constexpr std::string_view kScheme = "http://";
  std::string_view rest(Url);
  if (!rest.starts_with(kScheme))
    return std::nullopt;
  rest.remove_prefix(kScheme.size());
  TIcecastEndpoint where;
  const std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos)
    where.Mount = std::string(rest.substr(slash));
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view info = authority.substr(0, at);
    const std::size_t colon = info.find(':');
    const auto user = percentDecodeStrict(info.substr(0, colon));
    const auto password = colon == std::string_view::npos
                              ? std::optional<std::string>("")
                              : percentDecodeStrict(info.substr(colon + 1));
    if (!user || !password)
      return std::nullopt;
    where.User = *user;
    where.Password = *password;
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with('[')) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos)
      return std::nullopt;
    where.Host = std::string(authority.substr(1, close - 1));
    authority.remove_prefix(close + 1);
  } else {
    where.Host = std::string(authority.substr(0, authority.find(':')));
    authority.remove_prefix(where.Host.size());
  }
  if (authority.starts_with(':'))
    where.Port = std::string(authority.substr(1));
  else if (!authority.empty())
    return std::nullopt;
  if (where.Host.empty() || where.Port.empty())
    return std::nullopt;
  return where;
}

TLinkFd& TLinkFd::operator=(TLinkFd&& Other) noexcept {
  if (this != &Other) {
    if (FFd >= 0)
      ::close(FFd);
    FFd = Other.release();
  }
  return *this;
}

TLinkFd::~TLinkFd() {
  if (FFd >= 0)
    ::close(FFd);
}

int TLinkFd::release() {
  const int fd = FFd;
  FFd = -1;
  return fd;
}

bool TIcecastLink::Stopped() const {
  pollfd p{FWake, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

std::string TIcecastLink::wait(short Events, Clock::time_point Deadline, const char* TimeoutText) {
  for (;;) {
    pollfd p[2] = {{FSock.get(), Events, 0}, {FWake, POLLIN, 0}};
    const int n = ::poll(p, 2, remainingMs(Deadline));
    if (n < 0 && errno == EINTR)
      continue;
    if (p[1].revents != 0)
      return "stopped";
    if (n == 0)
      return TimeoutText;
    if (n < 0)
      return std::strerror(errno);
    return {};
  }
}

std::string TIcecastLink::Login(const TIcecastEndpoint& Where, const std::string& Request,
                                Clock::time_point Deadline, int SendBuffer) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  // The one wait no stop can cut short: the caller leaves a stuck thread behind.
  if (::getaddrinfo(Where.Host.c_str(), Where.Port.c_str(), &hints, &found) != 0 || !found)
    return "server not found";
  const std::unique_ptr<addrinfo, AddrInfoFree> list(found);
  std::string why = "server not reachable";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    FSock = TLinkFd(
        ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (FSock.get() < 0)
      continue;
    if (SendBuffer > 0)
      ::setsockopt(FSock.get(), SOL_SOCKET, SO_SNDBUF, &SendBuffer, sizeof SendBuffer);
    if (::connect(FSock.get(), a->ai_addr, a->ai_addrlen) == 0)
      break;
    if (errno != EINPROGRESS) {
      why = errno == ECONNREFUSED
                ? "server not reachable (connection refused)"
                : "server not reachable (" + std::string(std::strerror(errno)) + ")";
      FSock = TLinkFd();
      continue;
    }
    why = wait(POLLOUT, Deadline, "timed out");
    int error = 0;
    socklen_t len = sizeof error;
    if (why.empty())
      ::getsockopt(FSock.get(), SOL_SOCKET, SO_ERROR, &error, &len);
    if (why.empty() && error == 0)
      break;
    if (why.empty())
      why = error == ECONNREFUSED
                ? "server not reachable (connection refused)"
                : "server not reachable (" + std::string(std::strerror(error)) + ")";
    FSock = TLinkFd();
    if (why == "stopped" || Clock::now() >= Deadline)
      return why;
  }
  if (FSock.get() < 0)
    return why;
  const int on = 1;
  ::setsockopt(FSock.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  why = Send(reinterpret_cast<const std::uint8_t*>(Request.data()), Request.size(),
             std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()));
  if (!why.empty())
    return why;

  // The head byte by byte in the worst case, but never more than its bounds nor past the
  // deadline, however slowly or endlessly the server talks.
  TIcecastReplyReader reader;
  char buffer[1024];
  while (reader.State() == TIcecastReplyReader::Status::NeedMore) {
    why = wait(POLLIN, Deadline, "timed out");
    if (!why.empty())
      return why;
    // Peek first: what follows the head is the server's, not the head's.
    const ssize_t n = ::recv(FSock.get(), buffer, sizeof buffer, MSG_PEEK);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
      continue;
    if (n <= 0)
      return "connection lost during the login";
    std::size_t used = 0;
    reader.Append(std::string_view(buffer, static_cast<std::size_t>(n)), &used);
    if (::recv(FSock.get(), buffer, used, 0) < 0)
      return "connection lost during the login";
  }
  switch (reader.State()) {
  case TIcecastReplyReader::Status::NotHttp:
    return "the answer is not HTTP";
  case TIcecastReplyReader::Status::TooLong:
    return "the answer's head is too long";
  default:
    break;
  }
  const TIcecastVerdict verdict = judgeIcecastReply(reader.Head());
  if (!verdict.Connected)
    return verdict.Why;
  FSent = 0;
  FTaken = 0;
  FLastTaken = Clock::now();
  return {};
}

std::string TIcecastLink::Send(const std::uint8_t* Data, std::size_t Size,
                               std::chrono::milliseconds IoTimeout,
                               std::optional<std::chrono::milliseconds> StallLimit) {
  const auto slice =
      StallLimit ? std::max(std::chrono::milliseconds(10), *StallLimit / 4) : IoTimeout;
  std::size_t done = 0;
  while (done < Size) {
    const ssize_t n = ::send(FSock.get(), Data + done, Size - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      FSent += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A full buffer is where a server that stopped reading shows first.
      const auto deadline = Clock::now() + IoTimeout;
      std::string why;
      do {
        why = wait(POLLOUT, std::min(deadline, Clock::now() + slice), "timed out");
        if (why == "timed out" && StallLimit)
          if (std::string stall = CheckProgress(*StallLimit); !stall.empty())
            return stall;
      } while (why == "timed out" && Clock::now() < deadline);
      if (!why.empty())
        return why;
      continue;
    }
    return "connection lost";
  }
  return {};
}

std::string TIcecastLink::CheckProgress(std::chrono::milliseconds StallLimit) {
  int queued = 0;
  if (::ioctl(FSock.get(), SIOCOUTQ, &queued) != 0)
    return {};
  const auto now = Clock::now();
  const std::uint64_t taken = FSent - static_cast<std::uint64_t>(queued);
  if (queued == 0 || taken > FTaken) {
    FTaken = taken;
    FLastTaken = now;
    return {};
  }
  if (now - FLastTaken >= StallLimit)
    return "the server stopped reading";
  return {};
}

} // namespace sondrix
