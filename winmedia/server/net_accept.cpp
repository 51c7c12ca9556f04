// Taking connections: admission against the descriptor and pending limits, and what to do
// when the process runs out of descriptors.
#include "winmedia/server/net_server_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

namespace sondrix {

void NetServer::Loop::acceptAll(int listenFd) {
  rearmSpare();
  // Bounded, so a connection flood cannot starve the listeners already streaming.
  for (int i = 0; i < 64; ++i) {
    sockaddr_storage addr{};
    socklen_t addrLen = sizeof addr;
    NetFd fd(::accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &addrLen,
                       SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
      const int error = errno;
      if (wouldBlock(error)) {
        return;
      }
      // Errors of that one connection: the next may be fine.
      if (error == EINTR || error == ECONNABORTED || error == EPROTO || error == EPERM) {
        continue;
      }
      if ((error == EMFILE || error == ENFILE) && refuseWithSpare(listenFd)) {
        continue;
      }
      // Out of descriptors or kernel memory: the backlog stays until something is freed,
      // and the level-triggered listener would wake us at once, forever.
      pauseAccepting();
      return;
    }
    FAcceptPause = std::chrono::milliseconds(0);
    const AddressKey address = addressKeyOf(addr);
    if (!admit(address)) {
      continue; // refused: closed here
    }
    // Every send is whole packets paced by the encoder: holding a packet's tail back until
    // the previous one is acknowledged would only delay it.
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int sendBuffer = FServer.FOptions.sendBufferBytes;
    if (sendBuffer > 0) {
      ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    }
    auto conn = std::make_unique<Conn>();
    conn->id = FNextId++;
    conn->reader = std::make_unique<HttpRequestReader>(FServer.FOptions.maxRequestBytes);
    conn->deadline = Clock::now() + FServer.FOptions.requestTimeout;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = conn->id;
    if (::epoll_ctl(FEpoll.get(), EPOLL_CTL_ADD, fd.get(), &ev) != 0) {
      continue;
    }
    conn->fd = std::move(fd);
    conn->address = address;
    conn->pending = true;
    FPending.add(address);
    FReadingDeadlines.emplace_back(conn->deadline, conn->id);
    Conn& c = *conn;
    FConns.emplace(conn->id, std::move(conn));
    publishCounts();
    // The request has usually come with the connection: answer it now, not a turn later.
    readRequest(c);
  }
}

// Whether a new connection from address may wait for its request; lets the longest-waiting
// connections that are not listeners go to make room.
bool NetServer::Loop::admit(const AddressKey& address) {
  if (FPending.from(address) >= FServer.FOptions.maxPendingPerAddress) {
    return false;
  }
  while (FPending.size() >= FPendingLimit || FConns.size() >= FConnectionLimit) {
    if (!evictOldestPending()) {
      return false; // every descriptor the server may take holds a listener
    }
  }
  return true;
}

bool NetServer::Loop::evictOldestPending() {
  // Requests first (a player sends its request at once), then finished answers, then answers
  // still being sent.
  for (auto [deadlines, state] : {std::pair{&FReadingDeadlines, ConnState::Reading},
                                  std::pair{&FLingerDeadlines, ConnState::Lingering},
                                  std::pair{&FResponseDeadlines, ConnState::Responding}}) {
    while (!deadlines->empty()) {
      const auto [deadline, id] = deadlines->front();
      deadlines->pop_front();
      auto it = FConns.find(id);
      if (it != FConns.end() && it->second->state == state && it->second->deadline == deadline) {
        closeConn(*it->second);
        return true;
      }
    }
  }
  return false;
}

void NetServer::Loop::dropPending(Conn& c) {
  if (!c.pending) {
    return;
  }
  c.pending = false;
  FPending.remove(c.address);
}

void NetServer::Loop::publishCounts() {
  FServer.FConnectionCount = static_cast<std::uint32_t>(FConns.size());
  FServer.FPendingCount = static_cast<std::uint32_t>(FPending.size());
}

void NetServer::Loop::rearmSpare() {
  if (!FSpare.valid()) {
    FSpare.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
}

// Out of descriptors: takes one client off the backlog with the spare descriptor and closes
// it. False when there is no spare (another thread took the slot it left).
bool NetServer::Loop::refuseWithSpare(int listenFd) {
  if (!FSpare.valid()) {
    return false;
  }
  FSpare.reset();
  NetFd refused(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  const bool took = refused.valid();
  refused.reset();
  rearmSpare();
  return took;
}

void NetServer::Loop::pauseAccepting() {
  FAcceptPause = std::clamp(FAcceptPause * 2, kMinAcceptPause, kMaxAcceptPause);
  FAcceptResume = Clock::now() + FAcceptPause;
  FAcceptPaused = true;
  for (const NetFd& listen : FListen) {
    epoll_event ev{};
    ev.data.u64 = kListenTag + static_cast<std::uint64_t>(&listen - FListen.data());
    ::epoll_ctl(FEpoll.get(), EPOLL_CTL_MOD, listen.get(), &ev);
  }
}

void NetServer::Loop::resumeAccepting() {
  FAcceptPaused = false;
  for (const NetFd& listen : FListen) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kListenTag + static_cast<std::uint64_t>(&listen - FListen.data());
    ::epoll_ctl(FEpoll.get(), EPOLL_CTL_MOD, listen.get(), &ev);
  }
}

} // namespace sondrix
