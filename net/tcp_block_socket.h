#pragma once

#include "net/block_socket.h"

#include <memory>
#include <string>

namespace sondrix {

// The TLS plug-in point. The only plug-in present carries no TLS: every start fails.
class TSSLNone {
public:
  virtual ~TSSLNone() = default;
  // Starts TLS on an open connection; false when it could not be established.
  virtual bool Connect(int /*socket*/) { return false; }
  virtual void Shutdown() {}
  bool SSLEnabled() const { return FSSLEnabled; }

protected:
  bool FSSLEnabled = false;
};

// TCP socket with an optional HTTP CONNECT tunnel and the TLS plug-in.
// Thread and error contract as TBlockSocket.
class TTCPBlockSocket : public TBlockSocket {
public:
  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  // With HTTPTunnelIP set, connects to the tunnel proxy and asks it for IP:Port;
  // a refused tunnel leaves 10091.
  void Connect(const std::string& IP, const std::string& Port) override;
  void CloseSocket() override;

  // Starts TLS through the plug-in; without TLS this fails with 10091.
  void SSLDoConnect();
  TSSLNone& SSL() { return *FSSL; }

  const std::string& HTTPTunnelIP() const { return FHTTPTunnelIP; }
  void SetHTTPTunnelIP(std::string v) { FHTTPTunnelIP = std::move(v); }
  const std::string& HTTPTunnelPort() const { return FHTTPTunnelPort; }
  void SetHTTPTunnelPort(std::string v) { FHTTPTunnelPort = std::move(v); }
  const std::string& HTTPTunnelUser() const { return FHTTPTunnelUser; }
  void SetHTTPTunnelUser(std::string v) { FHTTPTunnelUser = std::move(v); }
  const std::string& HTTPTunnelPass() const { return FHTTPTunnelPass; }
  void SetHTTPTunnelPass(std::string v) { FHTTPTunnelPass = std::move(v); }
  int HTTPTunnelTimeout() const { return FHTTPTunnelTimeout; }
  void SetHTTPTunnelTimeout(int v) { FHTTPTunnelTimeout = v; }
  bool HTTPTunnel() const { return FHTTPTunnel; }

private:
  std::unique_ptr<TSSLNone> FSSL;
  std::string FHTTPTunnelIP;
  std::string FHTTPTunnelPort;
  std::string FHTTPTunnelUser;
  std::string FHTTPTunnelPass;
  bool FHTTPTunnel = false;
  int FHTTPTunnelTimeout = 30000;
};

} // namespace sondrix
