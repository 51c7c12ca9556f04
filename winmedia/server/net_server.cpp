#include "winmedia/server/net_server_loop.h"

#include "winmedia/server/bind_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace sondrix {

namespace {

// Listens on every address of Family, or on Only.
NetFd makeListener(int family, std::uint16_t port, int& error,
                   const std::optional<BindAddress>& Only = std::nullopt) {
  NetFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    error = errno;
    return {};
  }
  const int one = 1;
  const int zero = 0;
  // A new run on the same port must bind at once, past the last run's TIME_WAIT sockets.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (Only) {
    BindAddress where = *Only;
    if (family == AF_INET6) {
      // One address: the IPv6 socket takes no IPv4 listeners through mapped addresses.
      ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      reinterpret_cast<sockaddr_in6*>(&where.Address)->sin6_port = htons(port);
    } else {
      reinterpret_cast<sockaddr_in*>(&where.Address)->sin_port = htons(port);
    }
    rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&where.Address), where.Length);
  } else if (family == AF_INET6) {
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(port);
    rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } else {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  if (rc != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
    error = errno;
    return {};
  }
  return fd;
}

std::uint16_t boundPortOf(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return 0;
  }
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  }
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

} // namespace

HRESULT NetServer::Loop::open(std::uint16_t port, std::uint16_t* boundPort) {
  FEpoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  FWake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!FEpoll.valid() || !FWake.valid()) {
    return E_FAIL;
  }
  int error = 0;
  NetFd listener;
  if (!FServer.FBindAddress.empty()) {
    const std::optional<BindAddress> only = parseBindAddress(FServer.FBindAddress);
    if (!only) {
      return E_INVALIDARG;
    }
    listener = makeListener(only->Family, port, error, only);
  } else {
    listener = makeListener(AF_INET6, port, error);
    if (!listener.valid() && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL)) {
      listener = makeListener(AF_INET, port, error); // a host without IPv6
    }
  }
  if (!listener.valid()) {
    return error == EADDRINUSE || error == EACCES ? NS_E_PORT_IN_USE : E_FAIL;
  }
  *boundPort = boundPortOf(listener.get());
  FListen.push_back(std::move(listener));
  // After the port: short of descriptors, the server still opens, and takes its spare once
  // one is free.
  rearmSpare();
  const NetServerOptions& options = FServer.FOptions;
  FConnectionLimit = connectionLimit(options.reservedDescriptors);
  // Half of what the limit leaves stays for listeners, whatever requests are under way.
  FPendingLimit =
      std::max<std::size_t>(1, std::min(options.maxPendingConnections, FConnectionLimit / 2));

  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  if (::epoll_ctl(FEpoll.get(), EPOLL_CTL_ADD, FWake.get(), &ev) != 0) {
    return E_FAIL;
  }
  for (std::size_t i = 0; i < FListen.size(); ++i) {
    ev.events = EPOLLIN;
    ev.data.u64 = kListenTag + i;
    if (::epoll_ctl(FEpoll.get(), EPOLL_CTL_ADD, FListen[i].get(), &ev) != 0) {
      return E_FAIL;
    }
  }
  return S_OK;
}

void NetServer::Loop::run() {
  std::array<epoll_event, 256> events{};
  {
    std::lock_guard lock(FServer.FQueueLock);
    if (FServer.FLastHeader) {
      startBroadcast(FServer.FLastHeader);
    }
    FMp3Header = FServer.FLastMp3Header;
  }
  while (true) {
    const int timeout = waitTimeout(Clock::now());
    const int n =
        ::epoll_wait(FEpoll.get(), events.data(), static_cast<int>(events.size()), timeout);
    if (n < 0 && errno != EINTR) {
      beginShutdown();
    }
    for (int i = 0; i < n; ++i) {
      dispatch(events[static_cast<std::size_t>(i)]);
    }
    const auto now = Clock::now();
    sweep(now);
    if (FAcceptPaused && now >= FAcceptResume) {
      resumeAccepting();
    }
    if (FShuttingDown && (FListeners == 0 || now >= FShutdownDeadline)) {
      eachListener([this](Conn& c) { closeConn(c); });
      FStreaming.clear();
      FConns.clear();
      FPending.clear();
      publishCounts();
      return;
    }
    feedSome(now);
  }
}

