#include "bench/load_client.h"

#include "bench/load_stats.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace sondrix::bench {
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
  explicit Fd(int fd = -1) : FFd(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return FFd; }
  void reset(int fd = -1) {
    if (FFd >= 0)
      ::close(FFd);
    FFd = fd;
  }

private:
  int FFd;
};

enum class Phase : std::uint8_t { Idle, Connecting, Reading, Stalled, Closed };
enum class Outcome : std::uint8_t { None, ConnectFailed, Refused, Dropped, StalledCut };

// One listener slot. Times are seconds since the run started, negative while unknown.
struct Listener {
  Fd fd;
  Phase phase = Phase::Idle;
  Outcome outcome = Outcome::None;
  bool stall = false;
  bool starvedEver = false;
  bool starvedNow = false;
  double connectStart = -1;
  double firstByte = -1;
  double asked = -1;       // the request went out
  double streamStart = -1; // the 200 head has been read
  double closedAt = -1;
  std::uint64_t body = 0;
  ResponseScanner scanner;
  ByteWindow window;
  PlaybackModel model{1, 1};
};

std::string requestFor(const LoadConfig& c, std::size_t index) {
  std::ostringstream r;
  r << "GET " << c.path << " HTTP/1.0\r\n";
  r << "Host: " << (c.host.find(':') != std::string::npos ? "[" + c.host + "]" : c.host) << ':'
    << c.port << "\r\n";
  if (c.style == RequestStyle::Mmsh) {
    // What a Windows Media player sends to start playing a live stream.
    char guid[64];
    std::snprintf(guid, sizeof guid, "{3300AD50-2C39-46C0-AE0A-%012zX}", index);
    r << "User-Agent: NSPlayer/7.10.0.3059\r\n"
      << "Accept: */*\r\n"
      << "Pragma: no-cache,rate=1.000000,request-context=2\r\n"
      << "Pragma: xPlayStrm=1\r\n"
      << "Pragma: xClientGUID=" << guid << "\r\n"
      << "Pragma: stream-switch-count=1\r\n"
      << "Pragma: stream-switch-entry=ffff:1:0\r\n";
  } else {
    r << "User-Agent: sondrix-listener-load/1\r\n"
      << "Accept: */*\r\n";
  }
  r << "Connection: close\r\n\r\n";
  return r.str();
}

void raiseFileLimit(int needed) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
    return;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(needed) > lim.rlim_cur)
    throw std::runtime_error("open-file limit " + std::to_string(lim.rlim_cur) + " is below the " +
                             std::to_string(needed) + " descriptors this run needs");
}

