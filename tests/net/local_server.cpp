#include "local_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace sondrix::testing {

namespace {

using Clock = std::chrono::steady_clock;

int listenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind failed");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

int msLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

void Gate::open() {
  std::lock_guard lock(FLock);
  FOpen = true;
  FCond.notify_all();
}

bool Gate::wait(int timeoutMs) {
  std::unique_lock lock(FLock);
  return FCond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FOpen; });
}

bool ServerConnection::send(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(FFd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ServerConnection::readSome(std::string& into, int timeoutMs) {
  pollfd pfd{FFd, POLLIN, 0};
  if (::poll(&pfd, 1, timeoutMs) <= 0)
    return false;
  char buffer[65536];
  const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
  if (n <= 0)
    return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string ServerConnection::readRequest(int timeoutMs, bool withBody) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string data = std::move(FPending);
  FPending.clear();
  std::size_t end;
  while ((end = data.find("\r\n\r\n")) == std::string::npos)
    if (!readSome(data, msLeft(deadline)))
      return data;
  end += 4;
  std::size_t bodySize = 0;
  const std::size_t at = data.find("Content-Length: ");
  if (withBody && at != std::string::npos && at < end)
    bodySize = std::stoul(data.substr(at + 16));
  while (data.size() < end + bodySize)
    if (!readSome(data, msLeft(deadline)))
      break;
  const std::size_t total = std::min(data.size(), end + bodySize);
  FPending = data.substr(total);
  data.resize(total);
  std::lock_guard lock(FServer.FLock);
  FServer.FRequests.push_back(data);
  return data;
}

std::string ServerConnection::readBytes(std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string data = std::move(FPending);
  FPending.clear();
  while (data.size() < count)
    if (!readSome(data, msLeft(deadline)))
      break;
  if (data.size() > count) {
    FPending = data.substr(count);
    data.resize(count);
  }
  return data;
}

bool ServerConnection::waitForClose(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd pfd{FFd, POLLIN, 0};
    if (::poll(&pfd, 1, msLeft(deadline)) <= 0)
      return false;
    char buffer[4096];
    const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
    if (n == 0)
      return true;
    if (n < 0)
      return errno == ECONNRESET;
  }
}

void ServerConnection::holdOpen() {
  FServer.FRelease.wait(30000);
}

LocalServer::LocalServer(Handler handler) : FHandler(std::move(handler)) {
  FListen = listenOnLoopback(FPort);
  if (::listen(FListen, 8) != 0) {
    ::close(FListen);
    throw std::runtime_error("listen failed");
  }
  FThread = std::thread([this] { run(); });
}

LocalServer::~LocalServer() {
  FStop = true;
  FRelease.open();
  FThread.join();
  ::close(FListen);
}

std::string LocalServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

std::vector<std::string> LocalServer::requests() {
  std::lock_guard lock(FLock);
  return FRequests;
}

bool LocalServer::waitHandled(int count, int timeoutMs) {
  std::unique_lock lock(FLock);
  return FHandledCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return FHandled >= count; });
}

void LocalServer::run() {
  while (!FStop) {
    pollfd pfd{FListen, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0)
      continue;
    const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    ++FAccepted;
    {
      ServerConnection connection(*this, fd);
      FHandler(connection);
    }
    ::close(fd);
    std::lock_guard lock(FLock);
    ++FHandled;
    FHandledCond.notify_all();
  }
}

int unusedPort() {
  int port = 0;
  const int fd = listenOnLoopback(port);
  ::close(fd);
  return port;
}

} // namespace sondrix::testing
