#include "netsink_broadcast.h"

#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace sondrix::nettest {

Broadcast::Broadcast(NetServerOptions options, AsfShape shape, std::chrono::milliseconds interval)
    : FServer(options, *this), FAsf(makeAsf(64, shape)), FInterval(interval) {
  if (FAILED(FServer.open(0, &FPort))) {
    throw std::runtime_error("the test server did not open");
  }
  restart();
  FFeeder = std::thread([this] {
    auto next = std::chrono::steady_clock::now();
    for (std::size_t i = 0; !FStop; ++i) {
      feed(FAsf.packets[i % FAsf.packets.size()]);
      ++FPublished;
      next += FInterval;
      std::this_thread::sleep_until(next);
    }
  });
}

Broadcast::~Broadcast() {
  FStop = true;
  FFeeder.join();
  FServer.close();
}

void Broadcast::restart() {
  std::lock_guard lock(FFeedLock);
  FSplitter.reset();
  std::vector<NetItem> items;
  FSplitter.feed(FAsf.blob.data(), FAsf.blob.size(), items);
  FServer.publish(items);
}

double Broadcast::bytesPerSecond() const {
  return static_cast<double>(framedPacketBytes()) * 1000.0 / static_cast<double>(FInterval.count());
}

void Broadcast::feed(const Bytes& bytes) {
  std::lock_guard lock(FFeedLock);
  std::vector<NetItem> items;
  FSplitter.feed(bytes.data(), bytes.size(), items);
  FServer.publish(items);
}

HealthyListener::HealthyListener(std::uint16_t port) : FClient(port) {
  if (!FClient.send(playRequest()) || !FClient.readHead().starts_with("HTTP/1.0 200 OK\r\n")) {
    return;
  }
  FOpen = true;
  FReader = std::thread([this] {
    std::uint8_t buffer[65536];
    while (!FStop) {
      pollfd pfd{FClient.fd(), POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) {
        continue;
      }
      const ssize_t n = ::recv(FClient.fd(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        FOpen = false;
        return;
      }
      FBody += static_cast<std::uint64_t>(n);
    }
  });
}

HealthyListener::~HealthyListener() {
  FStop = true;
  if (FReader.joinable()) {
    FReader.join();
  }
}

} // namespace sondrix::nettest
