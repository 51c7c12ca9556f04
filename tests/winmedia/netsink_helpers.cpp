#include "netsink_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace sondrix::nettest {

namespace {

using Clock = std::chrono::steady_clock;

void putLe(Bytes& b, std::size_t at, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) {
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

const std::uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                      0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const std::uint8_t kDataGuid[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const std::uint8_t kFileGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                    0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const std::uint8_t kPaddingGuid[16] = {0x74, 0xD4, 0x06, 0x18, 0xDF, 0xCA, 0x09, 0x45,
                                       0xA4, 0xBA, 0x9A, 0xAB, 0xCB, 0x96, 0xAA, 0xE8};

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

Bytes SyntheticAsf::stream() const {
  Bytes all = blob;
  for (const auto& p : packets) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

SyntheticAsf makeAsf(std::size_t packetCount, const AsfShape& shape) {
  SyntheticAsf asf;
  Bytes& b = asf.blob;
  const std::size_t fileProps = shape.withFileProperties ? 104 : 0;
  const std::size_t padding = shape.paddingObjectBytes ? 24 + shape.paddingObjectBytes : 0;
  const std::size_t headerSize = 30 + fileProps + padding;
  b.assign(headerSize + 50, 0);
  std::memcpy(b.data(), kHeaderGuid, 16);
  putLe(b, 16, headerSize, 8);
  putLe(b, 24, shape.withFileProperties ? 2 : 1, 4);
  b[28] = 1;
  b[29] = 2;
  std::size_t at = 30;
  if (shape.withFileProperties) {
    std::memcpy(b.data() + at, kFileGuid, 16);
    putLe(b, at + 16, 104, 8);
    putLe(b, at + 80, shape.prerollMs, 8);
    putLe(b, at + 88, 1, 4); // broadcast
    putLe(b, at + 92, shape.minPacketSize ? shape.minPacketSize : shape.packetSize, 4);
    putLe(b, at + 96, shape.packetSize, 4);
    putLe(b, at + 100, shape.maxBitrate, 4);
    at += 104;
  }
  if (padding) {
    std::memcpy(b.data() + at, kPaddingGuid, 16);
    putLe(b, at + 16, padding, 8);
    at += padding;
  }
  std::memcpy(b.data() + at, kDataGuid, 16);
  putLe(b, at + 16, 50, 8);
  b[at + 48] = 1;
  b[at + 49] = 1;
  for (std::size_t i = 0; i < packetCount; ++i) {
    Bytes p(shape.packetSize, static_cast<std::uint8_t>(0x80 | (i & 0x7F)));
    putLe(p, 0, i, 8);
    asf.packets.push_back(std::move(p));
  }
  return asf;
}

std::uint64_t packetIndex(const std::uint8_t* packet) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = (v << 8) | packet[i];
  }
  return v;
}

bool parseChunkHead(const std::uint8_t* p, ChunkHead& out) {
  if (p[0] != 0x24 || (p[1] != 'H' && p[1] != 'D')) {
    return false;
  }
  out.type = static_cast<char>(p[1]);
  out.length = static_cast<std::uint16_t>(p[2] | (p[3] << 8));
  out.location = static_cast<std::uint32_t>(p[4] | (p[5] << 8) | (p[6] << 16)) |
                 (static_cast<std::uint32_t>(p[7]) << 24);
  out.afFlags = p[9];
  const auto packetSize = static_cast<std::uint16_t>(p[10] | (p[11] << 8));
  return p[8] == 0 && packetSize == out.length;
}

TestClient::TestClient(std::uint16_t port, int receiveBuffer, const std::string& from) {
  FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) {
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  if (!from.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(FFd);
    FFd = -1;
  }
}

TestClient::~TestClient() {
  if (FFd >= 0) {
    ::close(FFd);
  }
}

bool TestClient::send(const std::string& text) {
  return send(Bytes(text.begin(), text.end()));
}

bool TestClient::send(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string TestClient::readHead(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  Bytes buffer = std::move(FPending);
  FPending.clear();
  while (true) {
    const std::string text(buffer.begin(), buffer.end());
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
      FPending.assign(buffer.begin() + static_cast<std::ptrdiff_t>(end + 4), buffer.end());
      return text.substr(0, end + 4);
    }
    pollfd pfd{FFd, POLLIN, 0};
    if (::poll(&pfd, 1, remainingMs(deadline)) <= 0) {
      return {};
    }
    std::uint8_t chunk[4096];
    const ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      return {};
    }
    buffer.insert(buffer.end(), chunk, chunk + n);
  }
}

bool TestClient::readExactly(std::size_t n, Bytes& out, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const std::size_t fromPending = std::min(n, FPending.size());
  out.insert(out.end(), FPending.begin(),
             FPending.begin() + static_cast<std::ptrdiff_t>(fromPending));
  FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(fromPending));
  n -= fromPending;
  while (n > 0) {
    pollfd pfd{FFd, POLLIN, 0};
    if (::poll(&pfd, 1, remainingMs(deadline)) <= 0) {
      return false;
    }
    const std::size_t before = out.size();
    out.resize(before + n);
    const ssize_t got = ::recv(FFd, out.data() + before, n, 0);
    if (got <= 0) {
      out.resize(before);
      return false;
    }
    out.resize(before + static_cast<std::size_t>(got));
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool TestClient::readToEof(Bytes& out, std::chrono::milliseconds limit, std::size_t maxBytes) {
  const auto deadline = Clock::now() + limit;
  out.insert(out.end(), FPending.begin(), FPending.end());
  FPending.clear();
  while (out.size() < maxBytes) {
    pollfd pfd{FFd, POLLIN, 0};
    if (::poll(&pfd, 1, remainingMs(deadline)) <= 0) {
      return false;
    }
    std::uint8_t chunk[16384];
    const ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
    if (n == 0) {
      return true;
    }
    if (n < 0) {
      return errno == ECONNRESET;
    }
    out.insert(out.end(), chunk, chunk + n);
  }
  return false;
}

bool TestClient::waitClosed(std::chrono::milliseconds limit) {
  Bytes sink;
  return readToEof(sink, limit);
}

std::string getRequest(const std::string& path, const std::string& extraHeaders) {
  return "GET " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Lavf/59.27.100\r\nAccept: */*\r\n"
         "Range: bytes=0-\r\nIcy-MetaData: 1\r\n" +
         extraHeaders + "\r\n";
}

std::string describeRequest() {
  return "GET / HTTP/1.1\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nAccept: */*\r\nRange: bytes=0-\r\n"
         "Pragma: no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,request-context=1,"
         "max-duration=0\r\nPragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\n"
         "Connection: Close\r\n\r\n";
}

std::string playRequest() {
  // As FFmpeg 5.1 sends it, with its last line missing the CRLF.
  return "GET / HTTP/1.1\r\nUser-Agent: NSPlayer/4.1.0.3856\r\nAccept: */*\r\n"
         "Pragma: no-cache,rate=1.000000,request-context=2\r\nPragma: xPlayStrm=1\r\n"
         "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\n"
         "Pragma: stream-switch-count=1\r\nPragma: stream-switch-entry=ffff:1:0\r\n"
         "Pragma: no-cache,rate=1.000000,stream-time=0Connection: Close\r\n\r\n";
}

HRESULT StatusRecorder::OnStatus(WMT_STATUS Status, HRESULT, WMT_ATTR_DATATYPE dwType,
                                 const std::uint8_t* pValue, void* pvContext) {
  std::uint32_t id = 0;
  if (dwType == WMT_TYPE_DWORD && pValue != nullptr) {
    std::memcpy(&id, pValue, 4);
  }
  std::lock_guard lock(FLock);
  FContext = pvContext;
  if (Status == WMT_CLIENT_CONNECT_EX) {
    FConnected.push_back(id);
  } else if (Status == WMT_CLIENT_DISCONNECT_EX) {
    FDisconnected.push_back(id);
  }
  FChanged.notify_all();
  return S_OK;
}

int StatusRecorder::connects() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FConnected.size());
}

int StatusRecorder::disconnects() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FDisconnected.size());
}

bool StatusRecorder::waitFor(const std::function<bool(int, int)>& condition,
                             std::chrono::milliseconds limit) const {
  std::unique_lock lock(FLock);
  return FChanged.wait_for(lock, limit, [&] {
    return condition(static_cast<int>(FConnected.size()), static_cast<int>(FDisconnected.size()));
  });
}

std::vector<std::uint32_t> StatusRecorder::disconnectedIds() const {
  std::lock_guard lock(FLock);
  return FDisconnected;
}

std::vector<std::uint32_t> StatusRecorder::connectedIds() const {
  std::lock_guard lock(FLock);
  return FConnected;
}

void* StatusRecorder::lastContext() const {
  std::lock_guard lock(FLock);
  return FContext;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Bytes runCommand(const std::string& command, int* exitCode) {
  Bytes out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (exitCode != nullptr) {
      *exitCode = -1;
    }
    return out;
  }
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    out.insert(out.end(), chunk, chunk + n);
  }
  const int status = ::pclose(pipe);
  if (exitCode != nullptr) {
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return out;
}

bool haveFfmpeg() {
  int code = 0;
  runCommand("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1", &code);
  return code == 0;
}

} // namespace sondrix::nettest
