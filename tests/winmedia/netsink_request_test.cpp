#include "netsink_helpers.h"

#include "winmedia/server/http_request.h"
#include "winmedia/server/mmsh_response.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

using Status = HttpRequestReader::Status;

Status feedInPieces(HttpRequestReader& reader, const std::string& text, std::size_t piece) {
  Status status = Status::NeedMore;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    status = reader.append(text.data() + at, std::min(piece, text.size() - at));
  }
  return status;
}

TEST(NetsinkRequest, ClassifiesPlayersRequestsInAnyPieces) {
  struct Case {
    const char* name;
    std::string text;
    bool wm;
    bool play;
  };
  const std::vector<Case> cases = {
      {"ffmpeg describe", nettest::describeRequest(), true, false},
      {"ffmpeg play with its broken last line", nettest::playRequest(), true, true},
      {"VLC play, HTTP/1.0, odd GUID",
       "GET / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: NSPlayer/7.10.0.3059\r\nHost: x\r\n"
       "Pragma: xClientGUID={0xbabac001-0x1234}\r\npragma: XPLAYSTRM=1\r\n\r\n",
       true, true},
      {"guid alone makes a Windows Media client",
       "GET / HTTP/1.1\r\nUser-Agent: Other\r\nPragma: xClientGUID={1}\r\n\r\n", true, false},
      {"NSServer agent", "GET / HTTP/1.1\r\nuser-agent: NSServer/9\r\n\r\n", true, false},
      {"xPlayStrm=10 is not the play token", "GET / HTTP/1.1\r\nPragma: xPlayStrm=10\r\n\r\n", true,
       false},
      {"plain ffmpeg", nettest::getRequest(), false, false},
      {"bare LF line ends", "GET / HTTP/1.1\nUser-Agent: NSPlayer/4.1\nPragma: xPlayStrm=1\n\n",
       true, true},
      {"no headers at all", "GET /live HTTP/1.0\r\n\r\n", false, false},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {c.text.size(), std::size_t{1}, std::size_t{5}}) {
      HttpRequestReader reader;
      ASSERT_EQ(feedInPieces(reader, c.text, piece), Status::Complete) << c.name << " " << piece;
      EXPECT_EQ(reader.request().method, "GET") << c.name;
      EXPECT_EQ(reader.request().wm, c.wm) << c.name;
      EXPECT_EQ(reader.request().play, c.play) << c.name;
    }
  }
}

TEST(NetsinkRequest, JoinsPragmasAndNormalisesTheTarget) {
  HttpRequestReader reader;
  const std::string text = "HEAD http://example.org:8098/live?x=1 HTTP/1.1\r\n"
                           "Pragma: a=1\r\nX-No-Colon-Line\r\nPragma:  b=2 \r\n"
                           "User-Agent: first\r\nUser-Agent: second\r\n\r\nBODY";
  ASSERT_EQ(reader.append(text.data(), text.size()), Status::Complete);
  EXPECT_EQ(reader.request().method, "HEAD");
  EXPECT_EQ(reader.request().path, "/live");
  EXPECT_EQ(reader.request().pragma, "a=1,b=2");
  EXPECT_EQ(reader.request().userAgent, "first");
  EXPECT_TRUE(pragmaHasToken("no-cache, xPlayStrm=1 ,x", "xplaystrm=1"));
  EXPECT_FALSE(pragmaHasToken("no-cache,xPlayStrm=1x", "xPlayStrm=1"));
}

TEST(NetsinkRequest, RefusesWhatIsNotAnHttpRequest) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"binary MMS probe", std::string("\x01\x00\x00\x00\xCE\xFA\x0B\xB0", 8)},
      {"leading space", " GET / HTTP/1.1\r\n\r\n"},
      {"RTSP", "DESCRIBE rtsp://h/ RTSP/1.0\r\n\r\n"},
      {"two words", "GET /\r\n\r\n"},
      {"method with digits", "G3T / HTTP/1.1\r\n\r\n"},
      {"HTTP/2 line", "GET / HTTP/2.0\r\n\r\n"},
  };
  for (const auto& [name, text] : cases) {
    HttpRequestReader reader;
    EXPECT_EQ(reader.append(text.data(), text.size()), Status::NotHttp) << name;
  }
  // Empty lines before a request are ignored, in any pieces, but not without end.
  for (const std::string lead : {"\r\n", "\n\r\n\r\n"}) {
    HttpRequestReader blank;
    const std::string text = lead + "GET /status HTTP/1.1\r\n\r\n";
    EXPECT_EQ(feedInPieces(blank, text, 1), Status::Complete);
    EXPECT_EQ(blank.request().path, "/status");
  }
  HttpRequestReader endlessBlank(1024);
  EXPECT_EQ(feedInPieces(endlessBlank, std::string(4096, '\n'), 100), Status::TooLarge);
  // The probe is refused at its first byte, without waiting for more.
  HttpRequestReader reader;
  const char probe = '\x01';
  EXPECT_EQ(reader.append(&probe, 1), Status::NotHttp);
}

