// Deadlines of listeners being let go, and what the server does when descriptors run out.
// The descriptor cases run in a child process with a low open-file limit of its own.

#include "netsink_broadcast.h"
#include "winmedia/server/net_fd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <thread>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Broadcast;
using nettest::TestClient;
using Clock = std::chrono::steady_clock;

TEST(NetsinkLimits, ListenersOfAnEndedBroadcastThatStopReadingAreLetGo) {
  NetServerOptions o;
  o.closeTimeout = 500ms;
  o.sendBufferBytes = 4096;
  o.ringPackets = 4096; // nobody falls out of the ring during the test
  Broadcast broadcast(o, nettest::AsfShape{389}, 2ms);
  // Stalled framed listeners, blocked at a packet boundary (with these buffers, loopback
  // fills at one for this packet size): the new broadcast leaves them only $E to send, which
  // never goes.
  std::vector<std::unique_ptr<TestClient>> stalled;
  for (int i = 0; i < 16; ++i) {
    stalled.push_back(std::make_unique<TestClient>(broadcast.port(), 2048));
    ASSERT_TRUE(stalled.back()->send(nettest::playRequest()));
  }
  ASSERT_TRUE(nettest::eventually([&] { return broadcast.server().clientCount() == 16; }));
  std::this_thread::sleep_for(500ms); // their buffers fill
  broadcast.restart();
  const auto restarted = Clock::now();
  EXPECT_TRUE(nettest::eventually([&] { return broadcast.server().clientCount() == 0; }, 3s))
      << broadcast.server().clientCount() << " listeners of the old broadcast still held";
  EXPECT_LT(Clock::now() - restarted, 1500ms);
  EXPECT_EQ(broadcast.disconnects(), 16);
}

TEST(NetsinkLimits, FiniteAnswersToClientsThatDoNotReadAreCut) {
  NetServerOptions o;
  o.responseTimeout = 500ms;
  o.sendBufferBytes = 4096;
  // A header far larger than the socket buffers take: the describe answer cannot finish.
  nettest::AsfShape shape{1000};
  shape.paddingObjectBytes = 60000;
  Broadcast broadcast(o, shape);
  TestClient client(broadcast.port(), 2048);
  ASSERT_TRUE(client.send(nettest::describeRequest()));
  ASSERT_TRUE(nettest::eventually([&] { return broadcast.server().connectionCount() == 1; }));
  const auto asked = Clock::now();
  EXPECT_TRUE(nettest::eventually([&] { return broadcast.server().connectionCount() == 0; }, 3s));
  EXPECT_GE(Clock::now() - asked, 300ms);
}

// Runs body in a child process and returns its exit status; -1 if it had to be killed.
int inChild(const std::function<int()>& body, std::chrono::seconds limit = 30s) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 100;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(10ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

bool setOpenFileLimit(rlim_t soft) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return false;
  }
  limit.rlim_cur = soft == RLIM_INFINITY ? limit.rlim_max : std::min(soft, limit.rlim_max);
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A client that is answered or closed within limit (not left hanging in the backlog).
bool heardBack(int fd, std::chrono::milliseconds limit) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, static_cast<int>(limit.count())) == 1;
}

int fail(int code, const char* what) {
  std::fprintf(stderr, "child: %s\n", what);
  return code;
}

TEST(NetsinkLimits, UnfinishedRequestsLeaveDescriptorsForListenersAndTheBroadcast) {
  const int status = inChild([] {
    if (!setOpenFileLimit(200)) {
      return fail(10, "cannot lower the open-file limit");
    }
    NetServerOptions o;
    o.requestTimeout = 10s;
    o.reservedDescriptors = 32;
    o.maxPendingPerAddress = 100000; // only the descriptor budget is tried here
    o.maxPendingConnections = 100000;
    Broadcast broadcast(o);
    // The hostile clients live in a process of their own, with descriptors to spare.
    const pid_t flood = ::fork();
    if (flood == 0) {
      setOpenFileLimit(RLIM_INFINITY);
      std::vector<std::unique_ptr<TestClient>> clients;
      for (int i = 0; i < 500; ++i) {
        clients.push_back(std::make_unique<TestClient>(broadcast.port()));
        clients.back()->send("GET / HTTP/1.1\r\nX-Slow: ");
      }
      std::this_thread::sleep_for(8s);
      ::_exit(0);
    }
    int code = 0;
    std::this_thread::sleep_for(1500ms); // the flood is in
    // The broadcast opens its next track.
    std::vector<NetFd> files;
    for (int i = 0; i < 16; ++i) {
      files.emplace_back(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
      if (!files.back().valid()) {
        code = fail(11, "the broadcast could not open a file");
        break;
      }
    }
    files.clear();
    // A player gets in, taking the place of an unfinished request.
    if (code == 0) {
      TestClient player(broadcast.port());
      if (!player.send(nettest::playRequest()) ||
          !player.readHead(2s).starts_with("HTTP/1.0 200 OK\r\n")) {
        code = fail(12, "a player was not answered");
      }
    }
    if (code == 0 && broadcast.server().pendingCount() > 100) {
      code = fail(13, "unfinished requests took more than half the descriptors");
    }
    ::kill(flood, SIGKILL);
    ::waitpid(flood, nullptr, 0);
    return code;
  });
  EXPECT_EQ(status, 0);
}

TEST(NetsinkLimits, OutOfDescriptorsTheLoopWaitsAndServesOrRefusesOnceOneIsFree) {
  const int status = inChild([] {
    if (!setOpenFileLimit(64)) {
      return fail(10, "cannot lower the open-file limit");
    }
    std::vector<NetFd> clients;
    for (int i = 0; i < 3; ++i) {
      clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    std::vector<NetFd> fillers;
    while (true) {
      NetFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      if (!fd.valid()) {
        break;
      }
      fillers.push_back(std::move(fd));
    }
    // Room for the server's epoll, wake-up and listening descriptors, none for its spare:
    // the state it is left in when another thread takes the descriptor the spare frees.
    fillers.resize(fillers.size() - 3);
    NetServerOptions o;
    o.reservedDescriptors = 0;
    Broadcast broadcast(o);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(broadcast.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto ask = [&](int fd) {
      const std::string request = nettest::getRequest();
      return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0;
    };
    if (!ask(clients[0].get())) {
      return fail(11, "could not connect");
    }
    const double before = cpuSeconds();
    std::this_thread::sleep_for(1s);
    const double spent = cpuSeconds() - before;
    if (spent > 0.1) {
      std::fprintf(stderr, "child: %.2f s of CPU in 1 s\n", spent);
      return 20;
    }
    // Two descriptors come back: one for the spare, one for the waiting client, which is
    // served; the next clients are refused with the spare, taken again after each.
    fillers.resize(fillers.size() - 2);
    if (!heardBack(clients[0].get(), 3000ms)) {
      return fail(21, "the waiting client was left in the backlog");
    }
    for (std::size_t i = 1; i < clients.size(); ++i) {
      if (!ask(clients[i].get()) || !heardBack(clients[i].get(), 3000ms)) {
        return fail(22, "a client beyond the descriptors was left in the backlog");
      }
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

} // namespace
} // namespace sondrix
