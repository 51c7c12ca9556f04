#include "local_server.h"
#include "net/local_address.h"
#include "net/public_address.h"

#include <algorithm>
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
  // Every machine has at least its loopback address.
  EXPECT_FALSE(address.empty());
}

TEST(LocalAddress, PrefersTheDefaultRouteThenAnyNonLoopbackInterface) {
  const std::vector<LocalInterfaceAddress> all = {{"lo", "127.0.0.1", true},
                                                  {"docker0", "172.17.0.1", false},
                                                  {"eth0", "192.0.2.2", false},
                                                  {"eth0", "192.0.2.3", false}};
  EXPECT_EQ(chooseLocalAddress(all, "eth0"), "192.0.2.2");
  EXPECT_EQ(chooseLocalAddress(all, ""), "172.17.0.1");
  EXPECT_EQ(chooseLocalAddress(all, "wlan0"), "172.17.0.1") << "a route through no address";
  EXPECT_EQ(chooseLocalAddress({{"lo", "127.0.0.1", true}}, "lo"), "127.0.0.1");
  EXPECT_EQ(chooseLocalAddress({{"lo", "127.0.0.1", true}, {"eth1", "10.0.0.5", false}}, "lo"),
            "10.0.0.5");
  EXPECT_EQ(chooseLocalAddress({}, "eth0"), "");

  // On this machine: what its own interfaces and routes give, never loopback beside another.
  const std::vector<LocalInterfaceAddress> here = localInterfaceAddresses();
  const std::string chosen = toNarrow(GetLocalAddress());
  EXPECT_EQ(chosen, chooseLocalAddress(here, defaultRouteInterface()));
  const bool other = std::any_of(here.begin(), here.end(),
                                 [](const LocalInterfaceAddress& a) { return !a.Loopback; });
  if (other) {
    EXPECT_NE(chosen.rfind("127.", 0), 0u) << chosen;
  }
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