class LoadRun {
public:
  explicit LoadRun(const LoadConfig& c) : FConfig(c) {
    if (c.listeners < 0 || c.windowSeconds < 1 || c.windowSeconds >= ByteWindow::kSeconds ||
        c.bitrateKbps <= 0 || c.durationSeconds <= 0)
      throw std::runtime_error("invalid load settings");
    resolve();
    raiseFileLimit(c.listeners + 32);
    FEpoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    FJoining.reset(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kJoiningTag;
    if (FEpoll.get() < 0 || FJoining.get() < 0 ||
        ::epoll_ctl(FEpoll.get(), EPOLL_CTL_ADD, FJoining.get(), &ev) != 0)
      throw std::runtime_error(std::string("epoll: ") + std::strerror(errno));
    FRate = c.bitrateKbps * 1000 / 8;
    FSlots = std::make_unique<Listener[]>(static_cast<std::size_t>(c.listeners));
    for (int i = 0; i < c.listeners; ++i) {
      Listener& l = FSlots[static_cast<std::size_t>(i)];
      // Spread the stalled listeners evenly over the ramp.
      l.stall = std::floor((i + 1) * c.stallFraction) > std::floor(i * c.stallFraction);
      l.model = PlaybackModel(FRate, FRate * c.prebufferSeconds);
    }
    FScratch.resize(64 * 1024);
  }

  LoadResult run();

private:
  void resolve();
  double now() const { return std::chrono::duration<double>(Clock::now() - FStart).count(); }
  void open(std::size_t index, double t);
  void sendRequest(Listener& l, std::size_t index, double t);
  void onEvent(std::size_t index, std::uint32_t events, double t);
  void serveJoining();
  void readSome(Listener& l, double t);
  void finish(Listener& l, Phase phase, Outcome outcome, double t);
  void tick(double t);
  void judge(std::int64_t second);
  LoadResult collect(double t);

  const LoadConfig& FConfig;
  sockaddr_storage FAddress{};
  socklen_t FAddressLength = 0;
  Fd FEpoll;
  // Listeners from connect to their first answer byte wait here, served ahead of the reads
  // of thousands of others, so time to first byte is the server's, not this one thread's.
  Fd FJoining;
  static constexpr std::uint64_t kJoiningTag = ~std::uint64_t{0};
  std::unique_ptr<Listener[]> FSlots;
  std::vector<char> FScratch; // every read lands here and is discarded
  double FRate = 0;           // nominal bytes per second
  Clock::time_point FStart;
  double FLastTick = 0;
  std::int64_t FJudgedSecond = 0;
  std::size_t FNext = 0; // next slot to connect
  double FRampDone = 0;
  std::string FFirstError;
};

void LoadRun::resolve() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(FConfig.port);
  const int rc = ::getaddrinfo(FConfig.host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr)
    throw std::runtime_error("cannot resolve " + FConfig.host + ": " + ::gai_strerror(rc));
  std::memcpy(&FAddress, found->ai_addr, found->ai_addrlen);
  FAddressLength = found->ai_addrlen;
  ::freeaddrinfo(found);
}

void LoadRun::finish(Listener& l, Phase phase, Outcome outcome, double t) {
  if (l.fd.get() >= 0) {
    ::epoll_ctl(FEpoll.get(), EPOLL_CTL_DEL, l.fd.get(), nullptr);
    ::epoll_ctl(FJoining.get(), EPOLL_CTL_DEL, l.fd.get(), nullptr);
  }
  l.fd.reset();
  l.phase = phase;
  l.outcome = outcome;
  l.closedAt = t;
}