void NetServer::Loop::dispatch(const epoll_event& event) {
  const std::uint64_t tag = event.data.u64;
  if (tag == kWakeTag) {
    drainQueue();
    return;
  }
  if (tag < kFirstConnId) {
    const std::size_t index = tag - kListenTag;
    if (index < FListen.size() && FListen[index].valid()) {
      acceptAll(FListen[index].get());
    }
    return;
  }
  auto it = FConns.find(tag);
  if (it == FConns.end()) {
    return; // closed earlier in this batch
  }
  Conn& c = *it->second;
  if ((event.events & (EPOLLERR | EPOLLHUP)) != 0) {
    closeConn(c);
    return;
  }
  if ((event.events & (EPOLLIN | EPOLLRDHUP)) != 0) {
    const std::uint64_t id = c.id;
    if (c.state == ConnState::Reading) {
      readRequest(c);
    } else {
      discardInput(c);
    }
    if (!FConns.contains(id)) {
      return;
    }
  }
  if ((event.events & EPOLLOUT) != 0) {
    c.blocked = false;
    if (c.state != ConnState::Reading && c.state != ConnState::Lingering) {
      flush(c);
    }
  }
}

void NetServer::Loop::drainQueue() {
  std::uint64_t counter = 0;
  [[maybe_unused]] const auto r = ::read(FWake.get(), &counter, sizeof counter);
  std::vector<NetItem> items;
  bool stopping;
  {
    std::lock_guard lock(FServer.FQueueLock);
    items.swap(FServer.FQueue);
    FServer.FWakePending = false;
    stopping = FServer.FStopping;
  }
  if (FShuttingDown) {
    return;
  }
  for (auto& item : items) {
    if (item.header) {
      startBroadcast(std::move(item.header));
    } else if (item.packet && FHeader) {
      FRing.push(std::move(item.packet));
      ++FRoundPackets;
    } else if (item.mp3Header) {
      // A new run's MP3 stream: its listeners start over.
      eachListener([this](Conn& c) {
        if (c.mp3) {
          closeConn(c);
        }
      });
      FMp3Header = std::move(item.mp3Header);
      FMp3Ring.clear();
    } else if (item.mp3Packet && FMp3Header && !item.mp3Packet->framed.empty()) {
      FMp3Ring.push(std::move(item.mp3Packet));
      ++FRoundMp3Packets;
    }
  }
  if (stopping) {
    beginShutdown(); // after the packets written before close(): listeners get them first
  }
}

void NetServer::Loop::startBroadcast(std::shared_ptr<const NetHeader> header) {
  // Listeners of the old broadcast cannot take a new header: end their streams.
  eachListener([this](Conn& c) {
    if (c.mp3) {
      return; // the MP3 flavour goes on through a new Windows Media header
    }
    if (c.state == ConnState::Streaming && c.framed && !c.header && c.offset == 0) {
      startEnding(c, false);
    } else if (c.state == ConnState::Streaming) {
      closeConn(c); // mid-chunk: $E would corrupt the stream
    }
  });
  FHeader = std::move(header);
  std::size_t burst = kDefaultBurst;
  if (FHeader->maxBitrate != 0 && FHeader->prerollMs != 0) {
    // About one preroll of packets, so players start at once.
    const std::uint64_t bytes = std::uint64_t{FHeader->maxBitrate} / 8 * FHeader->prerollMs / 1000;
    burst = static_cast<std::size_t>(
        std::clamp<std::uint64_t>((bytes + FHeader->packetSize - 1) / FHeader->packetSize, 1, 256));
  }
  const std::size_t capacity = FServer.FOptions.ringPackets != 0
                                   ? FServer.FOptions.ringPackets
                                   : std::max<std::size_t>(64, 4 * burst);
  FBurst = std::min(burst, std::max<std::size_t>(capacity / 2, 1));
  FRing.reset(capacity);
}

void NetServer::Loop::beginShutdown() {
  if (FShuttingDown) {
    return;
  }
  FShuttingDown = true;
  FShutdownDeadline = Clock::now() + FServer.FOptions.closeTimeout;
  FListen.clear();
  std::vector<std::uint64_t> others;
  for (const auto& [id, conn] : FConns) {
    if (!conn->listener) {
      others.push_back(id);
    }
  }
  for (const std::uint64_t id : others) {
    closeConn(*FConns.at(id));
  }
  eachListener([this](Conn& c) {
    if (c.mp3) {
      // Plain MP3 has no end marker: what the ring holds for it, as far as the socket takes,
      // and the stream just stops.
      if (c.blocked || flush(c)) {
        closeConn(c);
      }
    } else if (c.state == ConnState::Streaming) {
      startEnding(c, true);
    }
  });
}

