#include "station/icecast_titles.h"

#include "net/http_send.h"

#include <condition_variable>
#include <mutex>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAttempts = 4;
constexpr auto kRetryPause = std::chrono::seconds(2);
// A source that has just logged in may not have its mount up for the admin request yet.
constexpr auto kAfterConnect = std::chrono::milliseconds(500);
constexpr int kWaitMs = 3000; // per wait for the server
constexpr auto kJoinLimit = std::chrono::seconds(4);

} // namespace

struct TIcecastTitles::State {
  struct Target {
    TIcecastTarget where;
    bool pending = false;
    int attemptsLeft = 0;
    std::uint64_t generation = 0;
    Clock::time_point due;
  };

  std::mutex lock;
  std::condition_variable wake;
  std::vector<Target> targets;
  std::string title;
  bool stopping = false;
  bool finished = false;
  THTTPSend* current = nullptr; // the request under way, for Abort

  void schedule(Target& t, Clock::time_point due) {
    t.pending = true;
    t.attemptsLeft = kAttempts;
    ++t.generation;
    t.due = due;
  }

  bool send(const TIcecastTarget& where, const std::string& song) {
    THTTPSend http;
    http.SetTimeout(kWaitMs);
    http.SetUserName(where.User);
    http.SetPassword(where.Password);
    http.SetKeepAlive(false);
    http.SetMaxResponseSize(64 * 1024);
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
      const auto now = Clock::now();
      Target* next = nullptr;
      for (Target& t : targets)
        if (t.pending && (next == nullptr || t.due < next->due))
          next = &t;
      if (next == nullptr) {
        wake.wait(guard);
        continue;
      }
      if (next->due > now) {
        wake.wait_until(guard, next->due);
        continue;
      }
      const TIcecastTarget where = next->where;
      const std::uint64_t generation = next->generation;
      const std::string song = title;
      const std::size_t index = static_cast<std::size_t>(next - targets.data());
      guard.unlock();
      const bool ok = send(where, song);
      guard.lock();
      Target& t = targets[index];
      if (t.generation != generation)
        continue; // a newer title or a reconnect came meanwhile
      if (ok || --t.attemptsLeft <= 0)
        t.pending = false;
      else
        t.due = Clock::now() + kRetryPause;
    }
    finished = true;
    wake.notify_all();
  }
};

TIcecastTitles::TIcecastTitles(std::vector<TIcecastTarget> Targets)
    : FState(std::make_shared<State>()) {
  for (TIcecastTarget& where : Targets) {
    State::Target t;
    t.where = std::move(where);
    FState->targets.push_back(std::move(t));
  }
  FThread = std::thread([state = FState] { state->run(); });
}

TIcecastTitles::~TIcecastTitles() {
  State& s = *FState;
  std::unique_lock guard(s.lock);
  s.stopping = true;
  if (s.current != nullptr)
    s.current->Abort();
  s.wake.notify_all();
  const bool finished = s.wake.wait_for(guard, kJoinLimit, [&s] { return s.finished; });
  guard.unlock();
  // A request stuck in a connect keeps its own share of the state and ends by itself.
  if (finished)
    FThread.join();
  else
    FThread.detach();
}

void TIcecastTitles::SetTitle(const std::string& Title) {
  State& s = *FState;
  std::lock_guard guard(s.lock);
  if (Title.empty() || Title == s.title)
    return;
  s.title = Title;
  for (State::Target& t : s.targets)
    s.schedule(t, Clock::now());
  s.wake.notify_all();
}

void TIcecastTitles::Resend(std::size_t Target) {
  State& s = *FState;
  std::lock_guard guard(s.lock);
  if (Target >= s.targets.size() || s.title.empty())
    return;
  s.schedule(s.targets[Target], Clock::now() + kAfterConnect);
  s.wake.notify_all();
}

} // namespace sondrix
