#include "wake_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sondrix {

TWakePipe::TWakePipe() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("Cannot create a pipe: ") + std::strerror(errno));
  FRead = fds[0];
  FWrite = fds[1];
}

TWakePipe::~TWakePipe() {
  ::close(FRead);
  ::close(FWrite);
}

void TWakePipe::notify(int WriteFd) {
  const int saved = errno;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t ignored = ::write(WriteFd, "!", 1);
  errno = saved;
}

short TWakePipe::Wait(std::chrono::milliseconds Timeout, int Fd) {
  pollfd fds[2] = {{FRead, POLLIN, 0}, {Fd, POLLIN, 0}};
  if (::poll(fds, Fd >= 0 ? 2 : 1, static_cast<int>(Timeout.count())) <= 0)
    return 0;
  char drain[64];
  while (::read(FRead, drain, sizeof drain) > 0) {
  }
  return Fd >= 0 ? fds[1].revents : 0;
}

} // namespace sondrix
