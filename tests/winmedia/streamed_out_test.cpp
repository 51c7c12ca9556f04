#include "audio/event_handler.h"
#include "base/text.h"
#include "netsink_helpers.h"
#include "winmedia/wm_streamed_out.h"
#include "wma_out_tone_source.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <future>

namespace sondrix {
namespace {

using namespace std::chrono_literals;
using namespace wmout_test;

class StreamedOut : public ::testing::Test {
protected:
  void SetUp() override {
    out = MakeComponent<TWMStreamedOut>();
    out->SetDesiredBitrate(128);
    useSource({{44100, 2, 1000, -1}});
    watch(*out, log);
  }
  void TearDown() override {
    out.reset();
    src.reset();
  }
  void useSource(std::vector<ToneSegment> segments) {
    src = MakeComponent<ToneSource>(std::move(segments));
    out->SetInput(src.get());
  }
  // Done and exception events, and each listener event with the count seen in its handler.
  static void watch(TWMStreamedOut& o, RunLog& l) {
    l.watch(o);
    o.OnClientConnected = [&](TComponent* sender) {
      EXPECT_EQ(sender, &o);
      l.add("connected");
    };
    o.OnClientDisconnected = [&](TComponent* sender) {
      EXPECT_EQ(sender, &o);
      l.add("disconnected");
    };
  }
  // Runs and waits until the sink is open and sound is going out.
  void startBroadcast() {
    out->Run();
    ASSERT_TRUE(pumpUntil([&] { return !out->URL().empty() && src->BytesDelivered > 0; }));
    port = static_cast<std::uint16_t>(out->Port());
    ASSERT_NE(port, 0);
  }
  bool waitDone(int runs = 1) {
    return pumpUntil([&] { return log.count("done") == runs; }, 30s);
  }