TEST(NetsinkRequest, BoundsTheHeadSize) {
  const std::string line = "X-Filler: " + std::string(90, 'a') + "\r\n";
  std::string head = "GET / HTTP/1.1\r\n";
  while (head.size() + line.size() + 2 <= 1024) {
    head += line;
  }
  head += "\r\n";
  ASSERT_LE(head.size(), 1024u);
  HttpRequestReader fits(1024);
  EXPECT_EQ(feedInPieces(fits, head, 100), Status::Complete);

  HttpRequestReader tooLarge(1024);
  const std::string endless = "GET / HTTP/1.1\r\n" + std::string(5000, 'a');
  EXPECT_EQ(feedInPieces(tooLarge, endless, 700), Status::TooLarge);
  // Once decided, more input changes nothing.
  EXPECT_EQ(tooLarge.append("\r\n\r\n", 4), Status::TooLarge);
}

TEST(NetsinkAnswer, DecisionTable) {
  auto request = [](std::string method, std::string path, bool wm, bool play) {
    HttpRequest r;
    r.method = std::move(method);
    r.path = std::move(path);
    r.wm = wm;
    r.play = play;
    return r;
  };
  struct Case {
    HttpRequest r;
    bool haveHeader;
    bool full;
    MmshAnswer answer;
    bool headOnly;
    bool streams;
  };
  const std::vector<Case> cases = {
      {request("GET", "/", true, false), true, false, MmshAnswer::Describe, false, false},
      {request("GET", "/", true, true), true, false, MmshAnswer::FramedStream, false, true},
      // Windows Media players stream at any path; anyone else only at the root.
      {request("GET", "/any/path", true, true), true, false, MmshAnswer::FramedStream, false, true},
      {request("GET", "/any/path", true, false), true, false, MmshAnswer::Describe, false, false},
      {request("GET", "/", false, false), true, false, MmshAnswer::RawStream, false, true},
      {request("GET", "/any/path", false, false), true, false, MmshAnswer::NotFound, false, false},
      {request("GET", "/../../etc/passwd", false, false), false, true, MmshAnswer::NotFound, false,
       false},
      {request("HEAD", "/STATUS", false, false), true, false, MmshAnswer::NotFound, true, false},
      {request("HEAD", "/", false, false), true, false, MmshAnswer::RawStream, true, false},
      {request("HEAD", "/", true, false), true, false, MmshAnswer::Describe, true, false},
      {request("GET", "/", false, false), false, false, MmshAnswer::NotReady, false, false},
      {request("GET", "/", true, true), true, true, MmshAnswer::Full, false, false},
      {request("GET", "/", true, false), true, true, MmshAnswer::Full, false, false},
      {request("GET", "/favicon.ico", false, false), true, false, MmshAnswer::Icon, false, false},
      {request("HEAD", "/favicon.ico", false, false), false, true, MmshAnswer::Icon, true, false},
      {request("GET", "/favicon.ico", true, true), true, false, MmshAnswer::FramedStream, false,
       true},
      {request("GET", "/robots.txt", false, false), false, true, MmshAnswer::NotFound, false,
       false},
      {request("POST", "/", true, false), true, true, MmshAnswer::NoContent, false, false},
      {request("OPTIONS", "/", false, false), true, false, MmshAnswer::MethodNotAllowed, false,
       false},
      {request("get", "/", false, false), true, false, MmshAnswer::MethodNotAllowed, false, false},
  };
  // The MP3 flavour changes none of these answers, whatever its state.
  for (const Mp3State mp3 : {Mp3State::Off, Mp3State::NotReady, Mp3State::Ready}) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const auto& c = cases[i];
      const MmshPlan plan = planMmshAnswer(c.r, c.haveHeader, c.full, mp3);
      EXPECT_EQ(plan.answer, c.answer) << "case " << i;
      EXPECT_EQ(plan.headOnly, c.headOnly) << "case " << i;
      EXPECT_EQ(plan.streams(), c.streams) << "case " << i;
    }
  }
}

