#pragma once

#include "base/stream.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

enum class TSocketFamily { SF_Any, SF_IP4, SF_IP6 };

// A blocking TCP connection with an internal receive buffer, so that line reads and
// exact-size reads can be mixed. Operations never throw for network trouble: each records
// its outcome in LastError (0 = success, codes of net/socket_errors.h) and returns normally,
// with short or empty data on error.
//
// Thread: one thread uses an object; only SetStopFlag may be called from another thread.
// Timeouts are in milliseconds: -1 waits without limit, 0 only tests.
class TBlockSocket {
public:
  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  // Resolves IP (a literal or a host name; IPv4 first for names) and Port (a number or a
  // service name), creates the socket when needed and connects with the platform's own
  // connect time limit. A resolver failure leaves 11001..11004.
  virtual void Connect(const std::string& IP, const std::string& Port);
  // Does nothing for "0.0.0.0":"0" before the socket exists; else creates it and binds.
  void Bind(const std::string& IP, const std::string& Port);

  // Sends in pieces of at most SendMaxChunk bytes; returns the bytes the platform took.
  int SendBuffer(const void* Buffer, int Length);
  void SendString(const std::string& Data);
  // One platform receive of at most Length bytes; 0 bytes received means the peer closed
  // (10054). Bypasses the internal buffer.
  int RecvBuffer(void* Buffer, int Length);

  // Bytes the platform holds ready, at most 65536.
  int WaitingData();
  // Waits until data can be read or the connection closed (true) or Timeout passed.
  bool CanRead(int Timeout);
  bool CanWrite(int Timeout);

  // The buffered bytes if any, else what one wait brings (10060 after Timeout,
  // 10054 when the peer has closed).
  std::string RecvPacket(int Timeout);
  // Reads exactly Len bytes into Buffer unless an error occurs; returns the bytes copied.
  // Bytes of the last packet beyond Len stay buffered.
  int RecvBufferEx(void* Buffer, int Len, int Timeout);
  std::string RecvBufferStr(int Len, int Timeout);
  // Reads up to Terminator, which is dropped. With ConvertLineEnd and CR LF any of CR, LF,
  // CR LF, LF CR ends the line. On error the partial line stays buffered.
  std::string RecvTerminated(int Timeout, const std::string& Terminator);
  std::string RecvString(int Timeout);
  // Appends Size bytes to Stream in chunks of SendMaxChunk; stops at the first error.
  void RecvStreamSize(TStream& Stream, int Timeout, std::int64_t Size);

  // Shuts down sending, discards what the peer still sends (bounded), and closes.
  virtual void CloseSocket();

  void ResetLastError();
  // For a platform result of -1, records the mapped platform error; returns LastError.
  // "Would block" and "in progress" are not errors here.
  int SockCheck(int SockResult);
  // Records a code of the caller's own (for example a limit it enforces).
  void SetLastError(int ErrorCode);

  int LastError() const { return FLastError; }
  const std::string& LastErrorDesc() const { return FLastErrorDesc; }
  int Socket() const { return FSocket; }
  bool IsOpen() const { return FSocket >= 0; }
  // Received bytes not yet handed out.
  const std::string& LineBuffer() const { return FBuffer; }

  bool ConvertLineEnd() const { return FConvertLineEnd; }
  void SetConvertLineEnd(bool v) { FConvertLineEnd = v; }
  // After Deadline every wait for data or room fails at once with 10060, however the peer
  // trickles: the bound of a whole exchange, where Timeout bounds each wait. nullopt: none.
  void SetDeadline(std::optional<std::chrono::steady_clock::time_point> v) { FDeadline = v; }
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int v) { FMaxLineLength = v; }
  int MaxSendBandwidth() const { return FMaxSendBandwidth; }
  void SetMaxSendBandwidth(int v) { FMaxSendBandwidth = v; }
  int MaxRecvBandwidth() const { return FMaxRecvBandwidth; }
  void SetMaxRecvBandwidth(int v) { FMaxRecvBandwidth = v; }
  TSocketFamily Family() const { return FFamily; }
  void SetFamily(TSocketFamily v) { FFamily = v; }
  bool PreferIP4() const { return FPreferIP4; }
  void SetPreferIP4(bool v) { FPreferIP4 = v; }
  bool InterPacketTimeout() const { return FInterPacketTimeout; }
  void SetInterPacketTimeout(bool v) { FInterPacketTimeout = v; }
  int SendMaxChunk() const { return FSendMaxChunk; }
  void SetSendMaxChunk(int v) { FSendMaxChunk = v > 0 ? v : 1; }
  int NonblockSendTimeout() const { return FNonblockSendTimeout; }
  void SetNonblockSendTimeout(int v) { FNonblockSendTimeout = v; }
  bool StopFlag() const { return FStopFlag.load(); }
  void SetStopFlag(bool v) { FStopFlag.store(v); }

  // Queued until the socket exists (or applied at once when it does).
  void SetSizeRecvBuffer(int Size);
  void SetSizeSendBuffer(int Size);

  // Addresses recorded by Connect; empty / 0 when not connected.
  const std::string& GetLocalSinIP() const { return FLocalIP; }
  int GetLocalSinPort() const { return FLocalPort; }
  const std::string& GetRemoteSinIP() const { return FRemoteIP; }
  int GetRemoteSinPort() const { return FRemotePort; }

  // Most bytes CloseSocket discards from a peer that keeps sending.
  static constexpr std::size_t kMaxPurgeBytes = 1 << 20;

protected:
  struct DelayedOption {
    int level;
    int name;
    int value;
  };

  // Connect without the tunnel step; TTCPBlockSocket adds the tunnel around it.
  void connectDirect(const std::string& IP, const std::string& Port);
  bool stopRequested();
  void applyOption(const DelayedOption& option);
  void recordPeerAddresses();
  void limitBandwidth(int bytes, int maxBandwidth, std::chrono::steady_clock::time_point& next);
  bool createSocket(int family);
  // CanRead/CanWrite for poll's Events, within the whole-transfer deadline.
  bool canDo(short Events, int Timeout);

  int FSocket = -1;
  std::string FBuffer;
  bool FRaiseExcept = false;
  bool FConvertLineEnd = false;
  bool FLastCR = false;
  bool FLastLF = false;
  int FMaxLineLength = 0;
  std::optional<std::chrono::steady_clock::time_point> FDeadline;
  int FMaxSendBandwidth = 0;
  int FMaxRecvBandwidth = 0;
  TSocketFamily FFamily = TSocketFamily::SF_Any;
  TSocketFamily FFamilySave = TSocketFamily::SF_Any;
  bool FPreferIP4 = true;
  std::vector<DelayedOption> FDelayedOptions;
  bool FInterPacketTimeout = true;
  int FSendMaxChunk = 65536;
  std::atomic<bool> FStopFlag{false};
  int FNonblockSendTimeout = 15000;
  int FLastError = 0;
  std::string FLastErrorDesc;

  std::string FLocalIP, FRemoteIP;
  int FLocalPort = 0, FRemotePort = 0;
  std::chrono::steady_clock::time_point FNextSend{}, FNextRecv{};
};

} // namespace sondrix
