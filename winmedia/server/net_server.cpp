#include "winmedia/server/net_server.h"

#include "winmedia/server/http_request.h"
#include "winmedia/server/mmsh_framing.h"
#include "winmedia/server/mmsh_response.h"
#include "winmedia/server/net_admission.h"
#include "winmedia/server/net_fd.h"
#include "winmedia/server/net_packet_ring.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kWakeTag = 1;
constexpr std::uint64_t kListenTag = 2; // + index of the listening socket
constexpr std::uint64_t kFirstConnId = 16;
constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();
constexpr std::size_t kMaxIov = 32;
constexpr std::size_t kMaxQueuedItems = 4096;
constexpr std::size_t kMaxDrainBytes = 64 * 1024;
constexpr std::size_t kDefaultBurst = 16;
constexpr std::chrono::milliseconds kMinAcceptPause{10};
constexpr std::chrono::milliseconds kMaxAcceptPause{1000};
// MP3 flavour: audio bytes between ICY metadata blocks, the join burst, and the packets kept
// (the sink publishes about 400 ms per packet, so the ring holds about 25 s).
constexpr std::uint32_t kIcyMetaInt = 16000;
constexpr std::uint64_t kMp3BurstMs = 3000;
constexpr std::size_t kMp3RingPackets = 64;

enum class ConnState {
  Reading,    // waiting for the whole request head
  Responding, // sending a finite answer
  Lingering,  // answer sent, write side shut, discarding input until EOF or timeout
  Streaming,  // a listener
  Ending,     // a listener being let go: rest of its current packet, then $E
};
using Deadlines = std::deque<std::pair<Clock::time_point, std::uint64_t>>;

struct Conn {
  std::uint64_t id = 0;
  NetFd fd;
  ConnState state = ConnState::Reading;
  std::unique_ptr<HttpRequestReader> reader; // only while Reading
  Clock::time_point deadline;                // Reading, Responding, Lingering, Ending
  AddressKey address;
  bool pending = false; // counted against the limits on connections that are not listeners

  std::string head; // response head still to send
  std::size_t headSent = 0;
  std::shared_ptr<const NetHeader> header; // header still to send (framed or raw)
  std::size_t headerSent = 0;
  bool framed = false;

  bool listener = false; // connect reported, a disconnect is owed
  bool blocked = false;  // the socket said EAGAIN; wait for EPOLLOUT
  std::uint32_t clientId = 0;
  std::uint64_t seq = 0;    // next packet
  std::size_t offset = 0;   // bytes of that packet's framed form already sent
  std::uint64_t endSeq = 0; // Ending: packets before this are still sent
  std::size_t endSent = 0;  // Ending: bytes of $E sent
  std::size_t drained = 0;  // Lingering: input discarded
  std::size_t streamIndex = kNoIndex;

  bool mp3 = false;                         // a listener of the MP3 flavour
  std::uint32_t icyEvery = 0;               // audio bytes between metadata blocks; 0 = plain MP3
  std::uint32_t icyLeft = 0;                // audio bytes before the next block
  std::shared_ptr<const IcyBlock> icyBlock; // block under way
  std::size_t icySent = 0;
  std::shared_ptr<const IcyBlock> icyLast; // the title the listener has

  // Raw listeners skip the 12-byte chunk prefix that every shared buffer carries.
  std::size_t startOffset() const { return framed || mp3 ? 0 : kMmshChunkPrefix; }
};

// The pieces one sendmsg hands the socket; empty pieces are left out, and pieces beyond the
// limit wait for the next call.
struct Pieces {
  std::array<iovec, kMaxIov> iov{};
  std::size_t count = 0;
  bool full() const { return count == kMaxIov; }
  void add(const std::uint8_t* data, std::size_t size) {
    if (size != 0 && count < kMaxIov) {
      iov[count++] = iovec{const_cast<std::uint8_t*>(data), size};
    }
  }
};

} // namespace