TEST(NetsinkAnswer, ResponseHeadsAreWellFormed) {
  const std::vector<MmshAnswer> all = {
      MmshAnswer::Describe,  MmshAnswer::FramedStream, MmshAnswer::RawStream,
      MmshAnswer::NoContent, MmshAnswer::NotFound,     MmshAnswer::MethodNotAllowed,
      MmshAnswer::TooLarge,  MmshAnswer::NotReady,     MmshAnswer::Full};
  for (const MmshAnswer a : all) {
    const std::string head = mmshResponseHead(a, 1234, 5678);
    ASSERT_TRUE(head.starts_with("HTTP/1.0 ")) << head;
    ASSERT_TRUE(head.ends_with("\r\n\r\n")) << head;
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos) << head;
    // VLC aborts on a header line without a colon.
    std::size_t at = head.find("\r\n") + 2;
    while (at < head.size() - 2) {
      const std::size_t end = head.find("\r\n", at);
      EXPECT_NE(head.substr(at, end - at).find(": "), std::string::npos) << head;
      at = end + 2;
    }
  }
  const std::string describe = mmshResponseHead(MmshAnswer::Describe, 77, 5678);
  EXPECT_NE(describe.find("Content-Length: 5678\r\n"), std::string::npos);
  EXPECT_NE(describe.find("application/vnd.ms.wms-hdr.asfv1"), std::string::npos);
  EXPECT_NE(describe.find("client-id=77"), std::string::npos);
  EXPECT_NE(describe.find("features=\"broadcast\""), std::string::npos);
  for (const MmshAnswer stream : {MmshAnswer::FramedStream, MmshAnswer::RawStream}) {
    EXPECT_EQ(mmshResponseHead(stream, 1, 5678).find("Content-Length"), std::string::npos);
  }
  EXPECT_NE(mmshResponseHead(MmshAnswer::FramedStream, 1, 0).find("application/x-mms-framed"),
            std::string::npos);
  EXPECT_NE(mmshResponseHead(MmshAnswer::MethodNotAllowed, 1, 0).find("Allow: GET, HEAD\r\n"),
            std::string::npos);
  for (const MmshAnswer busy : {MmshAnswer::NotReady, MmshAnswer::Full}) {
    const std::string head = mmshResponseHead(busy, 1, 0);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 503 ")) << head;
    EXPECT_NE(head.find("Retry-After: "), std::string::npos);
    EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos);
  }
  EXPECT_TRUE(mmshResponseHead(MmshAnswer::TooLarge, 1, 0).starts_with("HTTP/1.0 431 "));
}

HttpRequest parsed(const std::string& text) {
  HttpRequestReader reader;
  EXPECT_EQ(reader.append(text.data(), text.size()), Status::Complete) << text;
  return reader.request();
}

TEST(NetsinkRequest, ReadsAcceptAndIcyMetaData) {
  struct Case {
    const char* headers;
    bool icy;
    const char* accept;
  };
  const std::vector<Case> cases = {
      {"Icy-MetaData: 1\r\n", true, ""},
      {"icy-metadata:   1  \r\nACCEPT: text/html\r\n", true, "text/html"},
      {"Icy-MetaData: 2\r\n", true, ""},
      {"Icy-MetaData: 01\r\n", true, ""},
      {"Icy-MetaData: 0\r\n", false, ""},
      {"Icy-MetaData: 000\r\n", false, ""},
      {"Icy-MetaData: yes\r\n", false, ""},
      {"Icy-MetaData: 1x\r\n", false, ""},
      {"Icy-MetaData: 1 1\r\n", false, ""},
      {"Icy-MetaData:\r\n", false, ""},
      {"X-Icy-MetaData: 1\r\n", false, ""},
      {"", false, ""},
      // The first line decides, for both.
      {"Icy-MetaData: 0\r\nIcy-MetaData: 1\r\nAccept: */*\r\nAccept: text/html\r\n", false, "*/*"},
      {"Accept:\r\nAccept: text/html\r\n", false, ""},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("GET /stream.mp3 HTTP/1.1\r\n") + c.headers + "\r\n";
    for (const std::size_t piece : {text.size(), std::size_t{1}}) {
      HttpRequestReader reader;
      ASSERT_EQ(feedInPieces(reader, text, piece), Status::Complete) << c.headers;
      EXPECT_EQ(reader.request().icyMetaData, c.icy) << c.headers;
      EXPECT_EQ(reader.request().accept, c.accept) << c.headers;
      EXPECT_EQ(reader.request().path, "/stream.mp3");
    }
  }

  const std::vector<std::pair<const char*, bool>> accepts = {
      {"text/html", true},
      {"TEXT/HTML;q=0.9", true},
      {"application/xhtml+xml , text/html ; level=1", true},
      {"text/html;q=0.001", true},
      {"text/html;q=0", false},
      {"text/html; Q=0.000", false},
      {"*/*", false},
      {"text/*", false},
      {"text/htmlx, xtext/html", false},
      {"", false},
  };
  for (const auto& [accept, names] : accepts) {
    EXPECT_EQ(acceptNames(accept, "text/html"), names) << accept;
  }
}

