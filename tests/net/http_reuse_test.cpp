#include "local_server.h"
#include "net/http_send.h"

#include <gtest/gtest.h>

#include <functional>

namespace sondrix {
namespace {

using testing::LocalServer;
using testing::ServerConnection;

// What the caller sets between two requests of one client, and what the second request
// must and must not carry.
struct NextRequest {
  const char* name;
  std::string firstReply;
  std::function<void(THTTPSend&)> set;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};

void PrintTo(const NextRequest& c, std::ostream* os) {
  *os << c.name;
}

const std::string kEmptyReply =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nX-Reply: 1\r\nContent-Length: 0\r\n\r\n";
const std::string kReplyWithBody =
    "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nX-Reply: 1\r\nContent-Length: 10\r\n\r\n"
    "reply body";
// Nothing of a reply may go out with a request.
const std::vector<std::string> kReplyParts = {"HTTP/1.0 200", "X-Reply", "reply body"};

void writeBody(THTTPSend& http, std::string_view body) {
  http.Document().Write(body.data(), static_cast<std::int64_t>(body.size()));
}

class HttpNextRequest : public ::testing::TestWithParam<NextRequest> {};

TEST_P(HttpNextRequest, KeepsWhatTheCallerSetAndNothingOfTheReply) {
  const NextRequest& c = GetParam();
  LocalServer server([&](ServerConnection& conn) {
    conn.readRequest();
    conn.send(c.firstReply);
    conn.waitForClose(10000);
  });
  THTTPSend http;
  ASSERT_TRUE(http.HTTPMethod("GET", server.url("/1")));
  ASSERT_EQ(http.ResultCode(), 200);
  c.set(http);
  ASSERT_TRUE(http.HTTPMethod("POST", server.url("/2")));
  ASSERT_TRUE(server.waitHandled(2));
  const std::string request = server.requests().at(1);
  for (const std::string& part : c.present)
    EXPECT_NE(request.find(part), std::string::npos) << part << " missing in:\n" << request;
  for (const std::string& part : c.absent)
    EXPECT_EQ(request.find(part), std::string::npos) << part << " sent in:\n" << request;
  for (const std::string& part : kReplyParts)
    EXPECT_EQ(request.find(part), std::string::npos) << part << " sent in:\n" << request;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpNextRequest,
    ::testing::Values(NextRequest{"NothingSet",
                                  kReplyWithBody,
                                  [](THTTPSend&) {},
                                  {"POST /2 HTTP/1.0\r\n"},
                                  {"Content-Length", "Content-Type"}},
                      NextRequest{"ReplyReadThrough",
                                  kReplyWithBody,
                                  [](THTTPSend& http) {
                                    char buffer[10];
                                    http.Document().Read(buffer, sizeof buffer);
                                  },
                                  {"POST /2 HTTP/1.0\r\n"},
                                  {"Content-Length", "Content-Type"}},
                      NextRequest{"BodyWrittenAfterAnEmptyReply",
                                  kEmptyReply,
                                  [](THTTPSend& http) {
                                    writeBody(http, "a=1");
                                    http.SetMimeType("application/x-www-form-urlencoded");
                                  },
                                  {"\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 3\r\n\r\na=1"},
                                  {"text/plain"}},
                      NextRequest{
                          "BodyWrittenWithTheReplysType",
                          kEmptyReply,
                          [](THTTPSend& http) {
                            writeBody(http, "plain");
                            http.SetMimeType("text/plain");
                          },
                          {"\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nplain"},
                          {}},
                      NextRequest{"BodyWrittenWithoutAType",
                                  kEmptyReply,
                                  [](THTTPSend& http) { writeBody(http, "<p>"); },
                                  {"\r\nContent-Type: text/html\r\nContent-Length: 3\r\n\r\n<p>"},
                                  {"text/plain"}},
                      NextRequest{"DocumentReplaced",
                                  kReplyWithBody,
                                  [](THTTPSend& http) {
                                    http.Document() = TMemoryStream({'b', '=', '2'});
                                    http.SetMimeType("application/x-www-form-urlencoded");
                                  },
                                  {"\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Content-Length: 3\r\n\r\nb=2"},
                                  {"text/plain"}},
                      NextRequest{"RangeAndExtraLine",
                                  kReplyWithBody,
                                  [](THTTPSend& http) {
                                    http.SetRangeStart(5);
                                    http.SetRangeEnd(9);
                                    http.Headers().push_back("X-Extra: 1");
                                  },
                                  {"\r\nRange: bytes=5-9\r\n", "\r\nX-Extra: 1\r\n\r\n"},
                                  {"Content-Length", "Content-Type"}},
                      NextRequest{"HeadersReplaced",
                                  kReplyWithBody,
                                  [](THTTPSend& http) { http.Headers() = {"X-Only: 1"}; },
                                  {"\r\nX-Only: 1\r\n\r\n"},
                                  {"Content-Length", "Content-Type"}}),
    [](const ::testing::TestParamInfo<NextRequest>& info) { return std::string(info.param.name); });

TEST(HttpConnection, ServerClosingAKeptConnectionGetsANewOne) {
  LocalServer server([](ServerConnection& c) {
    c.readRequest();
    // HTTP/1.1 without "Connection: close", then the server closes anyway.
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc");
  });
  THTTPSend http;
  http.SetProtocol("1.1");
  http.SetTimeout(5000);
  ASSERT_TRUE(http.HTTPMethod("GET", server.url("/1")));
  ASSERT_TRUE(http.Sock().IsOpen());
  ASSERT_TRUE(server.waitHandled(1));
  ASSERT_TRUE(http.HTTPMethod("GET", server.url("/2"))) << http.Sock().LastError();
  EXPECT_EQ(http.ResultCode(), 200);
  const auto& data = http.Document().Data();
  EXPECT_EQ(std::string(data.begin(), data.end()), "abc");
  EXPECT_EQ(server.accepted(), 2);
}

} // namespace
} // namespace sondrix