// Everything the loop thread owns. Only run() and what it calls touch it, apart from
// construction and destruction around the thread's life.
class NetServer::Loop {
public:
  explicit Loop(NetServer& server) : FServer(server), FRandom(std::random_device{}()) {}

  HRESULT open(std::uint16_t port, std::uint16_t* boundPort);
  void run();
  int wakeFd() const { return FWake.get(); }

private:
  void dispatch(const epoll_event& event);
  void acceptAll(int listenFd);
  bool admit(const AddressKey& address);
  bool evictOldestPending();
  void dropPending(Conn& c);
  void publishCounts();
  void rearmSpare();
  bool refuseWithSpare(int listenFd);
  void pauseAccepting();
  void resumeAccepting();
  void drainQueue();
  void feedSome();
  void startBroadcast(std::shared_ptr<const NetHeader> header);
  void readRequest(Conn& c);
  void answer(Conn& c, MmshAnswer answer, bool headOnly);
  void answerStatus(Conn& c, MmshAnswer kind, bool headOnly);
  void answerMp3(Conn& c, bool headOnly, bool icy);
  void becomeListener(Conn& c);
  void respond(Conn& c);
  std::uint64_t mp3JoinSeq() const;
  const PacketRing& ringOf(const Conn& c) const { return c.mp3 ? FMp3Ring : FRing; }
  const std::shared_ptr<const IcyBlock>& icyNext(const NetPacket& packet,
                                                 const IcyBlock* last) const;
  bool flushMp3(Conn& c);
  bool send(Conn& c, const iovec* iov, std::size_t count, std::size_t& sent);
  void consumeMp3(Conn& c, std::size_t sent);
  void consumeHead(Conn& c, std::size_t& sent);
  void discardInput(Conn& c);
  bool flush(Conn& c);
  void consume(Conn& c, std::size_t sent);
  void finished(Conn& c);
  void startEnding(Conn& c);
  void closeConn(Conn& c);
  void beginShutdown();
  void sweep(Clock::time_point now);
  int waitTimeout(Clock::time_point now) const;

  NetServer& FServer;
  NetFd FEpoll;
  NetFd FWake;
  std::vector<NetFd> FListen;
  NetFd FSpare; // given up to accept-and-close a client when out of descriptors

  std::unordered_map<std::uint64_t, std::unique_ptr<Conn>> FConns;
  std::vector<Conn*> FStreaming; // listeners, Streaming or Ending
  // The pass feeding new packets runs down FStreaming in slices; listeners at indices below
  // FFanoutLeft are still to be fed. Swap-removal fills a gap with the last listener, which
  // is either fed (or new, burst already sent) or itself still below FFanoutLeft, so nobody
  // is skipped.
  std::size_t FFanoutLeft = 0;
  bool FFanoutAgain = false; // packets came during a pass: another pass follows
  Deadlines FReadingDeadlines;
  Deadlines FResponseDeadlines;
  Deadlines FLingerDeadlines;
  Deadlines FEndingDeadlines;
  std::uint64_t FNextId = kFirstConnId;

  PendingTally FPending;
  std::size_t FPendingLimit = 1;
  std::size_t FConnectionLimit = 0; // what the open-file limit leaves, less the reserve

  bool FAcceptPaused = false;
  std::chrono::milliseconds FAcceptPause{0};
  Clock::time_point FAcceptResume;

  std::shared_ptr<const NetHeader> FHeader;
  PacketRing FRing;
  std::size_t FBurst = kDefaultBurst;
  std::shared_ptr<const NetMp3Header> FMp3Header;
  PacketRing FMp3Ring{kMp3RingPackets};
  // Sent at a metadata point when the title has not changed.
  const std::shared_ptr<const IcyBlock> FNoNewTitle = std::make_shared<const IcyBlock>(1, 0);

  bool FShuttingDown = false;
  Clock::time_point FShutdownDeadline;
  std::mt19937 FRandom;
};