  ComponentPtr<ToneSource> src;
  ComponentPtr<TWMStreamedOut> out;
  RunLog log;
  std::uint16_t port = 0;
};

TEST_F(StreamedOut, PlayersDecodeTheBroadcastOverMmshAndHttp) {
  if (!nettest::haveFfmpeg())
    GTEST_SKIP() << "no ffmpeg";
  startBroadcast();
  const std::string url = toNarrow(out->URL());
  EXPECT_EQ(url.substr(0, 7), "http://");
  EXPECT_EQ(url.substr(url.rfind(':') + 1), std::to_string(port));

  writer_test::TempDir dir;
  const std::string host = "127.0.0.1:" + std::to_string(port) + "/";
  auto shell = [](std::string command) {
    return std::async(std::launch::async, [command] {
      std::string output;
      const int rc = writer_test::runCommand(command, &output);
      return std::make_pair(rc, output);
    });
  };
  auto probeCmd = [&](const std::string& scheme) {
    return "timeout 30 ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
           "-of compact " +
           scheme + "://" + host;
  };
  auto decodeCmd = [&](const std::string& scheme, const std::filesystem::path& raw) {
    return "timeout 30 ffmpeg -nostdin -v error -t 5.5 -i " + scheme + "://" + host +
           " -f s16le -ac 2 -ar 44100 -y '" + raw.string() + "'";
  };
  const auto mmshRaw = dir.path("mmsh.s16"), httpRaw = dir.path("http.s16");
  std::vector<std::future<std::pair<int, std::string>>> jobs;
  jobs.push_back(shell(probeCmd("mmsh")));
  jobs.push_back(shell(probeCmd("http")));
  jobs.push_back(shell(decodeCmd("mmsh", mmshRaw)));
  jobs.push_back(shell(decodeCmd("http", httpRaw)));
  ASSERT_TRUE(pumpUntil(
      [&] {
        return std::all_of(jobs.begin(), jobs.end(),
                           [](auto& j) { return j.wait_for(0s) == std::future_status::ready; });
      },
      40s));
  std::vector<std::pair<int, std::string>> results;
  for (auto& j : jobs)
    results.push_back(j.get());
  for (int i : {0, 1}) {
    EXPECT_EQ(results[i].first, 0);
    EXPECT_NE(results[i].second.find("codec_name=wmav2|sample_rate=44100|channels=2"),
              std::string::npos)
        << results[i].second;
  }
  for (const auto& raw : {mmshRaw, httpRaw}) {
    SCOPED_TRACE(raw.string());
    const auto bytes = nettest::runCommand("cat '" + raw.string() + "'");
    EXPECT_GE(bytes.size(), 882000u); // 5 s of 44.1 kHz stereo 16-bit
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    std::memcpy(pcm.data(), bytes.data(), pcm.size() * 2);
    EXPECT_NEAR(writer_test::dominantFrequency(pcm, 2, 44100, 4410), 1000.0, 15.0);
  }

  // Every listener came and went, reported on the main thread; news that came in a burst
  // makes one call, so only the order and the count are certain.
  ASSERT_TRUE(pumpUntil([&] {
    const auto entries = log.entries();
    return log.count("connected") >= 1 && !entries.empty() && entries.back() == "disconnected" &&
           out->ConnectionsCount() == 0;
  }));
  EXPECT_EQ(out->ConnectionsCount(), 0u);
  EXPECT_TRUE(log.allOnMain());

  out->Stop(true);
  ASSERT_TRUE(waitDone());
  EXPECT_EQ(out->ExceptionMessage(), "");
}

TEST_F(StreamedOut, ListenersAreCountedAndCutOffByStop) {
  startBroadcast();
  std::vector<std::uint32_t> countsSeen;
  out->OnClientConnected = [&](TComponent*) {
    log.add("connected");
    countsSeen.push_back(out->ConnectionsCount());
  };

  nettest::TestClient first(port);
  ASSERT_TRUE(first.send(nettest::getRequest()));
  EXPECT_NE(first.readHead().find(" 200 "), std::string::npos);
  ASSERT_TRUE(pumpUntil([&] { return log.count("connected") == 1; }));
  {
    nettest::TestClient second(port);
    ASSERT_TRUE(second.send(nettest::getRequest()));
    EXPECT_NE(second.readHead().find(" 200 "), std::string::npos);
    ASSERT_TRUE(pumpUntil([&] { return log.count("connected") == 2; }));
    EXPECT_EQ(countsSeen, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(out->ConnectionsCount(), 2u);
  }
  ASSERT_TRUE(pumpUntil([&] { return log.count("disconnected") == 1; }));
  EXPECT_EQ(out->ConnectionsCount(), 1u);

  // Stop ends the remaining listener's stream and reports it before the run's end.
  out->Stop(true);
  EXPECT_TRUE(first.waitClosed(10s));
  ASSERT_TRUE(waitDone());
  const auto entries = log.entries();
  EXPECT_EQ(entries, (std::vector<std::string>{"connected", "connected", "disconnected",
                                               "disconnected", "done"}));
  EXPECT_TRUE(log.allOnMain());
  EXPECT_EQ(out->ConnectionsCount(), 0u);
  EXPECT_TRUE(out->URL().empty());

  // A new run gets the same port at once.
  const std::uint16_t before = port;
  startBroadcast();
  EXPECT_EQ(port, before);
  nettest::TestClient third(port);
  ASSERT_TRUE(third.send(nettest::getRequest()));
  EXPECT_NE(third.readHead().find(" 200 "), std::string::npos);
  nettest::Bytes data;
  EXPECT_TRUE(third.readExactly(3200, data));
  out->Stop(false);
  EXPECT_TRUE(third.waitClosed(10s));
}

TEST_F(StreamedOut, ListenerNewsStaysBoundedWhileTheMainThreadIsBusy) {
  startBroadcast();
  TEventHandler& events = *SharedEventHandler();
  // The main thread pumps nothing meanwhile, so every listener's news has to wait.
  constexpr std::uint32_t kListeners = 60;
  {
    std::vector<std::unique_ptr<nettest::TestClient>> clients;
    for (std::uint32_t i = 0; i < kListeners; ++i) {
      clients.push_back(std::make_unique<nettest::TestClient>(port));
      ASSERT_TRUE(clients.back()->send(nettest::getRequest()));
      ASSERT_NE(clients.back()->readHead().find(" 200 "), std::string::npos);
    }
    EXPECT_EQ(out->ConnectionsCount(), kListeners);
  }
  ASSERT_TRUE(nettest::eventually([&] { return out->ConnectionsCount() == 0; }, 10s));
  EXPECT_LE(events.QueuedCount(), 2u);

  ASSERT_TRUE(pumpUntil([&] {
    const auto entries = log.entries();
    return events.QueuedCount() == 0 && !entries.empty() && entries.back() == "disconnected";
  }));
  EXPECT_LE(log.count("connected"), 2);
  EXPECT_LE(log.count("disconnected"), 2);
  out->Stop(true);
  ASSERT_TRUE(waitDone());
}

TEST_F(StreamedOut, PortInUseEndsTheRunWithCannotCreateFile) {
  startBroadcast();
  auto other = MakeComponent<TWMStreamedOut>();
  auto otherSource = MakeComponent<ToneSource>(std::vector<ToneSegment>{{44100, 2, 440, -1}});
  RunLog otherLog;
  watch(*other, otherLog);
  other->SetInput(otherSource.get());
  other->SetDesiredBitrate(128);
  other->SetPort(port);
  other->Run();
  ASSERT_TRUE(pumpUntil([&] { return otherLog.count("done") == 1; }));
  EXPECT_EQ(other->ExceptionMessage(), "Cannot create file");
  EXPECT_EQ(otherLog.entries(), (std::vector<std::string>{"exception:Cannot create file", "done"}));
  EXPECT_EQ(otherSource->Flushes, otherSource->Inits);
  EXPECT_EQ(other->Port(), port); // the port asked for is kept

  // The broadcast holding the port goes on.
  nettest::TestClient client(port);
  ASSERT_TRUE(client.send(nettest::getRequest()));
  EXPECT_NE(client.readHead().find(" 200 "), std::string::npos);
  out->Stop(false);
}

TEST_F(StreamedOut, ListenerLimitRefusesTheExtraClient) {
  out->SetMaxClients(1);
  startBroadcast();
  nettest::TestClient first(port);
  ASSERT_TRUE(first.send(nettest::getRequest()));
  EXPECT_NE(first.readHead().find(" 200 "), std::string::npos);
  ASSERT_TRUE(pumpUntil([&] { return out->ConnectionsCount() == 1; }));

  nettest::TestClient extra(port);
  ASSERT_TRUE(extra.send(nettest::getRequest()));
  const std::string refused = extra.readHead();
  EXPECT_EQ(refused.substr(0, refused.find("\r\n")).substr(8), " 503 Service Unavailable")
      << refused;
  EXPECT_EQ(out->ConnectionsCount(), 1u);
  out->Stop(false);
}

TEST_F(StreamedOut, BroadcastIsPacedToRealTime) {
  useSource({{44100, 2, 1000, 20.0}});
  const auto start = std::chrono::steady_clock::now();
  out->Run();
  ASSERT_TRUE(waitDone());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(out->ExceptionMessage(), "");
  EXPECT_EQ(src->BytesDelivered, 20 * 176400);
  EXPECT_NEAR(seconds, 20.0, 1.0);
}

} // namespace
} // namespace sondrix

namespace sondrix {
namespace {

// The main thread asks for the URL and the listener count while runs open and close their
// sink on the worker (with a listener, so closing takes a while).
TEST_F(StreamedOut, QueriesWhileRunsStartAndEndSeeAWholeSinkOrNone) {
  int queries = 0;
  auto query = [&] {
    const std::string url = toNarrow(out->URL());
    const std::uint32_t count = out->ConnectionsCount();
    ++queries;
    if (url.empty())
      return count == 0;
    return url.substr(url.rfind(':') + 1) == std::to_string(out->Port()) && count <= 1;
  };
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    out->Run();
    // Until sound goes out (the header with it), listeners would be turned away.
    bool consistent = true;
    ASSERT_TRUE(pumpUntil([&] {
      consistent = consistent && query();
      return !out->URL().empty() && src->BytesDelivered > 0;
    }));
    EXPECT_TRUE(consistent);
    port = static_cast<std::uint16_t>(out->Port());
    nettest::TestClient client(port);
    ASSERT_TRUE(client.send(nettest::getRequest()));
    ASSERT_NE(client.readHead().find(" 200 "), std::string::npos);
    out->Stop(true);
    ASSERT_TRUE(pumpUntil([&] {
      consistent = consistent && query();
      return log.count("done") == run + 1;
    }));
    EXPECT_TRUE(consistent);
    EXPECT_TRUE(out->URL().empty());
  }
  EXPECT_GT(queries, 3);
}

} // namespace
} // namespace sondrix
