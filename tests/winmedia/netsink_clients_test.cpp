// Real players against the sink: the ffmpeg CLI encodes a live 1 kHz tone as ASF in real time
// into the sink, and ffmpeg/ffprobe listen over mmsh:// and http://.
#include "netsink_helpers.h"

#include "winmedia/server/network_sink.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <thread>

extern char** environ;

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using nettest::Bytes;

// A live ASF encoder feeding a sink from a pipe, in whatever slices the pipe gives.
class LiveEncoder {
public:
  explicit LiveEncoder(IWMWriterSink& sink) : FSink(sink) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const char* argv[] = {"ffmpeg",
                          "-nostdin",
                          "-v",
                          "error",
                          "-re",
                          "-f",
                          "lavfi",
                          "-i",
                          "sine=frequency=1000:sample_rate=44100:duration=120",
                          "-ac",
                          "2",
                          "-c:a",
                          "wmav2",
                          "-b:a",
                          "128k",
                          "-f",
                          "asf",
                          "-packet_size",
                          "3200",
                          "-flush_packets",
                          "1",
                          "-",
                          nullptr};
    if (posix_spawnp(&FPid, "ffmpeg", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      FPid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    FReadFd = fds[0];
    FSink.OnBeginWriting();
    FThread = std::thread([this] {
      std::uint8_t buffer[4096];
      ssize_t n;
      while ((n = ::read(FReadFd, buffer, sizeof buffer)) > 0) {
        if (FAILED(FSink.Write(buffer, static_cast<std::size_t>(n)))) {
          FFailed = true;
        }
        FBytes += static_cast<std::size_t>(n);
      }
      FSink.OnEndWriting();
    });
  }

  ~LiveEncoder() {
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
    }
    if (FThread.joinable()) {
      FThread.join();
    }
    if (FPid > 0) {
      ::waitpid(FPid, nullptr, 0);
    }
    if (FReadFd >= 0) {
      ::close(FReadFd);
    }
  }

  bool running() const { return FPid > 0; }
  bool failed() const { return FFailed; }
  std::size_t bytes() const { return FBytes; }

private:
  IWMWriterSink& FSink;
  pid_t FPid = -1;
  int FReadFd = -1;
  std::thread FThread;
  std::atomic<bool> FFailed{false};
  std::atomic<std::size_t> FBytes{0};
};

struct PcmCheck {
  double seconds = 0;
  double frequency = 0;
  int silentWindows = 0;
};

// Left channel of interleaved s16le stereo: length, zero-crossing frequency, silent 100 ms
// windows.
PcmCheck checkPcm(const Bytes& pcm) {
  PcmCheck check;
  const std::size_t frames = pcm.size() / 4;
  check.seconds = static_cast<double>(frames) / 44100.0;
  auto left = [&](std::size_t i) {
    std::int16_t v;
    std::memcpy(&v, pcm.data() + 4 * i, 2);
    return v;
  };
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < frames; ++i) {
    if ((left(i - 1) < 0) != (left(i) < 0)) {
      ++crossings;
    }
  }
  check.frequency = check.seconds > 0 ? crossings / 2.0 / check.seconds : 0;
  for (std::size_t w = 0; w + 4410 <= frames; w += 4410) {
    int peak = 0;
    for (std::size_t i = w; i < w + 4410; ++i) {
      peak = std::max(peak, std::abs(static_cast<int>(left(i))));
    }
    check.silentWindows += peak < 1000 ? 1 : 0;
  }
  return check;
}

Bytes decodeFiveSeconds(const std::string& url, int* code) {
  return nettest::runCommand("timeout 40 ffmpeg -nostdin -v error -t 5 -i " + url +
                                 " -f s16le -ac 2 -ar 44100 - 2>/dev/null",
                             code);
}

void expectTone(const Bytes& pcm, const std::string& what) {
  const PcmCheck check = checkPcm(pcm);
  // ffmpeg's -t cut lands within a few samples of 5 s.
  EXPECT_NEAR(check.seconds, 5.0, 0.02) << what;
  EXPECT_NEAR(check.frequency, 1000.0, 15.0) << what;
  EXPECT_EQ(check.silentWindows, 0) << what;
}

class NetsinkClients : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!nettest::haveFfmpeg()) {
      return;
    }
    FSink = std::make_shared<TWMWriterNetworkSink>();
    FRecorder = std::make_shared<nettest::StatusRecorder>();
    FSink->Advise(FRecorder, nullptr);
    std::uint32_t port = 0;
    if (FAILED(FSink->Open(&port))) {
      return;
    }
    FPort = static_cast<std::uint16_t>(port);
    FEncoder = std::make_unique<LiveEncoder>(*FSink);
    FStarted = std::chrono::steady_clock::now();
  }

  static void TearDownTestSuite() {
    if (FSink) {
      FSink->Close();
    }
    FEncoder.reset();
    FSink.reset();
    FRecorder.reset();
  }

  void SetUp() override {
    if (!FEncoder) {
      GTEST_SKIP() << "ffmpeg CLI missing";
    }
    ASSERT_TRUE(FEncoder->running());
    // A listener needs the header; wait for the encoder's first bytes.
    ASSERT_TRUE(nettest::eventually([] { return FEncoder->bytes() > 20000; }, 10s));
    ASSERT_FALSE(FEncoder->failed());
  }

  static std::string url(const char* scheme) {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(FPort) + "/";
  }

  static inline std::shared_ptr<TWMWriterNetworkSink> FSink;
  static inline std::shared_ptr<nettest::StatusRecorder> FRecorder;
  static inline std::unique_ptr<LiveEncoder> FEncoder;
  static inline std::uint16_t FPort = 0;
  static inline std::chrono::steady_clock::time_point FStarted;
};

