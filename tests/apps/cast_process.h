#pragma once

// sondrix-cast as a child process, for the end-to-end tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sondrix::test {

using namespace std::chrono_literals;

inline bool haveFfmpeg() {
  return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

inline int run(const std::string& command) {
  return std::system(command.c_str());
}

inline std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// Waits until the station on the port answers its status page: the port opens a moment after
// "On air", and until the output has described the station the answer is 503.
// A connection to the port on loopback with Request sent on it; -1 when either fails.
inline int connectAndSend(std::uint16_t port, const std::string& Request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
      ::send(fd, Request.data(), Request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(Request.size()))
    return fd;
  ::close(fd);
  return -1;
}

inline bool waitUntilServing(std::uint16_t port, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const int fd = connectAndSend(port, "GET /status.json HTTP/1.0\r\n\r\n");
    char head[12] = {};
    std::size_t got = 0;
    if (fd >= 0) {
      const timeval wait{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      ssize_t n = 0;
      while (got < sizeof head && (n = ::recv(fd, head + got, sizeof head - got, 0)) > 0)
        got += static_cast<std::size_t>(n);
      ::close(fd);
    }
    if (got == sizeof head && std::string(head + 8, 4) == " 200")
      return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// sondrix-cast as a child process whose output lines are collected. With Journal, its output
// is announced as systemd's journal, as a service's would be.
class CastProcess {
public:
  explicit CastProcess(const std::vector<std::string>& args, bool Journal = false) {
    int fds[2];
    int input[2];
    if (::pipe(fds) != 0 || ::pipe(input) != 0)
      throw std::runtime_error("pipe");
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(fds[1], 1);
      ::dup2(fds[1], 2);
      ::dup2(input[0], 0);
      ::close(fds[0]);
      ::close(input[1]);
      struct stat out {};
      if (Journal && ::fstat(1, &out) == 0)
        ::setenv("JOURNAL_STREAM",
                 (std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino)).c_str(), 1);
      std::vector<char*> argv;
      std::string binary = SONDRIX_CAST_BINARY;
      argv.push_back(binary.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    ::close(input[0]);
    FInput = input[1];
    FReader = std::thread([this, fd = fds[0]] {
      char buf[4096];
      std::string partial;
      ssize_t n;
      while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        std::lock_guard lock(FMutex);
        FOutput.append(buf, static_cast<std::size_t>(n));
      }
      ::close(fd);
    });
  }
  ~CastProcess() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FReader.joinable())
      FReader.join();
    if (FInput >= 0)
      ::close(FInput);
  }
  // Writes to the program's standard input (a pipe kept open until the object goes).
  void Send(const std::string& text) {
    if (::write(FInput, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
      throw std::runtime_error("cannot write to sondrix-cast");
  }
  std::string Output() {
    std::lock_guard lock(FMutex);
    return FOutput;
  }
  bool WaitForText(const std::string& text, std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      if (Output().find(text) != std::string::npos)
        return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // Sends the signal and goes on.
  void Raise(int sig) { ::kill(FPid, sig); }
  // Sends the signal and waits up to timeout; returns the exit status, or -1.
  int Signal(int sig, std::chrono::seconds timeout) {
    ::kill(FPid, sig);
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

private:
  pid_t FPid = -1;
  int FInput = -1;
  bool FExited = false;
  std::thread FReader;
  std::mutex FMutex;
  std::string FOutput;
};

} // namespace sondrix::test