namespace {

NetFd makeListener(int family, std::uint16_t port, int& error) {
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
  if (family == AF_INET6) {
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

bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

} // namespace

HRESULT NetServer::Loop::open(std::uint16_t port, std::uint16_t* boundPort) {
  FEpoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  FWake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!FEpoll.valid() || !FWake.valid()) {
    return E_FAIL;
  }
  int error = 0;
  NetFd listener = makeListener(AF_INET6, port, error);
  if (!listener.valid() && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL)) {
    listener = makeListener(AF_INET, port, error); // a host without IPv6
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
    // While a pass is under way, only look for what is ready; then feed the next slice.
    const int timeout = FFanoutLeft > 0 ? 0 : waitTimeout(Clock::now());
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
    if (FShuttingDown && (FStreaming.empty() || now >= FShutdownDeadline)) {
      while (!FStreaming.empty()) {
        closeConn(*FStreaming.back());
      }
      FConns.clear();
      FPending.clear();
      publishCounts();
      return;
    }
    if (FFanoutLeft > 0) {
      feedSome();
    }
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
  if (stopping) {
    beginShutdown();
    return;
  }
  if (FShuttingDown) {
    return;
  }
  bool fresh = false;
  for (auto& item : items) {
    if (item.header) {
      startBroadcast(std::move(item.header));
    } else if (item.packet && FHeader) {
      FRing.push(std::move(item.packet));
      fresh = true;
    } else if (item.mp3Header) {
      // A new run's MP3 stream: its listeners start over.
      for (std::size_t i = FStreaming.size(); i-- > 0;) {
        if (FStreaming[i]->mp3) {
          closeConn(*FStreaming[i]);
        }
      }
      FMp3Header = std::move(item.mp3Header);
      FMp3Ring.clear();
    } else if (item.mp3Packet && FMp3Header && !item.mp3Packet->framed.empty()) {
      FMp3Ring.push(std::move(item.mp3Packet));
      fresh = true;
    }
  }
  if (!fresh) {
    return;
  }
  if (FFanoutLeft == 0) {
    FFanoutLeft = FStreaming.size();
  } else {
    FFanoutAgain = true; // those already fed this pass need the new packets too
  }
}

void NetServer::Loop::feedSome() {
  FFanoutLeft = std::min(FFanoutLeft, FStreaming.size());
  const std::size_t slice = std::max<std::size_t>(FServer.FOptions.fanoutSlice, 1);
  const std::size_t stop = FFanoutLeft - std::min(FFanoutLeft, slice);
  while (FFanoutLeft > stop) {
    Conn& c = *FStreaming[--FFanoutLeft];
    if (c.state != ConnState::Streaming) {
      continue;
    }
    if (c.seq < ringOf(c).begin()) {
      closeConn(c); // fell out of the ring: it cannot keep up
    } else if (!c.blocked) {
      flush(c);
    }
  }
  if (FFanoutLeft == 0 && FFanoutAgain) {
    FFanoutAgain = false;
    FFanoutLeft = FStreaming.size();
  }
}

void NetServer::Loop::startBroadcast(std::shared_ptr<const NetHeader> header) {
  // Listeners of the old broadcast cannot take a new header: end their streams.
  for (std::size_t i = FStreaming.size(); i-- > 0;) {
    Conn& c = *FStreaming[i];
    if (c.mp3) {
      continue; // the MP3 flavour goes on through a new Windows Media header
    }
    if (c.state == ConnState::Streaming && c.framed && !c.header && c.offset == 0) {
      startEnding(c);
    } else if (c.state == ConnState::Streaming) {
      closeConn(c); // mid-chunk: $E would corrupt the stream
    }
  }
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

void NetServer::Loop::readRequest(Conn& c) {
  std::array<char, 4096> buffer;
  HttpRequestReader::Status status = HttpRequestReader::Status::NeedMore;
  while (status == HttpRequestReader::Status::NeedMore) {
    const ssize_t n = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
    if (n > 0) {
      status = c.reader->append(buffer.data(), static_cast<std::size_t>(n));
    } else if (n < 0 && wouldBlock(errno)) {
      return;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      closeConn(c); // gave up before finishing its request
      return;
    }
  }
  switch (status) {
  case HttpRequestReader::Status::Complete: {
    const HttpRequest& request = c.reader->request();
    const std::uint32_t max = FServer.FMaxClients;
    const bool full = max != 0 && FServer.FClientCount >= max;
    const Mp3State mp3 = !FServer.FMp3Enabled ? Mp3State::Off
                         : FMp3Header         ? Mp3State::Ready
                                              : Mp3State::NotReady;
    const MmshPlan plan = planMmshAnswer(request, FHeader != nullptr, full, mp3);
    if (plan.answer == MmshAnswer::Mp3Stream) {
      answerMp3(c, plan.headOnly, request.icyMetaData);
    } else if (plan.answer == MmshAnswer::StatusPage || plan.answer == MmshAnswer::StatusJson) {
      answerStatus(c, plan.answer, plan.headOnly);
    } else {
      answer(c, plan.answer, plan.headOnly);
    }
    return;
  }
  case HttpRequestReader::Status::TooLarge:
    answer(c, MmshAnswer::TooLarge, false);
    return;
  default:
    closeConn(c); // binary probe or not HTTP: close at once so players fall back quickly
    return;
  }
}

void NetServer::Loop::answer(Conn& c, MmshAnswer kind, bool headOnly) {
  c.reader.reset();
  c.clientId = std::uniform_int_distribution<std::uint32_t>(1, 0x7FFFFFFF)(FRandom);
  c.head = mmshResponseHead(kind, c.clientId, FHeader ? FHeader->framed.size() : 0);
  const bool stream =
      !headOnly && (kind == MmshAnswer::FramedStream || kind == MmshAnswer::RawStream);
  c.framed = kind == MmshAnswer::FramedStream || kind == MmshAnswer::Describe;
  if (stream) {
    c.header = FHeader;
    // Join burst: start a preroll back, always at a packet boundary.
    c.seq = std::max(FRing.begin(), FRing.end() - std::min<std::uint64_t>(FBurst, FRing.end()));
    c.offset = c.startOffset();
    becomeListener(c);
  } else {
    respond(c);
    if (kind == MmshAnswer::Describe && !headOnly) {
      c.header = FHeader;
    }
  }
  flush(c);
}

void NetServer::Loop::answerStatus(Conn& c, MmshAnswer kind, bool headOnly) {
  StationStatus status;
  bool have;
  {
    std::lock_guard lock(FServer.FStatusLock);
    have = FServer.FHaveStatus;
    status = FServer.FStatus;
  }
  if (!have) {
    answer(c, MmshAnswer::NotReady, headOnly); // open, but the station not yet described
    return;
  }
  c.reader.reset();
  status.mp3Listeners = FServer.FMp3ClientCount;
  status.wmaListeners = FServer.FClientCount - status.mp3Listeners;
  const std::string body = kind == MmshAnswer::StatusJson ? statusJson(status) : statusPage(status);
  c.head = statusResponseHead(kind, body.size());
  if (!headOnly) {
    c.head += body;
  }
  respond(c);
  flush(c);
}

void NetServer::Loop::answerMp3(Conn& c, bool headOnly, bool icy) {
  c.reader.reset();
  std::string name;
  {
    std::lock_guard lock(FServer.FStatusLock);
    name = FServer.FStatus.name;
  }
  c.clientId = std::uniform_int_distribution<std::uint32_t>(1, 0x7FFFFFFF)(FRandom);
  c.icyEvery = icy ? kIcyMetaInt : 0;
  c.head = mp3ResponseHead(name, FMp3Header->bitrate, c.icyEvery);
  if (headOnly) {
    respond(c);
  } else {
    c.mp3 = true;
    c.icyLeft = c.icyEvery;
    c.seq = mp3JoinSeq();
    c.offset = 0;
    ++FServer.FMp3ClientCount; // before the connect event, so its handler sees it
    becomeListener(c);
  }
  flush(c);
}

void NetServer::Loop::becomeListener(Conn& c) {
  c.state = ConnState::Streaming;
  c.listener = true;
  dropPending(c);
  publishCounts();
  c.streamIndex = FStreaming.size();
  FStreaming.push_back(&c);
  ++FServer.FClientCount;
  FServer.FEvents.onListenerConnected(c.clientId);
}

void NetServer::Loop::respond(Conn& c) {
  c.state = ConnState::Responding;
  c.deadline = Clock::now() + FServer.FOptions.responseTimeout;
  FResponseDeadlines.emplace_back(c.deadline, c.id);
}

// About three seconds back, at the start of a packet (each starts with a whole MP3 frame), but
// never more than half the ring, so a newcomer is not at once the one about to fall out.
std::uint64_t NetServer::Loop::mp3JoinSeq() const {
  const std::uint64_t want = std::uint64_t{FMp3Header->bitrate} / 8 * kMp3BurstMs / 1000;
  const std::uint64_t oldest =
      std::max(FMp3Ring.begin(),
               FMp3Ring.end() - std::min<std::uint64_t>(FMp3Ring.capacity() / 2, FMp3Ring.end()));
  std::uint64_t seq = FMp3Ring.end();
  std::uint64_t bytes = 0;
  while (seq > oldest && bytes < want) {
    --seq;
    bytes += FMp3Ring.at(seq)->framed.size();
  }
  return seq;
}

void NetServer::Loop::discardInput(Conn& c) {
  std::array<char, 4096> buffer;
  std::size_t total = 0;
  bool close = false;
  while (total < kMaxDrainBytes) {
    const ssize_t n = ::recv(c.fd.get(), buffer.data(), buffer.size(), 0);
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // EOF ends a lingering answer; a half-closed listener may still be reading, and a gone
    // one fails its next send.
    close = n == 0 ? c.state == ConnState::Lingering : !wouldBlock(errno);
    break;
  }
  if (c.state == ConnState::Lingering) {
    c.drained += total;
    close = close || c.drained > kMaxDrainBytes;
  }
  if (close) {
    closeConn(c);
  }
}

// Sends what the connection has pending until done or the socket is full. Returns false when
// the connection was closed.
bool NetServer::Loop::flush(Conn& c) {
  if (c.mp3) {
    return flushMp3(c);
  }
  while (true) {
    Pieces pieces;
    pieces.add(reinterpret_cast<const std::uint8_t*>(c.head.data()) + c.headSent,
               c.head.size() - c.headSent);
    if (c.header) {
      const std::size_t start = c.startOffset() + c.headerSent;
      pieces.add(c.header->framed.data() + start, c.header->framed.size() - start);
    }
    const bool streaming = c.state == ConnState::Streaming || c.state == ConnState::Ending;
    if (streaming && !c.header) {
      const std::uint64_t last =
          c.state == ConnState::Ending ? std::min(c.endSeq, FRing.end()) : FRing.end();
      std::size_t offset = c.offset;
      std::uint64_t seq = c.seq;
      for (; seq < last && !pieces.full(); ++seq) {
        const NetPacket* packet = FRing.at(seq);
        if (packet == nullptr) {
          closeConn(c); // fell out of the ring
          return false;
        }
        pieces.add(packet->framed.data() + offset, packet->framed.size() - offset);
        offset = c.startOffset();
      }
      if (c.state == ConnState::Ending && c.framed && seq >= c.endSeq) {
        pieces.add(kMmshEndChunk.data() + c.endSent, kMmshEndChunk.size() - c.endSent);
      }
    }
    if (pieces.count == 0) {
      const std::uint64_t id = c.id; // finished() may free c
      finished(c);
      return FConns.contains(id);
    }
    std::size_t sent = 0;
    const std::uint64_t id = c.id; // send() may free c
    if (!send(c, pieces.iov.data(), pieces.count, sent)) {
      return FConns.contains(id);
    }
    consume(c, sent);
  }
}

// One sendmsg of what flush() queued, repeated on EINTR. False when nothing was sent: the
// socket is full (c.blocked is set) or the connection failed (it is closed).
bool NetServer::Loop::send(Conn& c, const iovec* iov, std::size_t count, std::size_t& sent) {
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(iov);
  msg.msg_iovlen = count;
  while (true) {
    const ssize_t n = ::sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return true;
    }
    if (errno == EINTR) {
      continue;
    }
    if (wouldBlock(errno)) {
      c.blocked = true;
    } else {
      closeConn(c);
    }
    return false;
  }
}

void NetServer::Loop::consumeHead(Conn& c, std::size_t& sent) {
  const std::size_t fromHead = std::min(sent, c.head.size() - c.headSent);
  c.headSent += fromHead;
  sent -= fromHead;
  if (c.headSent == c.head.size() && !c.head.empty()) {
    c.head = std::string(); // give the memory back: listeners should cost little
    c.headSent = 0;
  }
}

// Advances the connection past sent bytes, in the order flush() queued them.
void NetServer::Loop::consume(Conn& c, std::size_t sent) {
  consumeHead(c, sent);
  if (c.header) {
    const std::size_t left = c.header->framed.size() - c.startOffset() - c.headerSent;
    const std::size_t fromHeader = std::min(sent, left);
    c.headerSent += fromHeader;
    sent -= fromHeader;
    if (fromHeader == left) {
      c.header.reset();
      c.headerSent = 0;
    }
  }
  const std::uint64_t last =
      c.state == ConnState::Ending ? c.endSeq : std::numeric_limits<std::uint64_t>::max();
  while (sent > 0 && c.seq < last) {
    const NetPacket* packet = FRing.at(c.seq);
    if (packet == nullptr) {
      break;
    }
    const std::size_t take = std::min(sent, packet->framed.size() - c.offset);
    c.offset += take;
    sent -= take;
    if (c.offset == packet->framed.size()) {
      ++c.seq;
      c.offset = c.startOffset();
    }
  }
  c.endSent += sent; // only $E can remain
}

// What goes at a listener's next metadata point: the packet's title when it is news to the
// listener, else the one-byte empty block.
const std::shared_ptr<const IcyBlock>& NetServer::Loop::icyNext(const NetPacket& packet,
                                                                const IcyBlock* last) const {
  return packet.icy && packet.icy.get() != last ? packet.icy : FNoNewTitle;
}

// The MP3 flavour's flush: ring packets as they are, with an ICY metadata block after every
// icyEvery audio bytes for listeners that asked for titles.
bool NetServer::Loop::flushMp3(Conn& c) {
  while (true) {
    Pieces pieces;
    pieces.add(reinterpret_cast<const std::uint8_t*>(c.head.data()) + c.headSent,
               c.head.size() - c.headSent);
    if (c.icyBlock) {
      pieces.add(c.icyBlock->data() + c.icySent, c.icyBlock->size() - c.icySent);
    }
    if (c.state == ConnState::Streaming) {
      // Walks ahead as consumeMp3() will, so both cut at the same points.
      std::uint64_t seq = c.seq;
      std::size_t offset = c.offset;
      std::uint32_t left = c.icyLeft;
      const IcyBlock* lastHeld = c.icyLast.get();
      while (seq < FMp3Ring.end() && !pieces.full()) {
        const NetPacket* packet = FMp3Ring.at(seq);
        if (packet == nullptr) {
          closeConn(c); // fell out of the ring
          return false;
        }
        std::size_t take = packet->framed.size() - offset;
        if (c.icyEvery != 0) {
          take = std::min<std::size_t>(take, left);
        }
        pieces.add(packet->framed.data() + offset, take);
        offset += take;
        if (c.icyEvery != 0 && (left -= static_cast<std::uint32_t>(take)) == 0) {
          const std::shared_ptr<const IcyBlock>& block = icyNext(*packet, lastHeld);
          pieces.add(block->data(), block->size());
          if (block != FNoNewTitle) {
            lastHeld = block.get();
          }
          left = c.icyEvery;
        }
        if (offset == packet->framed.size()) {
          ++seq;
          offset = 0;
        }
      }
    }
    if (pieces.count == 0) {
      const std::uint64_t id = c.id;
      finished(c);
      return FConns.contains(id);
    }
    std::size_t sent = 0;
    const std::uint64_t id = c.id; // send() may free c
    if (!send(c, pieces.iov.data(), pieces.count, sent)) {
      return FConns.contains(id);
    }
    consumeMp3(c, sent);
  }
}

void NetServer::Loop::consumeMp3(Conn& c, std::size_t sent) {
  consumeHead(c, sent);
  while (sent > 0) {
    if (c.icyBlock) {
      const std::size_t take = std::min(sent, c.icyBlock->size() - c.icySent);
      c.icySent += take;
      sent -= take;
      if (c.icySent == c.icyBlock->size()) {
        if (c.icyBlock != FNoNewTitle) {
          c.icyLast = std::move(c.icyBlock);
        }
        c.icyBlock.reset();
        c.icySent = 0;
      }
      continue;
    }
    const NetPacket* packet = FMp3Ring.at(c.seq);
    if (packet == nullptr) {
      break;
    }
    std::size_t take = std::min(sent, packet->framed.size() - c.offset);
    if (c.icyEvery != 0) {
      take = std::min<std::size_t>(take, c.icyLeft);
    }
    c.offset += take;
    sent -= take;
    if (c.icyEvery != 0 && (c.icyLeft -= static_cast<std::uint32_t>(take)) == 0) {
      c.icyBlock = icyNext(*packet, c.icyLast.get());
      c.icySent = 0;
      c.icyLeft = c.icyEvery;
    }
    if (c.offset == packet->framed.size()) {
      ++c.seq;
      c.offset = 0;
    }
  }
}

void NetServer::Loop::finished(Conn& c) {
  switch (c.state) {
  case ConnState::Responding:
    ::shutdown(c.fd.get(), SHUT_WR);
    c.state = ConnState::Lingering;
    c.deadline = Clock::now() + FServer.FOptions.lingerTimeout;
    FLingerDeadlines.emplace_back(c.deadline, c.id);
    discardInput(c); // input that came before the state change raises no new edge
    return;
  case ConnState::Ending:
    closeConn(c);
    return;
  default:
    return; // a listener that is up to date waits for the next packet
  }
}

void NetServer::Loop::startEnding(Conn& c) {
  c.state = ConnState::Ending;
  // A peer that stopped reading would otherwise hold its place until it closes.
  c.deadline = Clock::now() + FServer.FOptions.closeTimeout;
  FEndingDeadlines.emplace_back(c.deadline, c.id);
  // Finish a packet already begun; never cut a chunk short.
  c.endSeq = c.offset != c.startOffset() ? c.seq + 1 : c.seq;
  if (!c.blocked) {
    flush(c);
  }
}

void NetServer::Loop::closeConn(Conn& c) {
  if (c.streamIndex != kNoIndex) {
    Conn* last = FStreaming.back();
    FStreaming[c.streamIndex] = last;
    last->streamIndex = c.streamIndex;
    FStreaming.pop_back();
    c.streamIndex = kNoIndex;
  }
  const bool listener = c.listener;
  const bool mp3 = c.mp3;
  const std::uint32_t clientId = c.clientId;
  dropPending(c);
  FConns.erase(c.id); // closes the socket, which also leaves the epoll set
  publishCounts();
  rearmSpare(); // a freed descriptor goes to the spare first
  if (listener) {
    if (mp3) {
      --FServer.FMp3ClientCount;
    }
    --FServer.FClientCount;
    FServer.FEvents.onListenerDisconnected(clientId);
  }
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
  for (std::size_t i = FStreaming.size(); i-- > 0;) {
    Conn& c = *FStreaming[i];
    if (c.mp3) {
      closeConn(c); // plain MP3 has no end marker: the stream just stops
    } else if (c.state == ConnState::Streaming) {
      startEnding(c);
    }
  }
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