void NetServer::Loop::sweep(Clock::time_point now) {
  auto expire = [&](auto& deadlines, ConnState state) {
    while (!deadlines.empty() && deadlines.front().first <= now) {
      const auto [deadline, id] = deadlines.front();
      deadlines.pop_front();
      auto it = FConns.find(id);
      if (it != FConns.end() && it->second->state == state && it->second->deadline == deadline) {
        closeConn(*it->second);
      }
    }
  };
  expire(FReadingDeadlines, ConnState::Reading);
  expire(FResponseDeadlines, ConnState::Responding);
  expire(FLingerDeadlines, ConnState::Lingering);
  expire(FEndingDeadlines, ConnState::Ending);
}

int NetServer::Loop::waitTimeout(Clock::time_point now) const {
  auto next = now + std::chrono::seconds(1);
  for (const Deadlines* deadlines :
       {&FReadingDeadlines, &FResponseDeadlines, &FLingerDeadlines, &FEndingDeadlines}) {
    if (!deadlines->empty()) {
      next = std::min(next, deadlines->front().first);
    }
  }
  if (FAcceptPaused) {
    next = std::min(next, FAcceptResume);
  }
  if (roundUnderWay()) {
    next = std::min(next, FNextFeed);
  } else if (packetsCame() && FListeners != 0) {
    next = std::min(next, ringsFilling() ? now : FRoundStart + FServer.FOptions.feedRound);
  }
  if (FShuttingDown) {
    next = std::min(next, FShutdownDeadline);
  }
  if (next <= now) {
    return 0;
  }
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(ms);
}

NetServer::NetServer(NetServerOptions options, NetServerEvents& events)
    : FOptions(options), FEvents(events) {}

NetServer::~NetServer() {
  close();
}

HRESULT NetServer::open(std::uint16_t port, std::uint16_t* boundPort) {
  if (FLoop) {
    return E_UNEXPECTED;
  }
  auto loop = std::make_unique<Loop>(*this);
  std::uint16_t bound = 0;
  const HRESULT hr = loop->open(port, &bound);
  if (FAILED(hr)) {
    return hr;
  }
  {
    std::lock_guard lock(FQueueLock);
    FQueue.clear();
    FWakePending = false;
    FStopping = false;
    FWakeFd = loop->wakeFd();
  }
  FClientCount = 0;
  FMp3ClientCount = 0;
  FLoop = std::move(loop);
  FThread = std::thread([this] { FLoop->run(); });
  if (boundPort != nullptr) {
    *boundPort = bound;
  }
  return S_OK;
}

void NetServer::close() {
  if (!FLoop) {
    return;
  }
  {
    std::lock_guard lock(FQueueLock);
    FStopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto w = ::write(FWakeFd, &one, sizeof one);
  }
  FThread.join();
  {
    std::lock_guard lock(FQueueLock);
    FWakeFd = -1;
    FQueue.clear();
  }
  FLoop.reset();
}

void NetServer::setStatus(const StationStatus& status) {
  std::lock_guard lock(FStatusLock);
  FStatus = status;
  FHaveStatus = true;
}

bool NetServer::isOpen() const {
  return FLoop != nullptr;
}

void NetServer::publish(std::vector<NetItem>& items) {
  {
    std::lock_guard lock(FQueueLock);
    for (auto& item : items) {
      if (item.header) {
        FLastHeader = item.header;
      }
      if (item.mp3Header) {
        FLastMp3Header = item.mp3Header;
      }
    }
    if (FWakeFd < 0 || FStopping) {
      return; // not serving: nobody to hand packets to
    }
    for (auto& item : items) {
      FQueue.push_back(std::move(item));
    }
    if (FQueue.size() > kMaxQueuedItems) {
      // The loop is far behind; the oldest packets are the ones listeners can best lose.
      // Headers stay, as they start a broadcast.
      std::vector<NetItem> kept;
      const std::size_t excess = FQueue.size() - kMaxQueuedItems;
      std::size_t dropped = 0;
      for (auto& item : FQueue) {
        if (!item.header && !item.mp3Header && dropped < excess) {
          ++dropped;
          continue;
        }
        kept.push_back(std::move(item));
      }
      FQueue.swap(kept);
    }
    if (!FWakePending) {
      FWakePending = true;
      // Under the lock: close() may otherwise free the descriptor in between.
      const std::uint64_t one = 1;
      [[maybe_unused]] const auto w = ::write(FWakeFd, &one, sizeof one);
    }
  }
}

} // namespace sondrix
