// Reading a request and starting its answer; a connection's life until it closes.
#include "winmedia/server/net_server_loop.h"

#include <sys/socket.h>

#include <algorithm>

namespace sondrix {

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
    } else if (plan.answer == MmshAnswer::Icon) {
      c.reader.reset();
      c.head = iconResponseHead(stationIconPng().size());
      if (!plan.headOnly)
        c.head += stationIconPng();
      respond(c);
      flush(c);
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
  ++FListeners;
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

void NetServer::Loop::startEnding(Conn& c, bool withRing) {
  c.state = ConnState::Ending;
  // A peer that stopped reading would otherwise hold its place until it closes.
  c.deadline = Clock::now() + FServer.FOptions.closeTimeout;
  FEndingDeadlines.emplace_back(c.deadline, c.id);
  // Finish a packet already begun; never cut a chunk short. At the end of the broadcast the
  // listener also gets what the ring holds for it (a round can leave it a second behind); a
  // new broadcast replaces the ring at once, so there it stops where it is.
  c.endSeq = withRing ? FRing.end() : c.offset != c.startOffset() ? c.seq + 1 : c.seq;
  if (!c.blocked) {
    flush(c);
  }
}

void NetServer::Loop::closeConn(Conn& c) {
  if (c.streamIndex != kNoIndex) {
    FStreaming[c.streamIndex] = nullptr;
    c.streamIndex = kNoIndex;
    --FListeners;
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

} // namespace sondrix
