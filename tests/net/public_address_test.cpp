#include "local_server.h"
#include "net/public_address.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>

#include "base/text.h"

namespace sondrix {
namespace {

using testing::LocalServer;
using testing::ServerConnection;

LocalServer::Handler echoReply(std::string statusLine, std::string body) {
  return [statusLine, body](ServerConnection& c) {
    c.readRequest();
    c.send(statusLine + "\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body);
    c.waitForClose(10000);
  };
}

class PublicAddress : public ::testing::Test {
protected:
  std::u16string lookUp(LocalServer& server) {
    ScopedEchoUrlOverride echo(server.url("/ip"));
    return GetPublicAddress();
  }
};

TEST_F(PublicAddress, FirstReplyLineIsTakenTrimmed) {
  LocalServer server(echoReply("HTTP/1.0 200 OK", " 198.51.100.4 \r\nsecond line\r\n"));
  EXPECT_EQ(lookUp(server), u"198.51.100.4");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].rfind("GET /ip HTTP/1.0\r\n", 0), 0u);
}

TEST_F(PublicAddress, ErrorStatusReplyCountsOnlyByItsBody) {
  LocalServer text(echoReply("HTTP/1.0 500 Internal Server Error", "no address today"));
  EXPECT_EQ(lookUp(text), GetLocalAddress());
  LocalServer address(echoReply("HTTP/1.0 503 Service Unavailable", "203.0.113.7\n"));
  EXPECT_EQ(lookUp(address), u"203.0.113.7");
}

TEST_F(PublicAddress, HtmlPageFallsBackToTheLocalAddress) {
  LocalServer server(echoReply("HTTP/1.0 200 OK", "<html><body>busy</body></html>\r\n"));
  EXPECT_EQ(lookUp(server), GetLocalAddress());
}

TEST_F(PublicAddress, CapitalHtmlFallsBackToo) {
  LocalServer server(echoReply("HTTP/1.0 200 OK", "<HTML><BODY>busy\r\n"));
  EXPECT_EQ(lookUp(server), GetLocalAddress());
}

TEST_F(PublicAddress, OnlyAFirstLineThatIsAnAddressIsTaken) {
  const std::vector<std::pair<std::string, std::u16string>> cases = {
      {"2001:db8::1\n", u"2001:db8::1"},
      {"\t::ffff:192.0.2.1\t\r\n", u"::ffff:192.0.2.1"},
      {"192.0.2.1", u"192.0.2.1"},
      {"999.1.1.1", {}},
      {"192.0.2.1 is your address", {}},
      {"192.0.2.1/24", {}},
      {std::string("192.0.2.1\0garbage", 17), {}},
      {"\r\n192.0.2.1", {}},
      {"fe80::1%eth0", {}},
  };
  for (const auto& [body, expected] : cases) {
    LocalServer server(echoReply("HTTP/1.0 200 OK", body));
    EXPECT_EQ(lookUp(server), expected.empty() ? GetLocalAddress() : expected) << body;
  }
}

TEST_F(PublicAddress, SilentServiceFallsBackWithinTheDeadline) {
  LocalServer server([](ServerConnection& c) {
    c.readRequest();
    c.holdOpen();
  });
  const auto started = std::chrono::steady_clock::now();
  const std::u16string address = lookUp(server);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(address, GetLocalAddress());
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(PublicAddress, EmptyReplyFallsBackToTheLocalAddress) {
  LocalServer server(echoReply("HTTP/1.0 200 OK", ""));
  EXPECT_EQ(lookUp(server), GetLocalAddress());
}

TEST_F(PublicAddress, UnreachableServiceFallsBackToTheLocalAddress) {
  ScopedEchoUrlOverride echo("http://127.0.0.1:" + std::to_string(testing::unusedPort()) + "/");
  EXPECT_EQ(GetPublicAddress(), GetLocalAddress());
}

TEST_F(PublicAddress, EveryLookupAsksAgain) {
  LocalServer server(echoReply("HTTP/1.0 200 OK", "203.0.113.9"));
  ScopedEchoUrlOverride echo(server.url("/ip"));
  EXPECT_EQ(GetPublicAddress(), u"203.0.113.9");
  EXPECT_EQ(GetPublicAddress(), u"203.0.113.9");
  EXPECT_TRUE(server.waitHandled(2));
  EXPECT_EQ(server.accepted(), 2);
}

TEST(LocalAddress, IsEmptyOrADottedIPv4Address) {
  const std::string address = toNarrow(GetLocalAddress());
  if (!address.empty()) {
    in_addr parsed;
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
  }
  // The fallback must be meaningful on this machine, whose name resolves.
  EXPECT_FALSE(address.empty());
}

TEST(EchoServiceUrl, OverrideEndsWithItsScope) {
  EXPECT_EQ(echoServiceUrl(), kEchoServiceUrl);
  EXPECT_EQ(std::string(kEchoServiceUrl).rfind("http://", 0), 0u);
  {
    ScopedEchoUrlOverride outer("http://127.0.0.1:1/a");
    {
      ScopedEchoUrlOverride inner("http://127.0.0.1:1/b");
      EXPECT_EQ(echoServiceUrl(), "http://127.0.0.1:1/b");
    }
    EXPECT_EQ(echoServiceUrl(), "http://127.0.0.1:1/a");
  }
  EXPECT_EQ(echoServiceUrl(), kEchoServiceUrl);
}

} // namespace
} // namespace sondrix
