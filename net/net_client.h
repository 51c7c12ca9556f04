#pragma once

#include <string>

namespace sondrix {

// The common base of the socket clients: where to connect from and to, the wait limit of
// each receive (milliseconds) and default credentials. One thread uses a client.
class TNetClient {
public:
  TNetClient() = default;
  virtual ~TNetClient() = default;
  TNetClient(const TNetClient&) = delete;
  TNetClient& operator=(const TNetClient&) = delete;

  const std::string& TargetHost() const { return FTargetHost; }
  void SetTargetHost(std::string v) { FTargetHost = std::move(v); }
  const std::string& TargetPort() const { return FTargetPort; }
  void SetTargetPort(std::string v) { FTargetPort = std::move(v); }
  const std::string& IPInterface() const { return FIPInterface; }
  void SetIPInterface(std::string v) { FIPInterface = std::move(v); }
  int Timeout() const { return FTimeout; }
  void SetTimeout(int v) { FTimeout = v; }
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string v) { FUserName = std::move(v); }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string v) { FPassword = std::move(v); }

protected:
  std::string FTargetHost = "127.0.0.1";
  std::string FTargetPort = "0";
  std::string FIPInterface = "0.0.0.0";
  int FTimeout = 5000;
  std::string FUserName;
  std::string FPassword;
};

} // namespace sondrix