TEST(NetsinkAnswer, StationPathsTable) {
  auto request = [](std::string method, std::string path) {
    HttpRequest r;
    r.method = std::move(method);
    r.path = std::move(path);
    return r;
  };
  struct Case {
    HttpRequest r;
    bool haveHeader;
    bool full;
    Mp3State mp3;
    MmshAnswer answer;
    bool streams;
  };
  using M = MmshAnswer;
  const Mp3State off = Mp3State::Off, notReady = Mp3State::NotReady, ready = Mp3State::Ready;
  const std::vector<Case> cases = {
      // The MP3 stream depends on its own encoder, not on the broadcast's header.
      {request("GET", "/stream.mp3"), true, false, off, M::NotFound, false},
      {request("GET", "/stream.mp3"), false, false, notReady, M::NotReady, false},
      {request("GET", "/stream.mp3"), true, false, notReady, M::NotReady, false},
      {request("GET", "/stream.mp3"), false, false, ready, M::Mp3Stream, true},
      {request("GET", "/stream.mp3"), true, false, ready, M::Mp3Stream, true},
      {request("GET", "/stream.mp3"), true, true, ready, M::Full, false},
      {request("GET", "/stream.mp3"), true, true, off, M::NotFound, false},
      {request("HEAD", "/stream.mp3"), true, false, ready, M::Mp3Stream, false},
      {request("POST", "/stream.mp3"), true, false, ready, M::MethodNotAllowed, false},
      {request("PUT", "/stream.mp3"), true, false, ready, M::MethodNotAllowed, false},
      // The status answers are not listeners: no header needed, no place taken.
      {request("GET", "/status"), false, true, off, M::StatusPage, false},
      {request("GET", "/status"), true, false, ready, M::StatusPage, false},
      {request("HEAD", "/status"), false, false, off, M::StatusPage, false},
      {request("GET", "/status.json"), false, true, notReady, M::StatusJson, false},
      {request("HEAD", "/status.json"), true, false, ready, M::StatusJson, false},
      {request("POST", "/status"), true, false, ready, M::MethodNotAllowed, false},
      {request("DELETE", "/status.json"), true, false, ready, M::MethodNotAllowed, false},
      // Only the exact paths; anything else is no stream and takes no place.
      {request("GET", "/status/"), true, false, ready, M::NotFound, false},
      {request("GET", "/Status.json"), true, false, ready, M::NotFound, false},
      {request("GET", "/stream.mp3/x"), false, false, ready, M::NotFound, false},
      {request("GET", "/stream.mp"), true, true, ready, M::NotFound, false},
      {request("POST", "/status.jsonx"), true, false, ready, M::NoContent, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const MmshPlan plan = planMmshAnswer(c.r, c.haveHeader, c.full, c.mp3);
    EXPECT_EQ(plan.answer, c.answer) << "case " << i;
    EXPECT_EQ(plan.headOnly, c.r.method == "HEAD") << "case " << i;
    EXPECT_EQ(plan.streams(), c.streams) << "case " << i;
  }

  // Query strings and absolute-form targets reach the same answers.
  const std::vector<std::pair<std::string, MmshAnswer>> targets = {
      {"/stream.mp3?t=123", M::Mp3Stream},
      {"http://radio.example:8098/stream.mp3", M::Mp3Stream},
      {"/status?refresh=1", M::StatusPage},
      {"/status.json?_=1700000000", M::StatusJson},
      {"http://radio.example:8098/status.json?x", M::StatusJson},
  };
  for (const auto& [target, answer] : targets) {
    const HttpRequest r = parsed("GET " + target + " HTTP/1.1\r\nUser-Agent: x\r\n\r\n");
    EXPECT_EQ(planMmshAnswer(r, true, false, Mp3State::Ready).answer, answer) << target;
  }
}

TEST(NetsinkAnswer, BrowsersGetThePageAtTheRootPlayersTheStream) {
  const std::string chrome =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:8098\r\nConnection: keep-alive\r\n"
      "Upgrade-Insecure-Requests: 1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
      "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
      "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7\r\n"
      "Accept-Encoding: gzip, deflate, br, zstd\r\nAccept-Language: en-US,en;q=0.9\r\n\r\n";
  const std::string firefox =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:8098\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; "
      "rv:128.0) Gecko/20100101 Firefox/128.0\r\nAccept: text/html,application/xhtml+xml,"
      "application/xml;q=0.9,*/*;q=0.8\r\nAccept-Language: en-US,en;q=0.5\r\n"
      "Accept-Encoding: gzip, deflate, br, zstd\r\nConnection: keep-alive\r\n"
      "Upgrade-Insecure-Requests: 1\r\nSec-Fetch-Dest: document\r\nSec-Fetch-Mode: "
      "navigate\r\n\r\n";
  const std::string vlc = "GET / HTTP/1.1\r\nHost: 127.0.0.1:8098\r\nAccept: */*\r\n"
                          "Accept-Language: en_US\r\nUser-Agent: VLC/3.0.24 LibVLC/3.0.24\r\n"
                          "Range: bytes=0-\r\nIcy-MetaData: 1\r\n\r\n";
  const std::string mpv = "GET / HTTP/1.1\r\nUser-Agent: libmpv\r\nAccept: */*\r\n"
                          "Range: bytes=0-\r\nConnection: close\r\nHost: 127.0.0.1:8098\r\n"
                          "Icy-MetaData: 1\r\n\r\n";
  const std::string wmp = "GET / HTTP/1.0\r\nAccept: */*\r\nUser-Agent: NSPlayer/12.00.19041.1320 "
                          "WMFSDK/12.00.19041.1320\r\nHost: 127.0.0.1:8098\r\n"
                          "Pragma: xClientGUID={3300AD50-2C39-46c0-AE0A-1A2B3C4D5E6F}\r\n\r\n";
  // A Windows Media client stays one whatever it accepts.
  const std::string wmWithHtml = "GET / HTTP/1.1\r\nUser-Agent: NSPlayer/12.00\r\n"
                                 "Accept: text/html, */*\r\n\r\n";
  const std::string htmlRefused = "GET / HTTP/1.1\r\nUser-Agent: curl/7.88.1\r\n"
                                  "Accept: text/html;q=0, */*\r\n\r\n";
  struct Case {
    const char* name;
    std::string text;
    MmshAnswer answer;
  };
  const std::vector<Case> cases = {
      {"Chrome", chrome, MmshAnswer::StatusPage},
      {"Firefox", firefox, MmshAnswer::StatusPage},
      {"VLC", vlc, MmshAnswer::RawStream},
      {"mpv", mpv, MmshAnswer::RawStream},
      {"ffmpeg", nettest::getRequest(), MmshAnswer::RawStream},
      {"ffmpeg mmsh describe", nettest::describeRequest(), MmshAnswer::Describe},
      {"ffmpeg mmsh play", nettest::playRequest(), MmshAnswer::FramedStream},
      {"Windows Media Player", wmp, MmshAnswer::Describe},
      {"NSPlayer accepting HTML", wmWithHtml, MmshAnswer::Describe},
      {"HTML refused with q=0", htmlRefused, MmshAnswer::RawStream},
      {"no headers", "GET / HTTP/1.0\r\n\r\n", MmshAnswer::RawStream},
  };
  for (const auto& c : cases) {
    const HttpRequest r = parsed(c.text);
    for (const Mp3State mp3 : {Mp3State::Off, Mp3State::Ready}) {
      EXPECT_EQ(planMmshAnswer(r, true, false, mp3).answer, c.answer) << c.name;
    }
  }

  // The page needs no broadcast and takes no place; the browser on any other path is not
  // found, and asking for the favicon it gets the station's icon.
  const HttpRequest browser = parsed(chrome);
  EXPECT_EQ(planMmshAnswer(browser, false, false, Mp3State::Off).answer, MmshAnswer::StatusPage);
  EXPECT_EQ(planMmshAnswer(browser, true, true, Mp3State::Off).answer, MmshAnswer::StatusPage);
  HttpRequest elsewhere = browser;
  elsewhere.path = "/live";
  EXPECT_EQ(planMmshAnswer(elsewhere, true, false, Mp3State::Off).answer, MmshAnswer::NotFound);
  elsewhere.path = "/favicon.ico";
  EXPECT_EQ(planMmshAnswer(elsewhere, true, false, Mp3State::Off).answer, MmshAnswer::Icon);
  // Players that ask for ICY metadata on the root still get the broadcast.
  EXPECT_TRUE(parsed(vlc).icyMetaData);
}

std::vector<std::string> headLines(const std::string& head) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < head.size()) {
    const std::size_t end = head.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(head.substr(at));
      break;
    }
    lines.push_back(head.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// Status line, then "Name: value" lines, then exactly one empty line at the end.
void expectWellFormed(const std::string& head) {
  ASSERT_TRUE(head.starts_with("HTTP/1.0 200 OK\r\n")) << head;
  ASSERT_TRUE(head.ends_with("\r\n\r\n")) << head;
  EXPECT_EQ(head.find('\n'), head.find("\r\n") + 1) << head;
  const auto lines = headLines(head);
  ASSERT_GE(lines.size(), 3u);
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(": "), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].find_first_of("\r\n"), std::string::npos) << lines[i];
  }
  EXPECT_EQ(lines.back(), "");
  EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
  EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos);
}

