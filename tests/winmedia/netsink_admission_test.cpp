#include "winmedia/server/net_admission.h"
#include "winmedia/server/net_fd.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <string>
#include <vector>

namespace sondrix {
namespace {

sockaddr_storage address(const std::string& text) {
  sockaddr_storage s{};
  if (text.find(':') != std::string::npos) {
    auto& a6 = reinterpret_cast<sockaddr_in6&>(s);
    a6.sin6_family = AF_INET6;
    EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &a6.sin6_addr), 1) << text;
  } else {
    auto& a4 = reinterpret_cast<sockaddr_in&>(s);
    a4.sin_family = AF_INET;
    EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &a4.sin_addr), 1) << text;
  }
  return s;
}

TEST(NetsinkAdmission, AddressKeysGroupOneClientsConnections) {
  struct Row {
    const char* a;
    const char* b;
    bool same;
  };
  const Row rows[] = {
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.8", false},
      {"192.0.2.7", "::ffff:192.0.2.7", true}, // through the dual-stack socket
      {"::ffff:192.0.2.7", "::ffff:192.0.2.8", false},
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9", true}, // one /64
      {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
      {"::1", "0.0.0.1", false},
      {"::", "0.0.0.0", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.a) + " / " + r.b);
    EXPECT_EQ(addressKeyOf(address(r.a)) == addressKeyOf(address(r.b)), r.same);
  }
}

TEST(NetsinkAdmission, TallyCountsInAllAndPerAddress) {
  const AddressKey a = addressKeyOf(address("192.0.2.1"));
  const AddressKey b = addressKeyOf(address("2001:db8::1"));
  PendingTally tally;
  tally.add(a);
  tally.add(a);
  tally.add(b);
  EXPECT_EQ(tally.size(), 3u);
  EXPECT_EQ(tally.from(a), 2u);
  EXPECT_EQ(tally.from(b), 1u);
  tally.remove(a);
  tally.remove(b);
  tally.remove(b); // not counted any more: ignored
  EXPECT_EQ(tally.size(), 1u);
  EXPECT_EQ(tally.from(a), 1u);
  EXPECT_EQ(tally.from(b), 0u);
  tally.clear();
  EXPECT_EQ(tally.size(), 0u);
  EXPECT_EQ(tally.from(a), 0u);
}

TEST(NetsinkAdmission, ConnectionLimitLeavesTheReserveAndWhatIsOpen) {
  const std::size_t base = connectionLimit(0);
  ASSERT_GT(base, 100u);
  EXPECT_EQ(connectionLimit(40), base - 40);
  std::vector<NetFd> files;
  for (int i = 0; i < 10; ++i) {
    files.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  EXPECT_EQ(connectionLimit(0), base - 10);
  EXPECT_EQ(connectionLimit(base), 0u);
}

} // namespace
} // namespace sondrix
