#include "net/tcp_block_socket.h"

#include "net/socket_errors.h"
#include "net/url_codec.h"

#include <netdb.h>

namespace sondrix {

namespace {

// The decimal port of a number or a service name (unchanged when it is neither).
std::string portNumber(const std::string& port) {
  if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos)
    return port;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(nullptr, port.c_str(), &hints, &list) != 0)
    return port;
  std::string result = port;
  if (list->ai_family == AF_INET)
    result = std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_port));
  else if (list->ai_family == AF_INET6)
    result = std::to_string(ntohs(reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_port));
  ::freeaddrinfo(list);
  return result;
}

} // namespace

TTCPBlockSocket::TTCPBlockSocket() : FSSL(std::make_unique<TSSLNone>()) {}

TTCPBlockSocket::~TTCPBlockSocket() = default;

void TTCPBlockSocket::Connect(const std::string& IP, const std::string& Port) {
  if (FHTTPTunnelIP.empty()) {
    connectDirect(IP, Port);
    return;
  }
  FHTTPTunnel = false;
  connectDirect(FHTTPTunnelIP, FHTTPTunnelPort);
  if (FLastError != 0)
    return;
  const std::string host = IsIP6(IP) ? "[" + IP + "]" : IP;
  std::string request = "CONNECT " + host + ":" + portNumber(Port) + " HTTP/1.0\r\n";
  if (!FHTTPTunnelUser.empty())
    request += "Proxy-Authorization: Basic " +
               EncodeBase64(FHTTPTunnelUser + ":" + FHTTPTunnelPass) + "\r\n";
  request += "\r\n";
  SendString(request);
  if (FLastError != 0)
    return;
  for (;;) {
    const std::string line = RecvTerminated(FHTTPTunnelTimeout, "\n");
    if (FLastError != 0 || line.empty() || line == "\r")
      break;
    if (line.size() > 11 && line.compare(0, 5, "HTTP/") == 0)
      FHTTPTunnel = line[9] == '2';
  }
  if (FLastError == 0 && !FHTTPTunnel)
    SetLastError(WSASYSNOTREADY);
}

void TTCPBlockSocket::SSLDoConnect() {
  ResetLastError();
  if (!FSSL->Connect(FSocket))
    SetLastError(WSASYSNOTREADY);
}

void TTCPBlockSocket::CloseSocket() {
  if (FSSL->SSLEnabled())
    FSSL->Shutdown();
  TBlockSocket::CloseSocket();
}

} // namespace sondrix
