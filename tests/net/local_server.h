#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sondrix::testing {

// A one-shot latch with a bounded wait.
class Gate {
public:
  void open();
  bool wait(int timeoutMs = 5000);

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FOpen = false;
};

class LocalServer;

// The server's end of one accepted connection. All waits are bounded.
class ServerConnection {
public:
  ServerConnection(LocalServer& server, int fd) : FServer(server), FFd(fd) {}
  int fd() const { return FFd; }
  bool send(std::string_view data);
  // Reads one request: up to the blank line, plus a body of its Content-Length. Recorded
  // in the server's request list.
  std::string readRequest(int timeoutMs = 5000, bool withBody = true);
  // Reads exactly count bytes (less on close or time-out).
  std::string readBytes(std::size_t count, int timeoutMs = 5000);
  // Reads and discards until the client closes; true when it did within the time.
  bool waitForClose(int timeoutMs = 5000);
  // Waits on the server's release gate (opened by the test or by the server's end).
  void holdOpen();

private:
  bool readSome(std::string& into, int timeoutMs);
  LocalServer& FServer;
  int FFd;
  std::string FPending;
};

// A TCP server on 127.0.0.1 with a port chosen by the system. It accepts connections one
// after another on its own thread and runs the handler for each; the connection is closed
// when the handler returns. The destructor opens the release gate and joins the thread.
class LocalServer {
public:
  using Handler = std::function<void(ServerConnection&)>;
  explicit LocalServer(Handler handler);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  int port() const { return FPort; }
  std::string portText() const { return std::to_string(FPort); }
  std::string url(const std::string& path = "/") const;
  std::vector<std::string> requests();
  int accepted() const { return FAccepted.load(); }
  Gate& release() { return FRelease; }
  // Waits until the handler of the given connection (1-based count) has returned.
  bool waitHandled(int count, int timeoutMs = 5000);

private:
  friend class ServerConnection;
  void run();
  Handler FHandler;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FAccepted{0};
  std::mutex FLock;
  std::condition_variable FHandledCond;
  int FHandled = 0;
  std::vector<std::string> FRequests;
  Gate FRelease;
  std::thread FThread;
};

// A port on 127.0.0.1 where nothing listens (bound once, then closed).
int unusedPort();

} // namespace sondrix::testing
