#include "net/block_socket.h"

#include "net/socket_errors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxPacket = 65536;

struct ResolvedAddress {
  sockaddr_storage addr{};
  socklen_t length = 0;
  int family = AF_UNSPEC;
};

int familyOfLiteral(const std::string& ip) {
  in_addr a4;
  in6_addr a6;
  if (inet_pton(AF_INET, ip.c_str(), &a4) == 1)
    return AF_INET;
  if (inet_pton(AF_INET6, ip.c_str(), &a6) == 1)
    return AF_INET6;
  return AF_UNSPEC;
}

int resolveOnce(const std::string& ip, const std::string& port, int family, bool passive,
                ResolvedAddress& out) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  if (passive)
    hints.ai_flags |= AI_PASSIVE;
  addrinfo* list = nullptr;
  const std::string service = port.empty() ? "0" : port;
  const int rc = ::getaddrinfo(ip.c_str(), service.c_str(), &hints, &list);
  if (rc != 0)
    return socketErrorFromResolver(rc, errno);
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, ::freeaddrinfo);
  std::memcpy(&out.addr, list->ai_addr, list->ai_addrlen);
  out.length = list->ai_addrlen;
  out.family = list->ai_family;
  return 0;
}

// One stream address for IP:Port. With no family fixed, a name is tried as IPv4 first.
int resolve(const std::string& ip, const std::string& port, int family, bool preferIP4,
            bool passive, ResolvedAddress& out) {
  if (family != AF_UNSPEC)
    return resolveOnce(ip, port, family, passive, out);
  const int literal = familyOfLiteral(ip);
  if (literal != AF_UNSPEC)
    return resolveOnce(ip, port, literal, passive, out);
  if (!preferIP4)
    return resolveOnce(ip, port, AF_UNSPEC, passive, out);
  const int rc = resolveOnce(ip, port, AF_INET, passive, out);
  if (rc == 0)
    return 0;
  return resolveOnce(ip, port, AF_INET6, passive, out);
}

void addressText(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  } else {
    port = 0;
  }
  ip = text;
}

int remainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() {
  if (FSocket >= 0)
    ::close(FSocket);
}

void TBlockSocket::ResetLastError() {
  FLastError = 0;
  FLastErrorDesc.clear();
}

void TBlockSocket::SetLastError(int ErrorCode) {
  FLastError = ErrorCode;
  FLastErrorDesc = GetErrorDesc(ErrorCode);
}

int TBlockSocket::SockCheck(int SockResult) {
  ResetLastError();
  if (SockResult == -1) {
    const int code = socketErrorFromErrno(errno);
    if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS)
      SetLastError(code);
  }
  return FLastError;
}

bool TBlockSocket::stopRequested() {
  if (!FStopFlag.exchange(false))
    return false;
  SetLastError(WSAECONNABORTED);
  return true;
}

void TBlockSocket::applyOption(const DelayedOption& option) {
  ::setsockopt(FSocket, option.level, option.name, &option.value, sizeof option.value);
}

void TBlockSocket::SetSizeRecvBuffer(int Size) {
  const DelayedOption option{SOL_SOCKET, SO_RCVBUF, Size};
  if (FSocket >= 0)
    applyOption(option);
  else
    FDelayedOptions.push_back(option);
}

void TBlockSocket::SetSizeSendBuffer(int Size) {
  const DelayedOption option{SOL_SOCKET, SO_SNDBUF, Size};
  if (FSocket >= 0)
    applyOption(option);
  else
    FDelayedOptions.push_back(option);
}

bool TBlockSocket::createSocket(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (SockCheck(fd) != 0 || fd < 0)
    return false;
  FSocket = fd;
  FFamilySave = FFamily;
  FFamily = family == AF_INET6 ? TSocketFamily::SF_IP6 : TSocketFamily::SF_IP4;
  for (const DelayedOption& option : FDelayedOptions)
    applyOption(option);
  FDelayedOptions.clear();
  return true;
}

namespace {

int platformFamily(TSocketFamily family) {
  switch (family) {
  case TSocketFamily::SF_IP4:
    return AF_INET;
  case TSocketFamily::SF_IP6:
    return AF_INET6;
  default:
    return AF_UNSPEC;
  }
}

} // namespace

