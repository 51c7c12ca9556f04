// Feeding listeners: what each connection has pending goes out in as few sendmsg calls as the
// socket takes.
#include "winmedia/server/net_server_loop.h"

#include <sys/socket.h>

#include <algorithm>

namespace sondrix {

// Rounds keep a cadence: one begins a round's time after the last began, when packets have
// come since, and visits the listeners in order, as many as are due by the share of its nine
// tenths spent, at most a slice per turn of the loop. So each listener is fed a round apart,
// and the load is even, not a burst at every packet.
void NetServer::Loop::feedSome(Clock::time_point now) {
  const auto round = FServer.FOptions.feedRound;
  if (FListeners == 0) {
    // Nobody to feed; a newcomer takes its burst from the ring.
    FRoundPackets = FRoundMp3Packets = 0;
    FFeedNext = FRoundSize = 0;
    FStreaming.clear();
    return;
  }
  const bool filling = ringsFilling();
  if (!roundUnderWay()) {
    if (!packetsCame() || (now < FRoundStart + round && !filling)) {
      if (FStreaming.size() > 2 * FListeners + 64) {
        closeHoles(); // listeners come and go while nothing is broadcast
      }
      return;
    }
    // After a pause, or when the rings fill, the cadence starts over.
    const bool onBeat = !filling && now - FRoundStart < 2 * round;
    FRoundStart = onBeat ? FRoundStart + round : now;
    FRoundSpread = filling ? Clock::duration{} : Clock::duration{round * 9 / 10};
    FRoundPackets = FRoundMp3Packets = 0;
    closeHoles();
    FFeedNext = 0;
    FRoundSize = FStreaming.size();
    FNextFeed = now;
  } else if (filling) {
    FRoundSpread = {}; // the rest of the round is due now
    FNextFeed = now;
  }
  if (now < FNextFeed) {
    return;
  }
  std::size_t due = FRoundSize;
  if (now < FRoundStart + FRoundSpread) {
    // A tick ahead, so the first step of a round is not empty.
    const auto part = (now - FRoundStart + kFeedTick) * 1000 / FRoundSpread;
    due = std::min<std::size_t>(FRoundSize, FRoundSize * static_cast<std::size_t>(part) / 1000);
  }
  const std::size_t slice = std::max<std::size_t>(FServer.FOptions.fanoutSlice, 1);
  const std::size_t stop = std::min(std::max(due, FFeedNext), FFeedNext + slice);
  for (; FFeedNext < stop; ++FFeedNext) {
    Conn* c = FStreaming[FFeedNext];
    if (c == nullptr || c->state != ConnState::Streaming) {
      continue;
    }
    if (c->seq < ringOf(*c).begin()) {
      closeConn(*c); // fell out of the ring: it cannot keep up
    } else if (!c->blocked) {
      flush(*c);
    }
  }
  // More due than a slice: straight on after a look at the sockets; else the next step.
  FNextFeed = due > FFeedNext ? now : now + kFeedTick;
}

void NetServer::Loop::closeHoles() {
  if (FListeners == FStreaming.size()) {
    return;
  }
  std::erase(FStreaming, nullptr);
  for (std::size_t i = 0; i < FStreaming.size(); ++i) {
    FStreaming[i]->streamIndex = i;
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
    std::size_t sent = 0;
    bool open = true;
    if (!sendPieces(c, pieces, sent, open)) {
      return open;
    }
    consume(c, sent);
  }
}

// The end of a flush() step: with nothing queued the connection is finished() with; else one
// send(). True when bytes went (sent); false when the flush is over, open telling whether the
// connection still exists.
bool NetServer::Loop::sendPieces(Conn& c, const Pieces& pieces, std::size_t& sent, bool& open) {
  const std::uint64_t id = c.id; // finished() and send() may free c
  if (pieces.count == 0) {
    finished(c);
    open = FConns.contains(id);
    return false;
  }
  if (!send(c, pieces.iov.data(), pieces.count, sent)) {
    open = FConns.contains(id);
    return false;
  }
  return true;
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
    std::size_t sent = 0;
    bool open = true;
    if (!sendPieces(c, pieces, sent, open)) {
      return open;
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

} // namespace sondrix