TEST(NetsinkAnswer, Mp3AndStatusHeads) {
  const std::string mp3 = mp3ResponseHead("Sondrix FM", 128000, 16000);
  expectWellFormed(mp3);
  EXPECT_NE(mp3.find("Content-Type: audio/mpeg\r\n"), std::string::npos);
  EXPECT_NE(mp3.find("icy-name: Sondrix FM\r\n"), std::string::npos);
  EXPECT_NE(mp3.find("icy-br: 128\r\n"), std::string::npos);
  EXPECT_NE(mp3.find("icy-metaint: 16000\r\n"), std::string::npos);
  // A stream: a length would make FFmpeg stop after that many bytes.
  EXPECT_EQ(mp3.find("Content-Length"), std::string::npos);
  const std::string noMeta = mp3ResponseHead("Sondrix FM", 192000, 0);
  expectWellFormed(noMeta);
  EXPECT_EQ(noMeta.find("icy-metaint"), std::string::npos);
  EXPECT_NE(noMeta.find("icy-br: 192\r\n"), std::string::npos);

  // A name cannot add headers of its own or break the head.
  const std::string hostile =
      mp3ResponseHead("Evil\r\nSet-Cookie: a=1\r\n\r\n\x01Radio\x7F\n\xC2\x85!", 128000, 0);
  expectWellFormed(hostile);
  EXPECT_NE(hostile.find("icy-name: EvilSet-Cookie: a=1Radio!\r\n"), std::string::npos) << hostile;
  for (const auto& line : headLines(hostile)) {
    EXPECT_FALSE(line.starts_with("Set-Cookie")) << line;
  }

  // Cut at 200 bytes without splitting a character: "a" + 99 two-byte letters fit, 100 do not.
  std::string cyrillic = "a";
  for (int i = 0; i < 150; ++i) {
    cyrillic += "\xD0\x96"; // Ж
  }
  const std::string longHead = mp3ResponseHead(cyrillic, 128000, 0);
  expectWellFormed(longHead);
  EXPECT_NE(longHead.find("icy-name: " + cyrillic.substr(0, 199) + "\r\n"), std::string::npos);

  const std::string json = statusResponseHead(MmshAnswer::StatusJson, 1234);
  expectWellFormed(json);
  EXPECT_NE(json.find("Content-Type: application/json; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(json.find("Content-Length: 1234\r\n"), std::string::npos);
  EXPECT_NE(json.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
  const std::string page = statusResponseHead(MmshAnswer::StatusPage, 0);
  expectWellFormed(page);
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(page.find("Content-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(page.find("Access-Control"), std::string::npos);

  // A caller that has no body for these must not promise one.
  for (const MmshAnswer a :
       {MmshAnswer::Mp3Stream, MmshAnswer::StatusPage, MmshAnswer::StatusJson}) {
    const std::string head = mmshResponseHead(a, 1, 5678);
    EXPECT_TRUE(head.starts_with("HTTP/1.0 404 ")) << head;
    EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos) << head;
  }
}

} // namespace
} // namespace sondrix