void LoadRun::open(std::size_t index, double t) {
  Listener& l = FSlots[index];
  l.connectStart = t;
  l.phase = Phase::Connecting;
  l.fd.reset(::socket(FAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  auto fail = [&](const char* what) {
    if (FFirstError.empty())
      FFirstError = std::string(what) + ": " + std::strerror(errno);
    finish(l, Phase::Closed, Outcome::ConnectFailed, t);
  };
  if (l.fd.get() < 0)
    return fail("socket");
  if (l.stall) {
    // A small window makes the server's side fill up soon, as with a listener on a dead link.
    int size = FConfig.stallReceiveBuffer;
    ::setsockopt(l.fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  epoll_event ev{};
  ev.events = EPOLLOUT;
  ev.data.u64 = index;
  if (::epoll_ctl(FJoining.get(), EPOLL_CTL_ADD, l.fd.get(), &ev) != 0)
    return fail("epoll_ctl");
  if (::connect(l.fd.get(), reinterpret_cast<const sockaddr*>(&FAddress), FAddressLength) == 0)
    return sendRequest(l, index, t);
  if (errno != EINPROGRESS)
    return fail("connect");
  // On loopback the handshake is usually over by now: ask at once, as a player does, rather
  // than a turn of this loop later.
  pollfd ready{l.fd.get(), POLLOUT, 0};
  if (::poll(&ready, 1, 0) == 1 && ready.revents == POLLOUT)
    return sendRequest(l, index, t);
}

void LoadRun::sendRequest(Listener& l, std::size_t index, double t) {
  const std::string request = requestFor(FConfig, index);
  const ssize_t sent = ::send(l.fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(request.size())) {
    if (FFirstError.empty())
      FFirstError = sent < 0 ? std::string("send: ") + std::strerror(errno) : "short send";
    return finish(l, Phase::Closed, Outcome::ConnectFailed, t);
  }
  epoll_event ev{};
  // A stalled listener never reads; it only wants to hear that the server gave up on it.
  ev.events = l.stall ? EPOLLRDHUP : (EPOLLIN | EPOLLRDHUP);
  ev.data.u64 = index;
  ::epoll_ctl(FJoining.get(), EPOLL_CTL_MOD, l.fd.get(), &ev);
  l.phase = l.stall ? Phase::Stalled : Phase::Reading;
  l.asked = now();
}

void LoadRun::readSome(Listener& l, double t) {
  const ssize_t n = ::recv(l.fd.get(), FScratch.data(), FScratch.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return;
  if (n <= 0) {
    // A stream that was on: the server cut it. Anything earlier: it would not serve us.
    finish(l, Phase::Closed, l.streamStart >= 0 ? Outcome::Dropped : Outcome::Refused, t);
    return;
  }
  if (l.firstByte < 0) {
    l.firstByte = t;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = static_cast<std::uint64_t>(&l - FSlots.get());
    ::epoll_ctl(FJoining.get(), EPOLL_CTL_DEL, l.fd.get(), nullptr);
    ::epoll_ctl(FEpoll.get(), EPOLL_CTL_ADD, l.fd.get(), &ev);
  }
  const std::size_t body =
      l.scanner.feed(std::string_view(FScratch.data(), static_cast<std::size_t>(n)));
  if (l.scanner.malformed() || (l.scanner.status() != 0 && l.scanner.status() != 200))
    return finish(l, Phase::Closed, Outcome::Refused, t);
  if (!l.scanner.headDone())
    return;
  if (l.streamStart < 0)
    l.streamStart = t;
  if (body == 0)
    return;
  l.body += body;
  l.window.add(static_cast<std::int64_t>(t), static_cast<std::uint32_t>(body));
  l.model.received(body);
}

void LoadRun::onEvent(std::size_t index, std::uint32_t events, double t) {
  Listener& l = FSlots[index];
  switch (l.phase) {
  case Phase::Connecting: {
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(l.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0 || (events & (EPOLLERR | EPOLLHUP))) {
      if (FFirstError.empty())
        FFirstError = std::string("connect: ") + std::strerror(err != 0 ? err : ECONNRESET);
      return finish(l, Phase::Closed, Outcome::ConnectFailed, t);
    }
    return sendRequest(l, index, t);
  }
  case Phase::Reading:
    return readSome(l, t);
  case Phase::Stalled:
    return finish(l, Phase::Closed, Outcome::StalledCut, t);
  default:
    return;
  }
}

void LoadRun::judge(std::int64_t second) {
  const int w = FConfig.windowSeconds;
  const double threshold = FConfig.starvedRatio * FRate * w;
  for (int i = 0; i < FConfig.listeners; ++i) {
    Listener& l = FSlots[static_cast<std::size_t>(i)];
    if (l.phase != Phase::Reading || l.streamStart < 0)
      continue;
    // Judge only whole windows that begin after the join burst has settled.
    if (static_cast<double>(second - w) < l.firstByte + FConfig.graceSeconds)
      continue;
    l.starvedNow = static_cast<double>(l.window.sumBefore(second, w)) < threshold;
    l.starvedEver = l.starvedEver || l.starvedNow;
  }
}

void LoadRun::tick(double t) {
  if (t - FLastTick >= 0.1) {
    const double dt = t - FLastTick;
    FLastTick = t;
    for (int i = 0; i < FConfig.listeners; ++i) {
      Listener& l = FSlots[static_cast<std::size_t>(i)];
      if (l.phase == Phase::Reading && l.streamStart >= 0)
        l.model.advance(dt);
    }
  }
  const auto second = static_cast<std::int64_t>(t);
  if (second > FJudgedSecond) {
    FJudgedSecond = second;
    judge(second);
    if (FConfig.progress) {
      int reading = 0, connecting = 0, closed = 0, starved = 0;
      for (int i = 0; i < FConfig.listeners; ++i) {
        const Listener& l = FSlots[static_cast<std::size_t>(i)];
        reading += l.phase == Phase::Reading;
        connecting += l.phase == Phase::Connecting;
        closed += l.phase == Phase::Closed;
        starved += l.phase == Phase::Reading && l.starvedNow;
      }
      std::ostringstream s;
      s << "t=" << second << "s started=" << FNext << " reading=" << reading
        << " connecting=" << connecting << " closed=" << closed << " starved_now=" << starved;
      FConfig.progress(s.str());
    }
  }
}

void LoadRun::serveJoining() {
  std::array<epoll_event, 256> events;
  int n;
  do {
    n = ::epoll_wait(FJoining.get(), events.data(), static_cast<int>(events.size()), 0);
    const double t = now();
    for (int i = 0; i < n; ++i)
      onEvent(static_cast<std::size_t>(events[static_cast<std::size_t>(i)].data.u64),
              events[static_cast<std::size_t>(i)].events, t);
  } while (n == static_cast<int>(events.size()));
}

LoadResult LoadRun::run() {
  FStart = Clock::now();
  std::vector<epoll_event> events(1024);
  const auto total = static_cast<std::size_t>(FConfig.listeners);
  double t = 0;
  while ((t = now()) < FConfig.durationSeconds) {
    std::size_t due = total;
    if (FConfig.rampPerSecond > 0)
      due = std::min(total, static_cast<std::size_t>(t * FConfig.rampPerSecond) + 1);
    // Bounded per pass, so that reads of the listeners already on are not held up, and so
    // that a late pass does not open a crowd of connections whose requests wait for the next
    // one: a player asks at once, and a server lets one address keep only a few
    // connections that have not asked yet.
    for (int opened = 0; FNext < due && opened < 16; ++opened)
      open(FNext++, t);
    if (FNext == total && FRampDone == 0)
      FRampDone = t;

    double wake = std::min(FLastTick + 0.1, std::floor(t) + 1);
    if (FNext < total)
      wake = std::min(
          wake, FConfig.rampPerSecond > 0 ? static_cast<double>(FNext) / FConfig.rampPerSecond : t);
    wake = std::min(wake, FConfig.durationSeconds);
    const int timeoutMs = std::max(0, static_cast<int>(std::ceil((wake - t) * 1000)));
    const int n =
        ::epoll_wait(FEpoll.get(), events.data(), static_cast<int>(events.size()), timeoutMs);
    if (n < 0 && errno != EINTR)
      throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
    t = now();
    for (int i = 0; i < n; ++i) {
      if (i % 64 == 0)
        serveJoining();
      const epoll_event& e = events[static_cast<std::size_t>(i)];
      if (e.data.u64 != kJoiningTag)
        onEvent(static_cast<std::size_t>(e.data.u64), e.events, t);
    }
    serveJoining();
    tick(t);
  }
  return collect(t);
}

LoadResult LoadRun::collect(double t) {
  LoadResult r;
  r.listeners = FConfig.listeners;
  r.elapsedSeconds = t;
  r.rampSeconds = FNext == static_cast<std::size_t>(FConfig.listeners) ? FRampDone : t;
  std::vector<double> ttfb;
  std::vector<double> answer;
  for (int i = 0; i < FConfig.listeners; ++i) {
    Listener& l = FSlots[static_cast<std::size_t>(i)];
    if (l.connectStart < 0) {
      ++r.notStarted;
      continue;
    }
    if (l.stall) {
      ++r.stalled;
      if (l.phase == Phase::Stalled) {
        ++r.stalledConnected;
        // The server may have closed without the close reaching a full receive window.
        tcp_info info{};
        socklen_t len = sizeof info;
        if (::getsockopt(l.fd.get(), IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
            info.tcpi_state != TCP_ESTABLISHED)
          ++r.stalledCut;
      } else if (l.outcome == Outcome::StalledCut) {
        ++r.stalledConnected;
        ++r.stalledCut;
      }
      continue;
    }
    ++r.healthy;
    if (l.firstByte >= 0)
      ttfb.push_back((l.firstByte - l.connectStart) * 1000);
    if (l.firstByte >= 0 && l.asked >= 0)
      answer.push_back((l.firstByte - l.asked) * 1000);
    switch (l.outcome) {
    case Outcome::ConnectFailed:
      ++r.connectFailed;
      break;
    case Outcome::Refused:
      ++r.refused;
      break;
    case Outcome::Dropped:
      ++r.dropped;
      break;
    default:
      if (l.phase == Phase::Reading && l.streamStart >= 0)
        ++r.held;
      else if (l.phase == Phase::Reading || l.phase == Phase::Connecting)
        ++r.noFirstByte;
    }
    if (l.streamStart >= 0) {
      r.listenerSeconds += (l.closedAt >= 0 ? l.closedAt : t) - l.streamStart;
      r.bodyBytes += l.body;
      r.starved += l.starvedEver;
      r.starvedAtEnd += l.phase == Phase::Reading && l.starvedNow;
      r.underruns += l.model.underruns();
      r.underrunListeners += l.model.underruns() > 0;
    }
  }
  r.ttfbMaxMs = ttfb.empty() ? 0 : *std::max_element(ttfb.begin(), ttfb.end());
  r.ttfbP99Ms = percentile(ttfb, 99);
  r.ttfbP50Ms = percentile(ttfb, 50);
  r.answerP99Ms = percentile(answer, 99);
  r.meanRateKbps = r.listenerSeconds > 0 ? r.bodyBytes * 8 / 1000.0 / r.listenerSeconds : 0;
  r.firstError = FFirstError;
  return r;
}

double processCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

} // namespace

LoadResult runLoad(const LoadConfig& config) {
  LoadRun run(config);
  const double cpuBefore = processCpuSeconds();
  LoadResult r = run.run();
  // A saturated client starves listeners by itself: the report has to show it.
  r.clientCpuSeconds = processCpuSeconds() - cpuBefore;
  return r;
}

std::string machineSummary(const LoadResult& r) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(1);
  s << "listeners=" << r.listeners << " healthy=" << r.healthy << " stalled=" << r.stalled
    << " not_started=" << r.notStarted << " held=" << r.held << " dropped=" << r.dropped
    << " refused=" << r.refused << " connect_failed=" << r.connectFailed
    << " no_first_byte=" << r.noFirstByte << " starved=" << r.starved
    << " starved_at_end=" << r.starvedAtEnd << " underruns=" << r.underruns
    << " underrun_listeners=" << r.underrunListeners << " stalled_connected=" << r.stalledConnected
    << " stalled_cut=" << r.stalledCut << " ttfb_p50_ms=" << r.ttfbP50Ms
    << " ttfb_p99_ms=" << r.ttfbP99Ms << " ttfb_max_ms=" << r.ttfbMaxMs
    << " answer_p99_ms=" << r.answerP99Ms << " body_bytes=" << r.bodyBytes
    << " listener_seconds=" << r.listenerSeconds << " mean_rate_kbps=" << r.meanRateKbps
    << " ramp_s=" << r.rampSeconds << " elapsed_s=" << r.elapsedSeconds
    << " client_cpu_s=" << r.clientCpuSeconds;
  return s.str();
}

std::string humanSummary(const LoadResult& r) {
  std::ostringstream s;
  s.setf(std::ios::fixed);
  s.precision(1);
  s << r.held << " of " << r.healthy << " healthy listeners held for " << r.elapsedSeconds << " s ("
    << r.dropped << " dropped, " << r.refused << " refused, " << r.connectFailed
    << " failed to connect, " << r.noFirstByte << " got nothing); " << r.starved
    << " starved at some point, " << r.underrunListeners << " had underruns; first byte after "
    << r.ttfbP50Ms << " ms (p50), " << r.ttfbP99Ms << " ms (p99); mean " << r.meanRateKbps
    << " kbit/s per listener; " << r.stalledCut << " of " << r.stalledConnected
    << " stalled listeners cut off by the server.";
  if (r.notStarted > 0)
    s << ' ' << r.notStarted << " listeners were never started: the ramp outlasted the run.";
  s << " The client itself used " << r.clientCpuSeconds << " s of CPU.";
  if (!r.firstError.empty())
    s << " First error: " << r.firstError << '.';
  return s.str();
}

} // namespace sondrix::bench
