// A station kept to one address: nothing listens on the others.

#include "winmedia/runtime/result_codes.h"
#include "winmedia/server/bind_address.h"
#include "winmedia/server/network_sink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace sondrix {
namespace {

// 0 when a TCP connection to Address:Port comes up, else the errno of the failure.
int connectTo(const std::string& Address, std::uint32_t Port) {
  std::optional<BindAddress> where = parseBindAddress(Address);
  if (!where)
    return EINVAL;
  if (where->Family == AF_INET)
    reinterpret_cast<sockaddr_in*>(&where->Address)->sin_port = htons(Port);
  else
    reinterpret_cast<sockaddr_in6*>(&where->Address)->sin6_port = htons(Port);
  const int fd = ::socket(where->Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return errno;
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&where->Address), where->Length);
  const int error = rc == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

bool haveIpv6Loopback() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0)
    return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

TEST(NetsinkBind, AddressesAreIpv4OrIpv6AndNothingElse) {
  for (const char* good : {"127.0.0.1", "0.0.0.0", "10.1.2.3", "::1", "[::1]", "fe80::1", "::"})
    EXPECT_TRUE(parseBindAddress(good).has_value()) << good;
  EXPECT_EQ(parseBindAddress("192.0.2.7")->Family, AF_INET);
  EXPECT_EQ(parseBindAddress("[2001:db8::1]")->Family, AF_INET6);
  for (const char* bad : {"", "localhost", "1.2.3", "256.1.1.1", "127.0.0.1:8098", "[::1", "::1]",
                          "[]", "::g", " 127.0.0.1"})
    EXPECT_FALSE(parseBindAddress(bad).has_value()) << '"' << bad << '"';
}

TEST(NetsinkBind, ListensOnTheOneAddressAskedAndNoOther) {
  std::vector<std::pair<std::string, std::string>> cases = {{"127.0.0.1", "127.0.0.2"}};
  if (haveIpv6Loopback()) {
    cases.push_back({"127.0.0.1", "::1"});
    cases.push_back({"::1", "127.0.0.1"});
    cases.push_back({"[::1]", "127.0.0.1"});
  }
  for (const auto& [bind, other] : cases) {
    SCOPED_TRACE(bind + " then " + other);
    TWMWriterNetworkSink sink;
    sink.SetBindAddress(bind);
    std::uint32_t port = 0;
    ASSERT_EQ(sink.Open(&port), S_OK);
    EXPECT_EQ(connectTo(bind, port), 0);
    EXPECT_EQ(connectTo(other, port), ECONNREFUSED);
    sink.Close();
  }
  // Every address when none is given: both families reach it.
  TWMWriterNetworkSink any;
  std::uint32_t port = 0;
  ASSERT_EQ(any.Open(&port), S_OK);
  EXPECT_EQ(connectTo("127.0.0.2", port), 0);
  if (haveIpv6Loopback()) {
    EXPECT_EQ(connectTo("::1", port), 0);
  }
  any.Close();
  // A name is no address: the sink does not open.
  TWMWriterNetworkSink named;
  named.SetBindAddress("localhost");
  port = 0;
  EXPECT_EQ(named.Open(&port), E_INVALIDARG);
}

} // namespace
} // namespace sondrix
