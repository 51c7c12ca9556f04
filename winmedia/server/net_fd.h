#pragma once

#include <unistd.h>

#include <utility>

namespace sondrix {

// Owns one file descriptor; closes it on destruction.
class NetFd {
public:
  NetFd() = default;
  explicit NetFd(int fd) : FFd(fd) {}
  NetFd(NetFd&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  NetFd& operator=(NetFd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.FFd, -1));
    }
    return *this;
  }
  NetFd(const NetFd&) = delete;
  NetFd& operator=(const NetFd&) = delete;
  ~NetFd() { reset(); }

  int get() const { return FFd; }
  bool valid() const { return FFd >= 0; }
  void reset(int fd = -1) {
    if (FFd >= 0) {
      ::close(FFd);
    }
    FFd = fd;
  }

private:
  int FFd = -1;
};

} // namespace sondrix
