#pragma once

#include "winmedia/runtime/result_codes.h"
#include "winmedia/server/net_asf_stream.h"
#include "winmedia/server/net_status.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sondrix {

struct NetServerOptions {
  // Packets the shared ring keeps; a listener further behind than this is dropped.
  // 0 = four join bursts, at least 64.
  std::size_t ringPackets = 0;
  // Time a client has to send its whole request head.
  std::chrono::milliseconds requestTimeout{8000};
  // After a finite answer, how long unread input is drained before the socket closes
  // (closing with unread input would reset the connection and could lose the answer).
  std::chrono::milliseconds lingerTimeout{2000};
  // How long a listener that is let go (close(), a new broadcast) may take its last bytes
  // and $E.
  std::chrono::milliseconds closeTimeout{2000};
  // Socket send buffer requested per listener (the kernel doubles it).
  int sendBufferBytes = 64 * 1024;
  std::size_t maxRequestBytes = 8192;
  // How long a finite answer (describe, errors) may take to leave the socket.
  std::chrono::milliseconds responseTimeout{10000};
  // Connections that are not listeners (request unfinished, finite answer under way), in all
  // and from one address (an IPv6 /64 counts as one). At the first limit the one waiting
  // longest is let go; at the second the newcomer is refused.
  std::size_t maxPendingConnections = 512;
  std::size_t maxPendingPerAddress = 32;
  // Descriptors below the open-file limit that connections never take: the rest of the
  // process (the broadcast's own file opens) needs them. Counted from those open at open().
  std::size_t reservedDescriptors = 64;
  // Listeners are fed in rounds: once a round, each gets everything new in one sendmsg, the
  // round's visits spread evenly over it. A player holds seconds of audio (the join burst
  // alone is one preroll), so most of a second costs it nothing and saves three of four
  // wake-ups and writes at 128 kbit/s. Not a whole second: a listener that counts what came
  // in each second would then see four rounds in five seconds now and then. A round starts
  // early when a quarter of a ring has come since the last began. 0 = a pass at every packet.
  std::chrono::milliseconds feedRound{900};
  // Listeners fed per turn of the loop (at least 1). Between turns the loop takes new
  // connections and requests, so a joining listener never waits behind a round.
  std::size_t fanoutSlice = 64;
};

// Told of listeners coming and going. Called on the server's loop thread only, one call per
// event; an implementation must not call close() from inside.
class NetServerEvents {
public:
  virtual void onListenerConnected(std::uint32_t clientId) = 0;
  virtual void onListenerDisconnected(std::uint32_t clientId) = 0;

protected:
  ~NetServerEvents() = default;
};

// The HTTP/MMSH streaming server: one epoll loop thread accepts on the port (IPv6 dual-stack,
// or IPv4 alone where IPv6 is missing), answers requests and streams the published broadcast
// to every listener with non-blocking writes. A listener is the connection of a streaming
// answer; describe, HEAD and error answers are not listeners.
class NetServer {
public:
  NetServer(NetServerOptions options, NetServerEvents& events);
  ~NetServer();
  NetServer(const NetServer&) = delete;
  NetServer& operator=(const NetServer&) = delete;

  // Binds the port (0 = any free one) and starts the loop. Returns the bound port through
  // boundPort. Fails with NS_E_PORT_IN_USE when the port is taken, E_UNEXPECTED when open.
  HRESULT open(std::uint16_t port, std::uint16_t* boundPort);
  // Ends every listener's stream ($E for framed ones, each reported disconnected), joins the
  // loop and frees the port. Does nothing when not open. Not from the events' callbacks.
  void close();
  bool isOpen() const;

  // Any thread, never blocks on the network: hands headers and packets to the loop. A header
  // starts a new broadcast. The last header is kept, so a later open() serves it too.
  void publish(std::vector<NetItem>& items);

  // The MP3 flavour at /stream.mp3: 404 while off; once on, 503 until its first header.
  void setMp3Enabled(bool on) { FMp3Enabled = on; }
  // What /status and /status.json show (503 until the first call, as the stream before its
  // header); the listener counts there are the server's own.
  // Any thread.
  void setStatus(const StationStatus& status);

  // The one address to listen on (IPv4 or IPv6); empty: every address. Before open().
  void setBindAddress(std::string address) { FBindAddress = std::move(address); }

  // 0 = no limit. Beyond the limit, new requests get 503 with Retry-After.
  void setMaximumClients(std::uint32_t count) { FMaxClients = count; }
  std::uint32_t maximumClients() const { return FMaxClients; }
  // Listeners of both flavours, and those of the MP3 flavour alone.
  std::uint32_t clientCount() const { return FClientCount; }
  std::uint32_t mp3ClientCount() const { return FMp3ClientCount; }
  // Connections open now: every state, and those that are not listeners. Any thread.
  std::uint32_t connectionCount() const { return FConnectionCount; }
  std::uint32_t pendingCount() const { return FPendingCount; }

private:
  class Loop;
  friend class Loop;

  NetServerOptions FOptions;
  std::string FBindAddress;
  NetServerEvents& FEvents;
  std::atomic<std::uint32_t> FMaxClients{0};
  std::atomic<std::uint32_t> FClientCount{0};
  std::atomic<std::uint32_t> FMp3ClientCount{0};
  std::atomic<bool> FMp3Enabled{false};
  mutable std::mutex FStatusLock;
  StationStatus FStatus;
  bool FHaveStatus = false; // under FStatusLock
  std::atomic<std::uint32_t> FConnectionCount{0};
  std::atomic<std::uint32_t> FPendingCount{0};

  mutable std::mutex FQueueLock; // guards the fields below
  std::vector<NetItem> FQueue;
  std::shared_ptr<const NetHeader> FLastHeader;
  std::shared_ptr<const NetMp3Header> FLastMp3Header;
  bool FWakePending = false;
  bool FStopping = false;
  int FWakeFd = -1; // owned by FLoop; valid while open

  std::unique_ptr<Loop> FLoop;
  std::thread FThread;
};

} // namespace sondrix
