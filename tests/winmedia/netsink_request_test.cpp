#include "netsink_helpers.h"

#include "winmedia/runtime/http_request.h"
#include "winmedia/runtime/mmsh_response.h"

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
      {request("GET", "/any/path", false, false), true, false, MmshAnswer::RawStream, false, true},
      {request("HEAD", "/", false, false), true, false, MmshAnswer::RawStream, true, false},
      {request("HEAD", "/", true, false), true, false, MmshAnswer::Describe, true, false},
      {request("GET", "/", false, false), false, false, MmshAnswer::NotReady, false, false},
      {request("GET", "/", true, true), true, true, MmshAnswer::Full, false, false},
      {request("GET", "/", true, false), true, true, MmshAnswer::Full, false, false},
      {request("GET", "/favicon.ico", false, false), true, false, MmshAnswer::NotFound, false,
       false},
      {request("GET", "/robots.txt", false, false), false, true, MmshAnswer::NotFound, false,
       false},
      {request("POST", "/", true, false), true, true, MmshAnswer::NoContent, false, false},
      {request("OPTIONS", "/", false, false), true, false, MmshAnswer::MethodNotAllowed, false,
       false},
      {request("get", "/", false, false), true, false, MmshAnswer::MethodNotAllowed, false, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    const MmshPlan plan = planMmshAnswer(c.r, c.haveHeader, c.full);
    EXPECT_EQ(plan.answer, c.answer) << "case " << i;
    EXPECT_EQ(plan.headOnly, c.headOnly) << "case " << i;
    EXPECT_EQ(plan.streams(), c.streams) << "case " << i;
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

} // namespace
} // namespace sondrix