TEST_F(NetsinkClients, ProbeSeesTheStreamOverMmshAndHttp) {
  for (const char* scheme : {"mmsh", "http"}) {
    int code = -1;
    const Bytes out = nettest::runCommand(
        "timeout 30 ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
        "-of compact=p=0 " +
            url(scheme) + " 2>/dev/null",
        &code);
    const std::string text(out.begin(), out.end());
    EXPECT_EQ(code, 0) << scheme;
    EXPECT_NE(text.find("codec_name=wmav2"), std::string::npos) << scheme << ": " << text;
    EXPECT_NE(text.find("sample_rate=44100"), std::string::npos) << scheme << ": " << text;
    EXPECT_NE(text.find("channels=2"), std::string::npos) << scheme << ": " << text;
  }
}

TEST_F(NetsinkClients, ThreeListenersAtOnceDecodeFiveSecondsOfTone) {
  const int before = FRecorder->disconnects();
  std::vector<std::future<std::pair<int, Bytes>>> runs;
  for (const char* scheme : {"mmsh", "mmsh", "http"}) {
    runs.push_back(std::async(std::launch::async, [scheme] {
      int code = -1;
      Bytes pcm = decodeFiveSeconds(url(scheme), &code);
      return std::make_pair(code, std::move(pcm));
    }));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    auto [code, pcm] = runs[i].get();
    EXPECT_EQ(code, 0) << "listener " << i;
    expectTone(pcm, "listener " + std::to_string(i));
  }
  // Every listener that left was reported: 2 framed + 1 raw (describe requests do not count).
  EXPECT_TRUE(FRecorder->waitFor([before](int, int d) { return d >= before + 3; }, 10s));
}

TEST_F(NetsinkClients, LateJoinerStartsMidBroadcast) {
  // Join well after the ring has moved on from the start of the broadcast.
  const auto joinAt = FStarted + 8s;
  std::this_thread::sleep_until(joinAt);
  for (const char* scheme : {"mmsh", "http"}) {
    int code = -1;
    const Bytes pcm = decodeFiveSeconds(url(scheme), &code);
    EXPECT_EQ(code, 0) << scheme;
    expectTone(pcm, std::string("late ") + scheme);
  }
}

TEST(NetsinkClientsEnd, CloseEndsPlayersCleanly) {
  if (!nettest::haveFfmpeg()) {
    GTEST_SKIP() << "ffmpeg CLI missing";
  }
  auto sink = std::make_shared<TWMWriterNetworkSink>();
  auto recorder = std::make_shared<nettest::StatusRecorder>();
  sink->Advise(recorder, nullptr);
  std::uint32_t port = 0;
  ASSERT_EQ(sink->Open(&port), S_OK);
  LiveEncoder encoder(*sink);
  ASSERT_TRUE(nettest::eventually([&] { return encoder.bytes() > 20000; }, 10s));
  const std::string base = "://127.0.0.1:" + std::to_string(port) + "/";
  std::vector<std::future<std::pair<int, Bytes>>> runs;
  for (const char* scheme : {"mmsh", "http"}) {
    runs.push_back(std::async(std::launch::async, [scheme, base] {
      int code = -1;
      Bytes pcm =
          nettest::runCommand("timeout 30 ffmpeg -nostdin -v error -i " + std::string(scheme) +
                                  base + " -f s16le -ac 2 -ar 44100 - 2>/dev/null",
                              &code);
      return std::make_pair(code, std::move(pcm));
    }));
  }
  ASSERT_TRUE(recorder->waitFor([](int c, int) { return c >= 2; }, 15s));
  std::this_thread::sleep_for(1500ms); // let them play past the burst
  ASSERT_EQ(sink->Close(), S_OK);
  for (auto& run : runs) {
    auto [code, pcm] = run.get();
    EXPECT_EQ(code, 0); // ended by the stream's end, not by the time-out
    const PcmCheck check = checkPcm(pcm);
    // What was in the ring when it joined, plus 1.5 s live.
    EXPECT_GT(check.seconds, 2.0);
    EXPECT_NEAR(check.frequency, 1000.0, 15.0);
  }
  EXPECT_EQ(recorder->disconnects(), 2);
}

} // namespace
} // namespace sondrix
