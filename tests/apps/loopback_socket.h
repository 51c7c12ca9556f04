#pragma once

// A blocking loopback HTTP client with time limits, for the end-to-end tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

namespace sondrix::test {

using namespace std::chrono_literals;

// A loopback HTTP client: connects, sends, reads what comes within a time limit.
class Socket {
public:
  explicit Socket(std::uint16_t port) : FFd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(FFd);
      FFd = -1;
    }
  }
  ~Socket() {
    if (FFd >= 0)
      ::close(FFd);
  }
  bool connected() const { return FFd >= 0; }
  bool send(const std::string& text) {
    return FFd >= 0 &&
           ::send(FFd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // Appends n bytes; false on EOF or when the limit passes first.
  bool read(std::size_t n, std::string& out, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (n > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{FFd, POLLIN, 0};
      if (FFd < 0 || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        return false;
      char buf[8192];
      const ssize_t got = ::recv(FFd, buf, std::min(n, sizeof buf), 0);
      if (got <= 0)
        return false;
      out.append(buf, static_cast<std::size_t>(got));
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  std::string readHead() {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384 && read(1, head)) {
    }
    return head;
  }

private:
  int FFd;
};

} // namespace sondrix::test