void TBlockSocket::Bind(const std::string& IP, const std::string& Port) {
  ResetLastError();
  if (FSocket < 0 && FFamily == TSocketFamily::SF_Any && IP == "0.0.0.0" && Port == "0")
    return;
  ResolvedAddress address;
  const int rc = resolve(IP, Port, platformFamily(FFamily), FPreferIP4, true, address);
  if (rc != 0) {
    SetLastError(rc);
    return;
  }
  if (FSocket < 0 && !createSocket(address.family))
    return;
  if (SockCheck(::bind(FSocket, reinterpret_cast<sockaddr*>(&address.addr), address.length)) == 0)
    FBuffer.clear();
}

void TBlockSocket::Connect(const std::string& IP, const std::string& Port) {
  connectDirect(IP, Port);
}

void TBlockSocket::connectDirect(const std::string& IP, const std::string& Port) {
  ResetLastError();
  ResolvedAddress address;
  const int rc = resolve(IP, Port, platformFamily(FFamily), FPreferIP4, false, address);
  if (rc != 0) {
    SetLastError(rc);
    return;
  }
  if (FSocket < 0 && !createSocket(address.family))
    return;
  int result = ::connect(FSocket, reinterpret_cast<sockaddr*>(&address.addr), address.length);
  if (result == -1 && errno == EINTR) {
    // The connection goes on in the background; wait for its outcome.
    pollfd pfd{FSocket, POLLOUT, 0};
    while (::poll(&pfd, 1, -1) == -1 && errno == EINTR) {
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    ::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &soError, &len);
    errno = soError;
    result = soError == 0 ? 0 : -1;
  }
  if (SockCheck(result) != 0)
    return;
  recordPeerAddresses();
  FBuffer.clear();
  FLastCR = false;
  FLastLF = false;
}

