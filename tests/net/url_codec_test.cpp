#include "net/socket_errors.h"
#include "net/url_codec.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>

namespace sondrix {
namespace {

TEST(Base64, MatchesTheStandardTestVectors) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("f"), "Zg==");
  EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
  EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
  EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
  EXPECT_EQ(EncodeBase64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(EncodeBase64(std::string_view("\xFF\xFE\x00"
                                          "a",
                                          4)),
            "//4AYQ==");
}

TEST(DecodeURL, DecodesHexEscapesAndLeavesOtherPercentSigns) {
  EXPECT_EQ(DecodeURL("p%40ss%3aW"), "p@ss:W");
  EXPECT_EQ(DecodeURL("%2F%2f"), "//");
  EXPECT_EQ(DecodeURL("100%"), "100%");
  EXPECT_EQ(DecodeURL("%zz%4"), "%zz%4");
  EXPECT_EQ(DecodeURL("%%41"), "%A");
}

TEST(DecodeURL, DropsEscapedLineBreaks) {
  EXPECT_EQ(DecodeURL("a%\r\nb"), "ab");
  EXPECT_EQ(DecodeURL("a%\n\rb"), "ab");
  EXPECT_EQ(DecodeURL("a%\nb"), "ab");
  // Two breaks of the same kind are two breaks: only the first goes with the "%".
  EXPECT_EQ(DecodeURL("a%\n\nb"), "a\nb");
}

TEST(ParseURL, SchemeAndHostOnlyGivesRootTarget) {
  const TURLParts p = ParseURL("http://example.com");
  EXPECT_EQ(p.Prot, "http");
  EXPECT_EQ(p.Host, "example.com");
  EXPECT_EQ(p.Port, "80");
  EXPECT_EQ(p.URI, "/");
  EXPECT_EQ(p.Path, "/");
  EXPECT_EQ(p.Para, "");
}

TEST(ParseURL, PortPathAndQuery) {
  const TURLParts p = ParseURL("http://host:8080/a/b?x=1&y=/2");
  EXPECT_EQ(p.Host, "host");
  EXPECT_EQ(p.Port, "8080");
  EXPECT_EQ(p.URI, "/a/b?x=1&y=/2");
  EXPECT_EQ(p.Path, "/a/b");
  EXPECT_EQ(p.Para, "x=1&y=/2");
}

TEST(ParseURL, UserInformationOnlyBeforeThePath) {
  TURLParts p = ParseURL("http://us%20er:pa:ss@host/x@y");
  EXPECT_EQ(p.User, "us%20er"); // decoding is the client's step
  EXPECT_EQ(p.Pass, "pa:ss");
  EXPECT_EQ(p.Host, "host");
  EXPECT_EQ(p.URI, "/x@y");

  p = ParseURL("http://host/path@elsewhere");
  EXPECT_EQ(p.User, "");
  EXPECT_EQ(p.Host, "host");
  EXPECT_EQ(p.URI, "/path@elsewhere");

  p = ParseURL("ftp://anon@files");
  EXPECT_EQ(p.User, "anon");
  EXPECT_EQ(p.Pass, "");
  EXPECT_EQ(p.Port, "21");
}

TEST(ParseURL, DefaultPortsAndMissingParts) {
  EXPECT_EQ(ParseURL("HTTPS://secure/").Port, "443");
  const TURLParts bare = ParseURL("just-a-host");
  EXPECT_EQ(bare.Prot, "http");
  EXPECT_EQ(bare.Host, "just-a-host");
  EXPECT_EQ(ParseURL("http:///path").Host, "localhost");
}

TEST(ParseURL, BracketedIPv6Literal) {
  TURLParts p = ParseURL("http://[::1]:8098/ip");
  EXPECT_EQ(p.Host, "::1");
  EXPECT_EQ(p.Port, "8098");
  EXPECT_EQ(p.URI, "/ip");
  p = ParseURL("http://[fe80::1]/");
  EXPECT_EQ(p.Host, "fe80::1");
  EXPECT_EQ(p.Port, "80");
  EXPECT_TRUE(IsIP6("fe80::1"));
  EXPECT_FALSE(IsIP6("127.0.0.1"));
  EXPECT_FALSE(IsIP6("example.com"));
}

TEST(TextHelpers, SeparateKeepsWholeValueWithoutDelimiter) {
  EXPECT_EQ(separateRight("Content-Length:12", " "), "Content-Length:12");
  EXPECT_EQ(separateRight("Content-Length: 12", " "), "12");
  EXPECT_EQ(separateLeft("1a;ext=1", ";"), "1a");
  EXPECT_EQ(separateLeft("1a", ";"), "1a");
  EXPECT_EQ(trimAscii(" \t x y \r"), "x y");
  EXPECT_EQ(trimRightAscii(" x \t"), " x");
}

TEST(SocketErrors, DescriptionsOfKnownAndUnknownCodes) {
  EXPECT_EQ(GetErrorDesc(0), "");
  EXPECT_EQ(GetErrorDesc(10054), "Connection reset by peer");
  EXPECT_EQ(GetErrorDesc(10060), "Connection timed out");
  EXPECT_EQ(GetErrorDesc(10059), "Too many references:can't splice");
  EXPECT_EQ(GetErrorDesc(10091), "Network subsystem is unusable");
  EXPECT_EQ(GetErrorDesc(11002), "Non authoritative - host not found");
  EXPECT_EQ(GetErrorDesc(10072), "Other Winsock error (10072)");
  EXPECT_EQ(GetErrorDesc(-3), "Other Winsock error (-3)");
}

TEST(SocketErrors, PlatformCodesMapOntoTheSocketCodes) {
  EXPECT_EQ(socketErrorFromErrno(0), 0);
  EXPECT_EQ(socketErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(socketErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(socketErrorFromErrno(EPIPE), 10054);
  EXPECT_EQ(socketErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(socketErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(socketErrorFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(socketErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(socketErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(socketErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(socketErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(socketErrorFromResolver(EAI_FAIL, 0), 11003);
  EXPECT_EQ(socketErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

} // namespace
} // namespace sondrix
