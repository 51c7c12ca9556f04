#include "local_server.h"
#include "net/socket_errors.h"
#include "net/tcp_block_socket.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

using testing::Gate;
using testing::LocalServer;
using testing::ServerConnection;

TTCPBlockSocket& connected(TTCPBlockSocket& sock, const LocalServer& server) {
  sock.Connect("127.0.0.1", server.portText());
  EXPECT_EQ(sock.LastError(), 0) << sock.LastErrorDesc();
  return sock;
}

TEST(BlockSocketLines, CrAndLfInSeparatePacketsEndOneLine) {
  Gate secondPart;
  LocalServer server([&](ServerConnection& c) {
    c.send("abc\r");
    secondPart.wait();
    c.send("\ndef\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "abc");
  EXPECT_EQ(sock.LastError(), 0);
  secondPart.open();
  EXPECT_EQ(sock.RecvString(5000), "def");
  EXPECT_EQ(sock.LastError(), 0);
}

TEST(BlockSocketLines, LfCrIsOneLineEndInOnePacketAndAcrossPackets) {
  Gate secondPart;
  LocalServer server([&](ServerConnection& c) {
    c.send("abc\n\rdef\nghi\n");
    secondPart.wait();
    c.send("\rjkl\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "abc");
  EXPECT_EQ(sock.RecvString(5000), "def");
  EXPECT_EQ(sock.RecvString(5000), "ghi");
  secondPart.open();
  EXPECT_EQ(sock.RecvString(5000), "jkl");
  EXPECT_EQ(sock.LastError(), 0);
}

TEST(BlockSocketLines, BlankLinesSurviveConversion) {
  LocalServer server([](ServerConnection& c) {
    c.send("a\r\n\r\nb\n\nc\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "a");
  EXPECT_EQ(sock.RecvString(5000), "");
  EXPECT_EQ(sock.RecvString(5000), "b");
  EXPECT_EQ(sock.RecvString(5000), "");
  EXPECT_EQ(sock.RecvString(5000), "c");
  EXPECT_EQ(sock.LastError(), 0);
}

TEST(BlockSocketLines, WithoutConversionOnlyCrLfEndsALine) {
  LocalServer server([](ServerConnection& c) {
    c.send("a\nb\rc\r\nd\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "a\nb\rc");
  EXPECT_EQ(sock.RecvTerminated(5000, "d"), "");
  EXPECT_EQ(sock.LineBuffer(), "\r\n");
  EXPECT_EQ(sock.RecvTerminated(5000, ""), "");
}

TEST(BlockSocketLines, PeerCloseGivesEmptyLineAndKeepsThePartialLine) {
  LocalServer server([](ServerConnection& c) { c.send("partial"); });
  TTCPBlockSocket sock;
  sock.SetConvertLineEnd(true);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "");
  EXPECT_EQ(sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(sock.LastErrorDesc(), "Connection reset by peer");
  EXPECT_EQ(sock.LineBuffer(), "partial");
  EXPECT_EQ(sock.RecvPacket(0), "partial");
  EXPECT_EQ(sock.LastError(), 0);
}

TEST(BlockSocketLines, OverlongLineFailsWith10055) {
  LocalServer server([](ServerConnection& c) {
    c.send("0123456789ABCDEF\r\nok\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  sock.SetMaxLineLength(10);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "");
  EXPECT_EQ(sock.LastError(), WSAENOBUFS);
}

TEST(BlockSocketLines, LimitIsTheLongestLineAccepted) {
  struct Case {
    std::string sent;
    bool convertLineEnd;
    std::string line;
    int error;
  } cases[] = {
      {"0123456789\r\nnext\r\n", false, "0123456789", 0},
      {"0123456789\nnext\r\n", true, "0123456789", 0},
      {"0123456789A\r\nnext\r\n", false, "", WSAENOBUFS},
      {"0123456789A\nnext\r\n", true, "", WSAENOBUFS},
  };
  for (const Case& c : cases) {
    LocalServer server([&](ServerConnection& conn) {
      conn.send(c.sent);
      conn.holdOpen();
    });
    TTCPBlockSocket sock;
    sock.SetMaxLineLength(10);
    sock.SetConvertLineEnd(c.convertLineEnd);
    connected(sock, server);
    EXPECT_EQ(sock.RecvString(5000), c.line) << c.sent;
    EXPECT_EQ(sock.LastError(), c.error) << c.sent;
  }
}

TEST(BlockSocketLines, ShortLinesReadTogetherWithLongDataPassTheLimit) {
  // A packet holding a short line and much more after it is not an overlong line.
  const std::string tail(100, 'x');
  LocalServer server([&](ServerConnection& c) {
    c.send("ok\r\n" + tail + "\r\n");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  sock.SetMaxLineLength(10);
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "ok");
  EXPECT_EQ(sock.LastError(), 0);
}

TEST(BlockSocketReads, RecvBufferExKeepsTheRestOfThePacket) {
  LocalServer server([](ServerConnection& c) {
    c.send("0123456789ABCDE");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  char buffer[10] = {};
  ASSERT_EQ(sock.RecvBufferEx(buffer, 10, 5000), 10);
  EXPECT_EQ(std::string(buffer, 10), "0123456789");
  EXPECT_EQ(sock.LineBuffer(), "ABCDE");
  // From the buffer: no wait, no error, although the server sends nothing more.
  EXPECT_EQ(sock.RecvPacket(0), "ABCDE");
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_EQ(sock.RecvPacket(0), "");
  EXPECT_EQ(sock.LastError(), WSAETIMEDOUT);
}

TEST(BlockSocketReads, SilentPeerTimesOutWith10060) {
  LocalServer server([](ServerConnection& c) { c.holdOpen(); });
  TTCPBlockSocket sock;
  connected(sock, server);
  EXPECT_EQ(sock.RecvPacket(50), "");
  EXPECT_EQ(sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(sock.RecvString(50), "");
  EXPECT_EQ(sock.LastError(), WSAETIMEDOUT);
  EXPECT_EQ(sock.RecvBufferStr(4, 50), "");
  EXPECT_EQ(sock.LastError(), WSAETIMEDOUT);
}

TEST(BlockSocketReads, WholeTransferLimitWhenInterPacketTimeoutIsOff) {
  Gate done;
  LocalServer server([&](ServerConnection& c) {
    c.send("ab");
    done.wait();
  });
  TTCPBlockSocket sock;
  sock.SetInterPacketTimeout(false);
  connected(sock, server);
  char buffer[4];
  EXPECT_EQ(sock.RecvBufferEx(buffer, 4, 100), 2);
  EXPECT_EQ(sock.LastError(), WSAETIMEDOUT);
  done.open();
}

TEST(BlockSocketReads, LargeTransfersCrossChunkBoundariesIntact) {
  std::string payload(3 * 65536 + 123, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<char>(i * 7 + i / 251);
  LocalServer server([&](ServerConnection& c) {
    const std::string got = c.readBytes(payload.size());
    c.send(got);
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  EXPECT_EQ(sock.SendBuffer(payload.data(), static_cast<int>(payload.size())),
            static_cast<int>(payload.size()));
  EXPECT_EQ(sock.LastError(), 0);
  TMemoryStream stream;
  sock.RecvStreamSize(stream, 5000, static_cast<std::int64_t>(payload.size()));
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_EQ(std::string(stream.Data().begin(), stream.Data().end()), payload);
}

TEST(BlockSocketReads, RecvStreamSizeStopsAtTheFirstFailedChunk) {
  LocalServer server([](ServerConnection& c) { c.send(std::string(65536 + 10, 'z')); });
  TTCPBlockSocket sock;
  connected(sock, server);
  TMemoryStream stream;
  sock.RecvStreamSize(stream, 5000, 65536 + 20);
  EXPECT_EQ(sock.LastError(), WSAECONNRESET);
  EXPECT_EQ(stream.Size(), 65536);
}

TEST(BlockSocketSend, StopFlagAbortsTheNextSendOnce) {
  LocalServer server([](ServerConnection& c) {
    c.readRequest(5000); // records what arrives up to a blank line
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  sock.SetStopFlag(true);
  EXPECT_EQ(sock.SendBuffer("lost", 4), 0);
  EXPECT_EQ(sock.LastError(), WSAECONNABORTED);
  EXPECT_FALSE(sock.StopFlag());
  sock.SendString("kept\r\n\r\n");
  EXPECT_EQ(sock.LastError(), 0);
  ASSERT_TRUE(server.waitHandled(1));
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "kept\r\n\r\n");
}

TEST(BlockSocketSend, StopFlagAbortsAReceiveButNotBufferedData) {
  LocalServer server([](ServerConnection& c) {
    c.send("line\r\nrest");
    c.holdOpen();
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  EXPECT_EQ(sock.RecvString(5000), "line");
  sock.SetStopFlag(true);
  EXPECT_EQ(sock.RecvPacket(0), "rest");
  EXPECT_EQ(sock.RecvPacket(1000), "");
  EXPECT_EQ(sock.LastError(), WSAECONNABORTED);
}

TEST(BlockSocketConnect, RefusedPortFailsAtOnceWith10061) {
  TTCPBlockSocket sock;
  sock.Connect("127.0.0.1", std::to_string(testing::unusedPort()));
  EXPECT_EQ(sock.LastError(), WSAECONNREFUSED);
  EXPECT_EQ(sock.LastErrorDesc(), "Connection refused");
}

TEST(BlockSocketConnect, UnresolvableNameFailsWithAResolverCode) {
  TTCPBlockSocket sock;
  // A label longer than 63 characters cannot exist, so no name server is asked.
  sock.Connect(std::string(70, 'a') + ".invalid", "80");
  EXPECT_GE(sock.LastError(), WSAHOST_NOT_FOUND);
  EXPECT_LE(sock.LastError(), WSANO_DATA);
  EXPECT_EQ(sock.LastErrorDesc(), GetErrorDesc(sock.LastError()));
  EXPECT_FALSE(sock.IsOpen());
}

TEST(BlockSocketConnect, HostNameTriesIPv4FirstAndRecordsAddresses) {
  LocalServer server([](ServerConnection& c) { c.holdOpen(); });
  TTCPBlockSocket sock;
  sock.Connect("localhost", server.portText());
  ASSERT_EQ(sock.LastError(), 0) << sock.LastErrorDesc();
  EXPECT_EQ(sock.GetRemoteSinIP(), "127.0.0.1");
  EXPECT_EQ(sock.GetRemoteSinPort(), server.port());
  EXPECT_EQ(sock.GetLocalSinIP(), "127.0.0.1");
  EXPECT_NE(sock.GetLocalSinPort(), 0);
}

TEST(BlockSocketConnect, BindToAnyAddressBeforeConnectCreatesNothing) {
  TTCPBlockSocket sock;
  sock.Bind("0.0.0.0", "0");
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_FALSE(sock.IsOpen());
  sock.Bind("127.0.0.1", "0");
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_TRUE(sock.IsOpen());
}

TEST(BlockSocketConnect, ClosedSocketCanConnectAgain) {
  LocalServer server([](ServerConnection& c) {
    c.send("hello\r\n");
    EXPECT_TRUE(c.waitForClose());
  });
  TTCPBlockSocket sock;
  for (int round = 0; round < 2; ++round) {
    connected(sock, server);
    EXPECT_EQ(sock.RecvString(5000), "hello");
    sock.CloseSocket();
    EXPECT_FALSE(sock.IsOpen());
    EXPECT_EQ(sock.LastError(), 0);
  }
  EXPECT_TRUE(server.waitHandled(2));
  EXPECT_EQ(server.accepted(), 2);
}

TEST(BlockSocketConnect, CloseReturnsWhilePeerKeepsSending) {
  std::atomic<std::size_t> sent{0};
  LocalServer server([&](ServerConnection& c) {
    const std::string block(65536, 'q');
    // Bounded: 64 MiB would take a purge without a limit far beyond the test's time.
    while (sent < (64u << 20) && c.send(block))
      sent += block.size();
  });
  TTCPBlockSocket sock;
  connected(sock, server);
  EXPECT_TRUE(sock.CanRead(5000));
  sock.CloseSocket();
  EXPECT_FALSE(sock.IsOpen());
  ASSERT_TRUE(server.waitHandled(1, 20000));
  EXPECT_LT(sent.load(), 64u << 20);
}

TEST(BlockSocketTls, StartingTlsFailsWith10091) {
  LocalServer server([](ServerConnection& c) { c.holdOpen(); });
  TTCPBlockSocket sock;
  connected(sock, server);
  sock.SSLDoConnect();
  EXPECT_EQ(sock.LastError(), WSASYSNOTREADY);
  EXPECT_EQ(sock.LastErrorDesc(), "Network subsystem is unusable");
}

TEST(BlockSocketTunnel, ConnectAsksTheProxyAndChecksItsAnswer) {
  LocalServer server([](ServerConnection& c) {
    const std::string request = c.readRequest();
    if (request.find("target.example:8443") != std::string::npos)
      c.send("HTTP/1.0 200 Connection established\r\nX: y\r\n\r\n");
    else
      c.send("HTTP/1.0 403 Forbidden\r\n\r\n");
    c.waitForClose(10000);
  });
  TTCPBlockSocket sock;
  sock.SetHTTPTunnelIP("127.0.0.1");
  sock.SetHTTPTunnelPort(server.portText());
  sock.SetHTTPTunnelUser("u");
  sock.SetHTTPTunnelPass("p");
  sock.Connect("target.example", "8443");
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_TRUE(sock.HTTPTunnel());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "CONNECT target.example:8443 HTTP/1.0\r\n"
                                  "Proxy-Authorization: Basic dTpw\r\n\r\n");
  sock.CloseSocket();

  sock.Connect("::1", "443");
  EXPECT_EQ(sock.LastError(), WSASYSNOTREADY);
  EXPECT_FALSE(sock.HTTPTunnel());
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].substr(0, 29), "CONNECT [::1]:443 HTTP/1.0\r\nP");
}

} // namespace
} // namespace sondrix
