// The echo service's reply: the HTTP client reading it from a socket, the body's lines, and
// the acceptance of the first line as the public address.

#include "fuzz/fuzz_support.h"
#include "net/http_send.h"
#include "net/public_address.h"
#include "tests/net/local_server.h"

#include <memory>
#include <mutex>

using namespace sondrix;

namespace {

// A loopback server answering every request with the bytes of the current input, then
// closing, as a broken or hostile echo service might.
class EchoStage {
public:
  EchoStage()
      : FServer([this](testing::ServerConnection& c) {
          c.readRequest(2000, false);
          c.send(reply());
        }) {}

  void setReply(std::string bytes) {
    std::lock_guard lock(FLock);
    FReply = std::move(bytes);
  }
  std::string url() const { return FServer.url("/"); }

private:
  std::string reply() {
    std::lock_guard lock(FLock);
    return FReply;
  }

  std::mutex FLock;
  std::string FReply;
  testing::LocalServer FServer;
};

EchoStage& stage() {
  static EchoStage echo;
  return echo;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EchoStage& echo = stage();
  echo.setReply(std::string(reinterpret_cast<const char*>(data), size));
  std::vector<std::u16string> lines;
  if (!GetUrlLines(echo.url(), lines))
    return 0;
  if (const auto address = echoReplyAddress(lines)) {
    fuzz::check(!address->empty());
    fuzz::check(address->front() != u' ' && address->back() != u' ');
  }
  return 0;
}
