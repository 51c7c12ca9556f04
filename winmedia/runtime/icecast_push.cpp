#include "winmedia/runtime/icecast_push.h"

#include "base/retry_backoff.h"
#include "winmedia/runtime/icecast_link.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kJoinLimit = std::chrono::seconds(3);

std::string faultText(IcecastFault fault, const std::string& detail) {
  switch (fault) {
  case IcecastFault::None:
    return {};
  case IcecastFault::LoginRefused:
    return "login refused (401)";
  case IcecastFault::MountRefused:
    return "mount refused (403: wrong mount, or another source has it)";
  case IcecastFault::NotFound:
    return "not found (404)";
  case IcecastFault::BadRequest:
    return "request refused (400)";
  case IcecastFault::Refused4xx:
    return "request refused (4xx)";
  case IcecastFault::ServerError:
    return "server error (5xx)";
  case IcecastFault::Unreachable:
    return "server not reachable (connection refused)";
  case IcecastFault::TimedOut:
    return "timed out";
  case IcecastFault::ConnectionLost:
    return "connection lost";
  case IcecastFault::Other:
    break;
  }
  return detail;
}

// A link's reason as a report: the faults the station words in each language, else the text.
IcecastReport reportOf(const std::string& why, bool lost) {
  IcecastReport news;
  news.Lost = lost;
  for (const IcecastFault fault :
       {IcecastFault::LoginRefused, IcecastFault::MountRefused, IcecastFault::NotFound,
        IcecastFault::BadRequest, IcecastFault::ServerError, IcecastFault::Unreachable,
        IcecastFault::TimedOut, IcecastFault::ConnectionLost})
    if (why == faultText(fault, {})) {
      news.Fault = fault;
      return news;
    }
  news.Fault = IcecastFault::Other;
  news.Detail = why;
  return news;
}

std::string seconds(std::chrono::milliseconds delay) {
  const auto ms = delay.count();
  if (ms % 1000 == 0)
    return std::to_string(ms / 1000) + " s";
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + " s";
}

// An operator's text as one header line: a line break in it would start a header of its own.
std::string headerValue(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n')
      c = ' ';
  return text;
}

std::string base64(const std::string& text) {
  constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(text[i]) << 16;
    if (i + 1 < text.size())
      group |= static_cast<std::uint8_t>(text[i + 1]) << 8;
    if (i + 2 < text.size())
      group |= static_cast<std::uint8_t>(text[i + 2]);
    out += kDigits[group >> 18 & 63];
    out += kDigits[group >> 12 & 63];
    out += i + 1 < text.size() ? kDigits[group >> 6 & 63] : '=';
    out += i + 2 < text.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

} // namespace

struct TIcecastPush::State {
  IcecastPushOptions options;
  Reporter reporter;
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::vector<std::uint8_t>> queue;
  std::size_t queued = 0;
  bool connected = false;
  std::atomic<bool> stopping{false};
  // Readable once stopping: ends the link's socket waits.
  TLinkFd stopFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::mutex reportLock; // held while the reporter runs, so Stop can wait it out
  bool finished = false;
  std::condition_variable done;

  void report(IcecastReport news) {
    news.Label = options.label;
    std::lock_guard guard(reportLock);
    if (!stopping && reporter)
      reporter(news);
  }

  // Sleeps up to delay; false when stopped meanwhile.
  bool pause(std::chrono::milliseconds delay) {
    std::unique_lock guard(lock);
    return !wake.wait_for(guard, delay, [this] { return stopping.load(); });
  }

  // The source login Icecast 2.4 takes: a PUT with basic authentication that waits for
  // "100 Continue" (a refusal comes back before any audio), stream details in Ice-* headers.
  std::string request(const TIcecastEndpoint& where) const {
    const bool v6 = where.Host.find(':') != std::string::npos;
    return "PUT " + where.Mount +
           " HTTP/1.1\r\nHost: " + (v6 ? "[" + where.Host + "]" : where.Host) + ":" + where.Port +
           "\r\nAuthorization: Basic " + base64(where.User + ":" + where.Password) +
           "\r\nUser-Agent: Sondrix\r\nContent-Type: audio/mpeg\r\nExpect: 100-continue\r\n"
           "Ice-Name: " +
           headerValue(options.name) + "\r\nIce-Description: " + headerValue(options.description) +
           "\r\nIce-Public: 0\r\n\r\n";
  }