void TBlockSocket::recordPeerAddresses() {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(FSocket, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    addressText(addr, FLocalIP, FLocalPort);
  len = sizeof addr;
  if (::getpeername(FSocket, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    addressText(addr, FRemoteIP, FRemotePort);
}

void TBlockSocket::limitBandwidth(int bytes, int maxBandwidth, Clock::time_point& next) {
  if (maxBandwidth <= 0)
    return;
  const auto now = Clock::now();
  if (next > now)
    std::this_thread::sleep_for(next - now);
  next = std::max(now, next) +
         std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 1000000 / maxBandwidth);
}

int TBlockSocket::SendBuffer(const void* Buffer, int Length) {
  if (stopRequested())
    return 0;
  ResetLastError();
  const char* data = static_cast<const char*>(Buffer);
  int total = 0;
  while (total < Length) {
    const int piece = std::min(Length - total, FSendMaxChunk);
    limitBandwidth(piece, FMaxSendBandwidth, FNextSend);
    ssize_t sent;
    do {
      sent = ::send(FSocket, data + total, static_cast<std::size_t>(piece), MSG_NOSIGNAL);
    } while (sent == -1 && errno == EINTR);
    if (sent == -1) {
      const int code = socketErrorFromErrno(errno);
      if (code == WSAEWOULDBLOCK) {
        if (CanWrite(FNonblockSendTimeout))
          continue;
        if (FLastError == 0)
          SetLastError(WSAETIMEDOUT);
        break;
      }
      SetLastError(code);
      break;
    }
    total += static_cast<int>(sent);
  }
  return total;
}

void TBlockSocket::SendString(const std::string& Data) {
  SendBuffer(Data.data(), static_cast<int>(Data.size()));
}

int TBlockSocket::RecvBuffer(void* Buffer, int Length) {
  if (stopRequested())
    return 0;
  ResetLastError();
  limitBandwidth(Length, FMaxRecvBandwidth, FNextRecv);
  ssize_t got;
  do {
    got = ::recv(FSocket, Buffer, static_cast<std::size_t>(std::max(Length, 0)), 0);
  } while (got == -1 && errno == EINTR);
  if (got == 0 && Length > 0)
    SetLastError(WSAECONNRESET);
  else if (got < 0)
    SockCheck(-1);
  return got > 0 ? static_cast<int>(got) : 0;
}

int TBlockSocket::WaitingData() {
  int pending = 0;
  if (FSocket < 0 || ::ioctl(FSocket, FIONREAD, &pending) != 0)
    return 0;
  return std::clamp(pending, 0, kMaxPacket);
}

namespace {

// Polls one descriptor; -1 with errno on failure, 0 on time-out, 1 when ready.
int pollFor(int fd, short events, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (;;) {
    pollfd pfd{fd, events, 0};
    const int wait = timeoutMs < 0 ? -1 : remainingMs(deadline);
    const int rc = ::poll(&pfd, 1, wait);
    if (rc == -1 && errno == EINTR)
      continue;
    return rc;
  }
}

} // namespace

bool TBlockSocket::canDo(short Events, int Timeout) {
  ResetLastError();
  if (FSocket < 0) {
    SetLastError(WSAENOTSOCK);
    return false;
  }
  if (FDeadline) {
    const int left = remainingMs(*FDeadline);
    if (left <= 0) {
      SetLastError(WSAETIMEDOUT);
      return false;
    }
    Timeout = Timeout < 0 ? left : std::min(Timeout, left);
  }
  const int rc = pollFor(FSocket, Events, Timeout);
  if (rc == -1) {
    SockCheck(-1);
    return false;
  }
  return rc > 0;
}

bool TBlockSocket::CanRead(int Timeout) {
  return canDo(POLLIN, Timeout);
}

bool TBlockSocket::CanWrite(int Timeout) {
  return canDo(POLLOUT, Timeout);
}

std::string TBlockSocket::RecvPacket(int Timeout) {
  ResetLastError();
  std::string packet;
  if (!FBuffer.empty()) {
    packet.swap(FBuffer);
    return packet;
  }
  if (stopRequested())
    return packet;
  sched_yield();
  int waiting = WaitingData();
  if (waiting > 0) {
    packet.resize(static_cast<std::size_t>(waiting));
    packet.resize(static_cast<std::size_t>(RecvBuffer(packet.data(), waiting)));
  } else if (CanRead(Timeout)) {
    waiting = WaitingData();
    if (waiting == 0) {
      SetLastError(WSAECONNRESET);
    } else {
      packet.resize(static_cast<std::size_t>(waiting));
      packet.resize(static_cast<std::size_t>(RecvBuffer(packet.data(), waiting)));
    }
  } else if (FLastError == 0) {
    SetLastError(WSAETIMEDOUT);
  }
  if (FConvertLineEnd && !packet.empty()) {
    // The other half of a CR LF (LF CR) pair whose first half ended the previous line.
    if ((FLastCR && packet.front() == '\n') || (FLastLF && packet.front() == '\r'))
      packet.erase(0, 1);
    FLastCR = false;
    FLastLF = false;
  }
  return packet;
}

int TBlockSocket::RecvBufferEx(void* Buffer, int Len, int Timeout) {
  ResetLastError();
  if (Len < 1)
    return 0;
  char* out = static_cast<char*>(Buffer);
  int copied = 0;
  int timeLeft = Timeout;
  while (copied < Len) {
    const auto started = Clock::now();
    std::string packet = RecvPacket(timeLeft);
    if (FLastError != 0)
      break;
    const int take = std::min(static_cast<int>(packet.size()), Len - copied);
    std::memcpy(out + copied, packet.data(), static_cast<std::size_t>(take));
    copied += take;
    if (take < static_cast<int>(packet.size()))
      FBuffer = packet.substr(static_cast<std::size_t>(take)) + FBuffer;
    if (!FInterPacketTimeout && timeLeft >= 0 && copied < Len) {
      timeLeft -= static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
      if (timeLeft <= 0) {
        SetLastError(WSAETIMEDOUT);
        break;
      }
    }
  }
  return copied;
}

std::string TBlockSocket::RecvBufferStr(int Len, int Timeout) {
  std::string result;
  if (Len < 1) {
    ResetLastError();
    return result;
  }
  result.resize(static_cast<std::size_t>(Len));
  const int got = RecvBufferEx(result.data(), Len, Timeout);
  if (FLastError != 0)
    return {};
  result.resize(static_cast<std::size_t>(got));
  return result;
}

std::string TBlockSocket::RecvTerminated(int Timeout, const std::string& Terminator) {
  ResetLastError();
  if (Terminator.empty())
    return {};
  const bool anyLineEnd = FConvertLineEnd && Terminator == "\r\n";
  std::string collected;
  std::size_t found = std::string::npos;
  std::size_t endLength = 0;
  bool loneCR = false;
  bool loneLF = false;
  int timeLeft = Timeout;
  std::size_t searchFrom = 0;
  for (;;) {
    const auto started = Clock::now();
    collected += RecvPacket(timeLeft);
    if (FLastError != 0)
      break;
    if (anyLineEnd) {
      found = collected.find_first_of("\r\n", searchFrom);
      if (found != std::string::npos) {
        const char first = collected[found];
        if (found + 1 < collected.size()) {
          const char second = collected[found + 1];
          endLength =
              (first == '\r' && second == '\n') || (first == '\n' && second == '\r') ? 2 : 1;
        } else {
          endLength = 1;
          loneCR = first == '\r';
          loneLF = first == '\n';
        }
      }
    } else {
      found = collected.find(Terminator, searchFrom);
      endLength = Terminator.size();
    }
    // The limit is on the line; bytes of later lines read along with it do not count.
    const std::size_t lineLength = found != std::string::npos ? found : collected.size();
    if (FMaxLineLength != 0 && lineLength > static_cast<std::size_t>(FMaxLineLength)) {
      found = std::string::npos;
      SetLastError(WSAENOBUFS);
      break;
    }
    if (found != std::string::npos)
      break;
    if (!anyLineEnd && collected.size() >= Terminator.size())
      searchFrom = collected.size() - Terminator.size() + 1;
    else if (anyLineEnd)
      searchFrom = collected.size();
    if (!FInterPacketTimeout && timeLeft >= 0) {
      timeLeft -= static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
      if (timeLeft <= 0) {
        SetLastError(WSAETIMEDOUT);
        break;
      }
    }
  }
  if (found == std::string::npos) {
    FBuffer = collected + FBuffer;
    return {};
  }
  FBuffer = collected.substr(found + endLength) + FBuffer;
  FLastCR = loneCR;
  FLastLF = loneLF;
  collected.resize(found);
  return collected;
}

std::string TBlockSocket::RecvString(int Timeout) {
  std::string line = RecvTerminated(Timeout, "\r\n");
  if (FLastError != 0)
    line.clear();
  return line;
}

void TBlockSocket::RecvStreamSize(TStream& Stream, int Timeout, std::int64_t Size) {
  ResetLastError();
  const std::int64_t chunk = FSendMaxChunk;
  for (std::int64_t i = 0; i < Size / chunk; ++i) {
    const std::string piece = RecvBufferStr(static_cast<int>(chunk), Timeout);
    if (FLastError != 0)
      return;
    Stream.Write(piece.data(), static_cast<std::int64_t>(piece.size()));
  }
  const int rest = static_cast<int>(Size % chunk);
  if (rest > 0) {
    const std::string piece = RecvBufferStr(rest, Timeout);
    if (FLastError == 0)
      Stream.Write(piece.data(), static_cast<std::int64_t>(piece.size()));
  }
}

void TBlockSocket::CloseSocket() {
  if (FSocket >= 0) {
    if (FLastError == 0) {
      ::shutdown(FSocket, SHUT_WR);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      // Bounded, so that a peer that never stops sending cannot hold the caller here.
      std::size_t discarded = 0;
      while ((!FBuffer.empty() || WaitingData() >= 1) && discarded < kMaxPurgeBytes) {
        discarded += RecvPacket(0).size();
        if (FLastError != 0)
          break;
      }
      ResetLastError();
    }
    ::close(FSocket);
    FSocket = -1;
    FFamily = FFamilySave;
    FLocalIP.clear();
    FRemoteIP.clear();
    FLocalPort = 0;
    FRemotePort = 0;
    FDelayedOptions.clear();
  }
  FBuffer.clear();
  FLastCR = false;
  FLastLF = false;
}

} // namespace sondrix
