#include "winmedia/runtime/icecast_push.h"

#include "base/retry_backoff.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace sondrix {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kJoinLimit = std::chrono::seconds(3);

IcecastFault faultOf(int code) {
  switch (code) {
  case AVERROR_HTTP_UNAUTHORIZED:
    return IcecastFault::LoginRefused;
  case AVERROR_HTTP_FORBIDDEN:
    return IcecastFault::MountRefused;
  case AVERROR_HTTP_NOT_FOUND:
    return IcecastFault::NotFound;
  case AVERROR_HTTP_BAD_REQUEST:
    return IcecastFault::BadRequest;
  case AVERROR_HTTP_OTHER_4XX:
    return IcecastFault::Refused4xx;
  case AVERROR_HTTP_SERVER_ERROR:
    return IcecastFault::ServerError;
  case AVERROR(ECONNREFUSED):
    return IcecastFault::Unreachable;
  case AVERROR(ETIMEDOUT):
    return IcecastFault::TimedOut;
  case AVERROR(EPIPE):
  case AVERROR(ECONNRESET):
  case AVERROR_EOF:
    return IcecastFault::ConnectionLost;
  default:
    return IcecastFault::Other;
  }
}

std::string systemText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

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

struct AvioCloser {
  void operator()(AVIOContext* io) const { avio_closep(&io); }
};
using Connection = std::unique_ptr<AVIOContext, AvioCloser>;

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
  std::mutex reportLock; // held while the reporter runs, so Stop can wait it out
  bool finished = false;
  std::condition_variable done;

  static int interrupted(void* opaque) {
    return static_cast<State*>(opaque)->stopping.load() ? 1 : 0;
  }

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
  // FFmpeg's icecast protocol sends the same, but opens its HTTP layer without the interrupt
  // callback, so a stop could not cut its waits short.
  Connection open(int& error) {
    AVDictionary* dict = nullptr;
    av_dict_set(&dict, "method", "PUT", 0);
    av_dict_set(&dict, "auth_type", "basic", 0);
    av_dict_set(&dict, "send_expect_100", "1", 0);
    av_dict_set(&dict, "chunked_post", "0", 0);
    av_dict_set(&dict, "content_type", "audio/mpeg", 0);
    const std::string headers = "Ice-Name: " + headerValue(options.name) +
                                "\r\nIce-Description: " + headerValue(options.description) +
                                "\r\nIce-Public: 0\r\n";
    av_dict_set(&dict, "headers", headers.c_str(), 0);
    const auto timeout =
        std::chrono::duration_cast<std::chrono::microseconds>(options.ioTimeout).count();
    // Copied down to the HTTP and TCP layers: a server that takes the connection and then
    // never answers, or a link that stops taking data, fails instead of hanging.
    av_dict_set_int(&dict, "rw_timeout", timeout, 0);
    const AVIOInterruptCB interrupt{&State::interrupted, this};
    AVIOContext* io = nullptr;
    error = avio_open2(&io, options.url.c_str(), AVIO_FLAG_WRITE, &interrupt, &dict);
    av_dict_free(&dict);
    return Connection(error < 0 ? nullptr : io);
  }

  // Sends queued units until the connection fails (its error) or the push stops (0).
  int send(AVIOContext& io) {
    std::vector<std::uint8_t> unit;
    for (;;) {
      {
        std::unique_lock guard(lock);
        wake.wait(guard, [this] { return stopping || !queue.empty(); });
        if (stopping)
          return 0;
        unit = std::move(queue.front());
        queue.pop_front();
        queued -= unit.size();
      }
      avio_write(&io, unit.data(), static_cast<int>(unit.size()));
      avio_flush(&io);
      if (io.error < 0)
        return io.error;
    }
  }

  void run() {
    TRetryBackoff backoff(options.firstRetry, options.maxRetry, options.settled);
    while (!stopping) {
      int error = 0;
      Connection io = open(error);
      IcecastReport why;
      if (io) {
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
        error = send(*io);
        {
          std::lock_guard guard(lock);
          connected = false;
        }
        if (error < 0) {
          // The socket is broken: closing must not try to flush into it for long.
          io->error = error;
        }
        io.reset();
        backoff.ConnectionEnded(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since));
        why.Lost = true;
      }
      why.Fault = why.Lost && error >= 0 ? IcecastFault::ConnectionLost : faultOf(error);
      if (why.Fault == IcecastFault::Other)
        why.Detail = systemText(error);
      if (stopping)
        break;
      why.RetryIn = backoff.NextDelay();
      report(why);
      if (!pause(why.RetryIn))
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