  // Sends queued units until the link fails (why) or the push stops (empty).
  std::string send(TIcecastLink& link) {
    // Often enough to see a stall within a quarter of its limit.
    const auto check = std::max(std::chrono::milliseconds(10), options.stallTimeout / 4);
    std::vector<std::uint8_t> unit;
    for (;;) {
      {
        std::unique_lock guard(lock);
        wake.wait_for(guard, check, [this] { return stopping || !queue.empty(); });
        if (stopping)
          return {};
        unit.clear();
        if (!queue.empty()) {
          unit = std::move(queue.front());
          queue.pop_front();
          queued -= unit.size();
        }
      }
      std::string why =
          link.Send(unit.data(), unit.size(), options.ioTimeout, options.stallTimeout);
      if (why.empty())
        why = link.CheckProgress(options.stallTimeout);
      if (!why.empty())
        return stopping ? std::string() : why;
    }
  }

  void run() {
    TRetryBackoff backoff(options.firstRetry, options.maxRetry, options.settled);
    const auto where = parseIcecastPushUrl(options.url);
    while (!stopping) {
      std::string why;
      bool lost = false;
      TIcecastLink link(stopFd.get());
      if (!where) {
        why = "the server's address is not usable";
      } else {
        why = link.Login(*where, request(*where), Clock::now() + options.loginTimeout,
                         options.sendBuffer);
      }
      if (why.empty()) {
        const auto since = Clock::now();
        {
          // Fresh audio only: what waited during the login is already late.
          std::lock_guard guard(lock);
          queue.clear();
          queued = 0;
          connected = true;
        }
        IcecastReport up;
        up.Connected = true;
        report(up);
        why = send(link);
        {
          std::lock_guard guard(lock);
          connected = false;
        }
        backoff.ConnectionEnded(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since));
        lost = true;
      }
      if (stopping)
        break;
      IcecastReport news = reportOf(why, lost);
      news.RetryIn = backoff.NextDelay();
      report(news);
      if (!pause(news.RetryIn))
        break;
    }
    std::lock_guard guard(lock);
    finished = true;
    done.notify_all();
  }
};

std::string IcecastReport::Text() const {
  if (Connected)
    return Label + ": connected";
  std::string why = faultText(Fault, Detail);
  if (Lost && Fault != IcecastFault::ConnectionLost)
    why = "connection lost (" + why + ")";
  return Label + ": " + why + ", retrying in " + seconds(RetryIn);
}

TIcecastPush::TIcecastPush(IcecastPushOptions options, Reporter reporter)
    : FState(std::make_shared<State>()) {
  FState->options = std::move(options);
  FState->reporter = std::move(reporter);
  FThread = std::thread([state = FState] { state->run(); });
}

TIcecastPush::~TIcecastPush() {
  Stop();
}

void TIcecastPush::Write(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return;
  State& s = *FState;
  std::lock_guard guard(s.lock);
  if (!s.connected || s.stopping)
    return;
  s.queue.emplace_back(data, data + size);
  s.queued += size;
  // Oldest first, whole units: what stays still starts at a frame.
  while (s.queued > s.options.maxQueueBytes && s.queue.size() > 1) {
    s.queued -= s.queue.front().size();
    s.queue.pop_front();
  }
  s.wake.notify_all();
}

void TIcecastPush::RequestStop() {
  State& s = *FState;
  std::lock_guard guard(s.lock);
  s.stopping = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(s.stopFd.get(), &one, sizeof one);
  s.wake.notify_all();
}

void TIcecastPush::Stop() {
  State& s = *FState;
  RequestStop();
  {
    // A report under way ends before Stop returns; none starts after.
    std::lock_guard reporting(s.reportLock);
  }
  if (!FThread.joinable())
    return;
  bool finished = false;
  {
    std::unique_lock guard(s.lock);
    finished = s.done.wait_for(guard, kJoinLimit, [&s] { return s.finished; });
  }
  // A thread stuck where no interrupt reaches (a name lookup) keeps its own share of the
  // state and ends by itself.
  if (finished)
    FThread.join();
  else
    FThread.detach();
}

} // namespace sondrix
