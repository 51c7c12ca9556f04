#pragma once

#include "winmedia/runtime/writer_sink.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sondrix::nettest {

using Bytes = std::vector<std::uint8_t>;

// A small but well-formed live ASF stream: header object with a File Properties object,
// a 50-byte data object head, then packets whose first 8 bytes hold their index (LE64) and
// whose other bytes are a pattern of that index.
struct SyntheticAsf {
  Bytes blob; // header object + data object head
  std::vector<Bytes> packets;
  Bytes stream() const; // blob followed by every packet
};

struct AsfShape {
  std::uint32_t packetSize = 400;
  std::uint32_t minPacketSize = 0; // 0 = packetSize
  std::uint64_t prerollMs = 1000;
  std::uint32_t maxBitrate = 32000;   // with 400-byte packets and 1 s: a 10-packet burst
  std::size_t paddingObjectBytes = 0; // extra header object, to make the header larger
  bool withFileProperties = true;
};

SyntheticAsf makeAsf(std::size_t packetCount, const AsfShape& shape = {});
std::uint64_t packetIndex(const std::uint8_t* packet);

// Reads a 12-byte $H/$D prefix; false if it is not one of those or its two lengths differ.
struct ChunkHead {
  char type = 0;
  std::uint16_t length = 0; // L: payload + 8
  std::uint32_t location = 0;
  std::uint8_t afFlags = 0;
};
bool parseChunkHead(const std::uint8_t* p, ChunkHead& out);

// A blocking loopback client with time limits on every read.
class TestClient {
public:
  // from: the local IPv4 address to connect from (any of 127.0.0.0/8), empty = any.
  explicit TestClient(std::uint16_t port, int receiveBuffer = 0, const std::string& from = {});
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return FFd >= 0; }
  bool send(const std::string& text);
  bool send(const Bytes& bytes);
  // Reads until the response head ends; returns it (with the blank line), empty on failure.
  std::string readHead(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Reads exactly n more bytes (after what readHead left over); false on EOF/time-out.
  bool readExactly(std::size_t n, Bytes& out,
                   std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Reads until EOF; false on time-out. Appends to out.
  bool readToEof(Bytes& out, std::chrono::milliseconds limit = std::chrono::seconds(5),
                 std::size_t maxBytes = 64u << 20);
  // True if the peer closed (EOF or reset) within limit, discarding data meanwhile.
  bool waitClosed(std::chrono::milliseconds limit);
  int fd() const { return FFd; }

private:
  int FFd = -1;
  Bytes FPending; // read past the response head
};

std::string getRequest(const std::string& path = "/", const std::string& extraHeaders = "");
std::string describeRequest();
std::string playRequest();

// Records connect/disconnect status callbacks.
class StatusRecorder : public IWMStatusCallback {
public:
  HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                   const std::uint8_t* pValue, void* pvContext) override;
  int connects() const;
  int disconnects() const;
  bool waitFor(const std::function<bool(int connects, int disconnects)>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
  std::vector<std::uint32_t> disconnectedIds() const;
  std::vector<std::uint32_t> connectedIds() const;
  void* lastContext() const;

private:
  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  std::vector<std::uint32_t> FConnected;
  std::vector<std::uint32_t> FDisconnected;
  void* FContext = nullptr;
};

// Polls condition until true or the limit passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(5));

// Runs a shell command and returns its standard output (binary-safe); exitCode gets status.
Bytes runCommand(const std::string& command, int* exitCode = nullptr);

bool haveFfmpeg();

} // namespace sondrix::nettest
