// The MP3 flavour and the status page of a running sondrix-cast, as players and a browser see
// them. One station serves every check, so the whole visit is one test.
#include "cast_process.h"
#include "loopback_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sondrix::test::CastProcess;
using sondrix::test::freePort;
using sondrix::test::run;
using sondrix::test::Socket;

std::string get(std::uint16_t port, const std::string& path, const std::string& headers = "") {
  Socket s(port);
  s.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
  std::string all;
  s.read(1 << 20, all, 5s);
  return all;
}

std::string bodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// Runs python3 on a JSON text and prints the value of a path such as ["listeners"]["mp3"].
std::string jsonValue(const fs::path& dir, const std::string& json, const std::string& path) {
  const fs::path file = dir / "status.json";
  std::ofstream(file, std::ios::binary) << json;
  const fs::path out = dir / "value.txt";
  const int rc =
      run("python3 -c 'import json,sys; v=json.load(open(sys.argv[1],encoding=\"utf-8\"))" + path +
          "; print(v if isinstance(v,str) else json.dumps(v), end=\"\")' " + file.string() + " > " +
          out.string() + " 2>&1");
  std::ifstream in(out, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return rc == 0 ? text.str() : "error: " + text.str();
}

// Titles sent as ICY metadata to one listener over some seconds, in order, without repeats.
std::vector<std::string> icyTitles(std::uint16_t port, std::chrono::seconds span) {
  Socket s(port);
  s.send("GET /stream.mp3 HTTP/1.1\r\nHost: 127.0.0.1\r\nIcy-MetaData: 1\r\n\r\n");
  const std::string head = s.readHead();
  std::vector<std::string> titles;
  if (head.find("icy-metaint: 16000\r\n") == std::string::npos)
    return {"no metaint: " + head};
  const auto end = std::chrono::steady_clock::now() + span;
  while (std::chrono::steady_clock::now() < end) {
    std::string audio, length, text;
    if (!s.read(16000, audio) || !s.read(1, length))
      return titles;
    // Every audio run between blocks starts mid-stream; an MP3 frame sync must be in it.
    if (audio.find("\xFF\xFB") == std::string::npos && audio.find("\xFF\xF3") == std::string::npos)
      titles.push_back("no frame sync");
    if (length[0] != 0 && !s.read(static_cast<unsigned char>(length[0]) * 16u, text))
      return titles;
    if (!text.empty()) {
      const std::string value = text.substr(0, text.find('\0'));
      if (titles.empty() || titles.back() != value)
        titles.push_back(value);
    }
  }
  return titles;
}

bool haveChromium() {
  return run("command -v chromium >/dev/null 2>&1") == 0;
}

TEST(CastMp3, PlayersAndABrowserHearTheMp3FlavourWithLiveTitles) {
  if (run("ffmpeg -version >/dev/null 2>&1") != 0 || run("python3 -V >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ffmpeg or python3 is not installed";
  const fs::path dir = fs::temp_directory_path() / ("sondrix-mp3-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string hostileArtist = "O'Brien \"Q\" ';";
  const std::string hostileTitle = "Привет <script>alert(1)</script>";
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:"
                "duration=6 -ac 2 -c:a libmp3lame -b:a 128k -metadata \"artist=O'Brien \\\"Q\\\" "
                "';\" -metadata 'title=" +
                hostileTitle + "' " + (dir / "a.mp3").string()),
            0);
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=880:sample_rate=44100:"
                "duration=6 -ac 2 -c:a libmp3lame -b:a 128k -metadata artist=Beta -metadata "
                "title=Second " +
                (dir / "b.mp3").string()),
            0);
  const std::uint16_t port = freePort();
  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  CastProcess cast({"--port", std::to_string(port), "--address", "127.0.0.1", "--name",
                    "Test <FM> \"1\"", (dir / "a.mp3").string(), (dir / "b.mp3").string()});
  ASSERT_TRUE(cast.WaitForText("On air", 20s)) << cast.Output();
  EXPECT_NE(cast.Output().find(base + "/stream.mp3"), std::string::npos) << cast.Output();

  {
    SCOPED_TRACE("status.json parses and counts MP3 listeners coming and going");
    // The port opens on the output's thread, a moment after "On air" (nothing answers yet);
    // until the output has described the station: 503.
    std::string answer = get(port, "/status.json");
    for (int i = 0; i < 50 && !answer.starts_with("HTTP/1.0 200 OK\r\n"); ++i) {
      EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.0 503 ")) << answer;
      std::this_thread::sleep_for(100ms);
      answer = get(port, "/status.json");
    }
    // The track is named on the main thread as the first file opens, which may come a moment
    // after the output's first answer on a busy machine.
    for (int i = 0; i < 20 && answer.find("\"file\":\"\"") != std::string::npos; ++i) {
      std::this_thread::sleep_for(100ms);
      answer = get(port, "/status.json");
    }
    const std::string json = bodyOf(answer);
    EXPECT_EQ(jsonValue(dir, json, "[\"station\"]"), "Test <FM> \"1\"") << json;
    EXPECT_EQ(jsonValue(dir, json, "[\"links\"][\"mp3\"]"), base + "/stream.mp3");
    EXPECT_EQ(jsonValue(dir, json, "[\"links\"][\"mms\"]"),
              "mms://127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(jsonValue(dir, json, "[\"bitrate\"]"), "128000");
    EXPECT_EQ(jsonValue(dir, json, "[\"listeners\"][\"total\"]"), "0");
    EXPECT_NE(jsonValue(dir, json, "[\"onAirSince\"]"), "null");
    // The tags arrive whole through JSON's escapes, whichever track is on.
    const std::string file = jsonValue(dir, json, "[\"nowPlaying\"][\"file\"]");
    EXPECT_TRUE(file == "a.mp3" || file == "b.mp3") << json;
    EXPECT_EQ(jsonValue(dir, json, "[\"nowPlaying\"][\"title\"]"),
              file == "a.mp3" ? hostileTitle : "Second");
    EXPECT_EQ(jsonValue(dir, json, "[\"nowPlaying\"][\"artist\"]"),
              file == "a.mp3" ? hostileArtist : "Beta");
    auto listener = std::make_unique<Socket>(port);
    listener->send("GET /stream.mp3 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(listener->readHead().starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_EQ(jsonValue(dir, bodyOf(get(port, "/status.json")), "[\"listeners\"]"),
              "{\"wma\": 0, \"mp3\": 1, \"total\": 1}");
    listener.reset();
    std::string listeners;
    for (int i = 0; i < 50 && listeners != "{\"wma\": 0, \"mp3\": 0, \"total\": 0}"; ++i) {
      std::this_thread::sleep_for(100ms);
      listeners = jsonValue(dir, bodyOf(get(port, "/status.json")), "[\"listeners\"]");
    }
    EXPECT_EQ(listeners, "{\"wma\": 0, \"mp3\": 0, \"total\": 0}");
  }

  // A listener with titles over two track changes, while the players below listen too.
  std::vector<std::string> titles;
  std::thread titled([&] { titles = icyTitles(port, 14s); });

  {
    SCOPED_TRACE("ffprobe and ffmpeg read the MP3 stream");
    const fs::path probe = dir / "probe.txt";
    EXPECT_EQ(run("timeout 20 ffprobe -v error -show_entries stream=codec_name,sample_rate,"
                  "channels -of default=nw=1 " +
                  base + "/stream.mp3 > " + probe.string()),
              0);
    std::ifstream in(probe);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "codec_name=mp3\nsample_rate=44100\nchannels=2\n");
    const fs::path raw = dir / "heard.raw";
    EXPECT_EQ(run("timeout 30 ffmpeg -nostdin -v error -i " + base + "/stream.mp3 -t 6 -f s16le " +
                  raw.string()),
              0);
    EXPECT_GE(fs::exists(raw) ? fs::file_size(raw) : 0, 5u * 44100 * 4);
  }

  if (!haveChromium()) {
    ADD_FAILURE() << "chromium is not installed (scripts/setup installs it)";
  } else {
    SCOPED_TRACE("a browser opening / gets the page, shows the track and loads its player");
    const fs::path dom = dir / "dom.html";
    const std::string shot = std::string(SONDRIX_TEST_OUTPUT_DIR) + "/status-page.png";
    const std::string chromium = "timeout 40 chromium --headless --no-sandbox --disable-gpu "
                                 "--autoplay-policy=no-user-gesture-required --timeout=7000 ";
    EXPECT_EQ(run(chromium + "--dump-dom " + base + "/ > " + dom.string() + " 2>/dev/null"), 0);
    std::ifstream in(dom);
    std::stringstream text;
    text << in.rdbuf();
    const std::string page = text.str();
    EXPECT_NE(page.find("Test &lt;FM&gt;"), std::string::npos) << page;
    EXPECT_EQ(page.find("<script>alert"), std::string::npos) << page;
    const bool showsTrack =
        page.find("Привет &lt;script&gt;alert(1)&lt;/script&gt;") != std::string::npos ||
        page.find("Beta - Second") != std::string::npos;
    EXPECT_TRUE(showsTrack) << page;
    EXPECT_NE(page.find("data-player=\"ready\""), std::string::npos) << page;
    run(chromium + "--window-size=800,600 --screenshot=" + shot + " " + base +
        "/status >/dev/null 2>&1");
    EXPECT_TRUE(fs::exists(shot));
  }

  titled.join();
  {
    SCOPED_TRACE("ICY titles follow the tracks, quotes escaped, text as it is");
    std::set<std::string> seen(titles.begin(), titles.end());
    EXPECT_TRUE(seen.contains("StreamTitle='Beta - Second';")) << ::testing::PrintToString(titles);
    bool hostile = false;
    for (const std::string& t : titles) {
      // The value ends at the first "';": the escaped quote must not end it early.
      if (t.find(hostileTitle) != std::string::npos)
        hostile = t.find("';") == t.size() - 2 && t.starts_with("StreamTitle='O'Brien");
    }
    EXPECT_TRUE(hostile) << ::testing::PrintToString(titles);
    EXPECT_FALSE(seen.contains("no frame sync"));
    EXPECT_GE(titles.size(), 2u);
  }

  EXPECT_EQ(cast.Signal(SIGINT, 10s), 0) << cast.Output();
  fs::remove_all(dir);
}

} // namespace
