#include "station/icecast_titles.h"

#include "base/utf8_text.h"
#include "net/http_send.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAttempts = 4;
constexpr auto kRetryPause = std::chrono::seconds(2);
// A source that has just logged in may not have its mount up for the admin request yet.
constexpr auto kAfterConnect = std::chrono::milliseconds(500);
// Per wait for the server, which answers these at once: the wait also bounds how long
// stopping takes, as Abort does not cut a wait short.
constexpr int kWaitMs = 1000;
constexpr auto kJoinLimit = std::chrono::seconds(2);
// A whole update, however slowly the server answers: the next title must not wait behind it.
constexpr auto kUpdateLimit = std::chrono::seconds(10);

} // namespace

// One server's updates on one thread. Its state is shared with the thread, which a stop that
// cannot wait (a connect that hangs) leaves to end by itself.
class TIcecastTitles::Worker {
public:
  explicit Worker(TIcecastTarget Where) : FState(std::make_shared<State>()) {
    FState->where = std::move(Where);
    FThread = std::thread([state = FState] { state->run(); });
  }

  void RequestStop() {
    State& s = *FState;
    std::lock_guard guard(s.lock);
    s.stopping = true;
    if (s.current != nullptr)
      s.current->Abort();
    s.wake.notify_all();
  }

  void Join(Clock::time_point Deadline) {
    State& s = *FState;
    std::unique_lock guard(s.lock);
    const bool finished = s.wake.wait_until(guard, Deadline, [&s] { return s.finished; });
    guard.unlock();
    if (finished)
      FThread.join();
    else
      FThread.detach();
  }

  void SetTitle(const std::string& Title) {
    State& s = *FState;
    std::lock_guard guard(s.lock);
    s.title = Title;
    if (s.connected)
      s.schedule(Clock::now());
  }

  void SetConnected(bool Connected) {
    State& s = *FState;
    std::lock_guard guard(s.lock);
    s.connected = Connected;
    if (Connected)
      s.schedule(Clock::now() + kAfterConnect);
    else
      s.pending = false;
  }

private:
  struct State {
    TIcecastTarget where;
    std::mutex lock;
    std::condition_variable wake;
    std::string title;
    bool connected = false;
    bool pending = false;
    int attemptsLeft = 0;
    std::uint64_t generation = 0;
    Clock::time_point due;
    bool stopping = false;
    bool finished = false;
    THTTPSend* current = nullptr; // the request under way, for Abort

    void schedule(Clock::time_point when) {
      if (title.empty())
        return;
      pending = true;
      attemptsLeft = kAttempts;
      ++generation;
      due = when;
      wake.notify_all();
    }

    bool send(const std::string& song) {
      THTTPSend http;
      http.SetTimeout(kWaitMs);
      http.SetUserName(where.User);
      http.SetPassword(where.Password);
      http.SetKeepAlive(false);
      http.SetMaxResponseSize(64 * 1024);
      http.Sock().SetMaxLineLength(4096);
      http.Sock().SetDeadline(Clock::now() + kUpdateLimit);
      {
        std::lock_guard guard(lock);
        if (stopping)
          return false;
        current = &http;
      }
      const bool sent = http.HTTPMethod("GET", "http://" + where.HostPort() +
                                                   icecastMetadataTarget(where.Mount, song));
      std::lock_guard guard(lock);
      current = nullptr;
      return sent && http.ResultCode() == 200;
    }

    void run() {
      std::unique_lock guard(lock);
      while (!stopping) {
        if (!pending) {
          wake.wait(guard);
          continue;
        }
        if (due > Clock::now()) {
          wake.wait_until(guard, due);
          continue;
        }
        const std::uint64_t sending = generation;
        const std::string song = title;
        guard.unlock();
        const bool ok = send(song);
        guard.lock();
        if (generation != sending)
          continue; // a newer title or a reconnect came meanwhile
        if (ok || --attemptsLeft <= 0)
          pending = false;
        else
          due = Clock::now() + kRetryPause;
      }
      finished = true;
      wake.notify_all();
    }
  };

  std::shared_ptr<State> FState;
  std::thread FThread;
};

TIcecastTitles::TIcecastTitles(std::vector<TIcecastTarget> Targets) {
  for (TIcecastTarget& where : Targets)
    FWorkers.push_back(std::make_unique<Worker>(std::move(where)));
}

TIcecastTitles::~TIcecastTitles() {
  for (const auto& worker : FWorkers)
    worker->RequestStop();
  const auto deadline = Clock::now() + kJoinLimit;
  for (const auto& worker : FWorkers)
    worker->Join(deadline);
}

void TIcecastTitles::SetTitle(const std::string& Title) {
  // Icecast hands the title on to every listener as it stands.
  const std::string clean = cleanUtf8(Title, true);
  if (clean.empty())
    return;
  for (const auto& worker : FWorkers)
    worker->SetTitle(clean);
}

void TIcecastTitles::SetConnected(std::size_t Target, bool Connected) {
  if (Target < FWorkers.size())
    FWorkers[Target]->SetConnected(Connected);
}

} // namespace sondrix
