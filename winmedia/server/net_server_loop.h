#pragma once

// The streaming server's loop thread: what it owns and how its parts (accepting, answering,
// feeding listeners) share it. Private to the server's sources.

#include "winmedia/server/http_request.h"
#include "winmedia/server/mmsh_framing.h"
#include "winmedia/server/mmsh_response.h"
#include "winmedia/server/net_admission.h"
#include "winmedia/server/net_fd.h"
#include "winmedia/server/net_packet_ring.h"
#include "winmedia/server/net_server.h"

#include <sys/epoll.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <deque>
#include <limits>
#include <random>
#include <string>
#include <unordered_map>

namespace sondrix {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint64_t kWakeTag = 1;
inline constexpr std::uint64_t kListenTag = 2; // + index of the listening socket
inline constexpr std::uint64_t kFirstConnId = 16;
inline constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();
inline constexpr std::size_t kMaxIov = 32;
// A round's visits go out in steps this far apart, so a small station is not woken per listener.
inline constexpr std::chrono::milliseconds kFeedTick{10};
inline constexpr std::size_t kMaxQueuedItems = 4096;
inline constexpr std::size_t kMaxDrainBytes = 64 * 1024;
inline constexpr std::size_t kDefaultBurst = 16;
inline constexpr std::chrono::milliseconds kMinAcceptPause{10};
inline constexpr std::chrono::milliseconds kMaxAcceptPause{1000};
// MP3 flavour: audio bytes between ICY metadata blocks, the join burst, and the packets kept
// (the sink publishes about 400 ms per packet, so the ring holds about 25 s).
inline constexpr std::uint32_t kIcyMetaInt = 16000;
inline constexpr std::uint64_t kMp3BurstMs = 3000;
inline constexpr std::size_t kMp3RingPackets = 64;

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

inline bool wouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

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
  void feedSome(Clock::time_point now);
  bool roundUnderWay() const { return FFeedNext < FRoundSize; }
  void closeHoles();
  // Calls fn for every listener; fn may close the one it is given.
  template <typename Fn> void eachListener(Fn fn) {
    for (std::size_t i = 0; i < FStreaming.size(); ++i) {
      if (Conn* c = FStreaming[i]) {
        fn(*c);
      }
    }
  }
  bool packetsCame() const { return FRoundPackets + FRoundMp3Packets != 0; }
  bool ringsFilling() const {
    return FRoundPackets >= std::max<std::size_t>(FRing.capacity() / 4, 1) ||
           FRoundMp3Packets >= std::max<std::size_t>(FMp3Ring.capacity() / 4, 1);
  }
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
  bool sendPieces(Conn& c, const Pieces& pieces, std::size_t& sent, bool& open);
  bool send(Conn& c, const iovec* iov, std::size_t count, std::size_t& sent);
  void consumeMp3(Conn& c, std::size_t sent);
  void consumeHead(Conn& c, std::size_t& sent);
  void discardInput(Conn& c);
  bool flush(Conn& c);
  void consume(Conn& c, std::size_t sent);
  void finished(Conn& c);
  void startEnding(Conn& c, bool withRing);
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
  // Listeners (Streaming or Ending) in the order rounds visit them. One that leaves leaves a
  // hole, closed up when the next round begins: nobody moves within a round, so each is fed
  // at the same point of every round, a round apart.
  std::vector<Conn*> FStreaming;
  std::size_t FListeners = 0; // entries that are not holes
  std::size_t FFeedNext = 0;  // the round visits indices from here up to FRoundSize
  std::size_t FRoundSize = 0;
  Clock::time_point FRoundStart;
  Clock::time_point FNextFeed;    // the round's next visits are due then
  Clock::duration FRoundSpread{}; // the time its visits take
  // Packets each ring took since the round began: a quarter of a ring starts the next round
  // at once, and ends this one's spread, before a listener is left behind.
  std::size_t FRoundPackets = 0;
  std::size_t FRoundMp3Packets = 0;
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

} // namespace sondrix
