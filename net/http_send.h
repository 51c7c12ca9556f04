#pragma once

#include "base/stream.h"
#include "net/net_client.h"
#include "net/tcp_block_socket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sondrix {

enum class TTransferEncoding { TE_UNKNOWN, TE_IDENTITY, TE_CHUNKED };

// A small blocking HTTP client: one HTTPMethod call performs one request and fills
// ResultCode, Headers and Document. Transport trouble makes HTTPMethod return false (the
// socket keeps the code); HTTP error statuses do not. No TLS: https always fails (10091).
// Thread: one thread at a time; Abort may be called from another thread.
class THTTPSend : public TNetClient {
public:
  THTTPSend();
  ~THTTPSend() override;

  // Resets the ranges, the document, the header list and the MIME type. A reused client
  // never sends the previous response back: HTTPMethod drops the response's lines, body and
  // MIME type where the caller left them, and keeps what the caller set since (extra lines
  // after the response's, a body written or assigned, SetMimeType, the ranges).
  void Clear();
  void DecodeStatus(const std::string& Value);
  // Blocks for the whole exchange, up to Timeout per wait for data.
  bool HTTPMethod(const std::string& Method, const std::string& URL);
  // The next send or network receive of the socket fails with 10053.
  void Abort();

  TTCPBlockSocket& Sock() { return *FSock; }
  // Before a request: extra request lines; after it: the status line and the headers.
  std::vector<std::string>& Headers() { return FHeaders; }
  // Before a request: the body to upload; after it: the response body at position 0.
  TMemoryStream& Document() { return *FDocument; }
  // "name=value" lines sent with each request and updated from the responses.
  std::vector<std::string>& Cookies() { return FCookies; }

  TTransferEncoding TransferEncoding() const { return FTransferEncoding; }
  const std::string& MimeType() const { return FMimeType; }
  void SetMimeType(std::string v) {
    FMimeType = std::move(v);
    FMimeTypeSet = true;
  }
  const std::string& Protocol() const { return FProtocol; }
  void SetProtocol(std::string v) { FProtocol = std::move(v); }
  bool KeepAlive() const { return FKeepAlive; }
  void SetKeepAlive(bool v) { FKeepAlive = v; }
  int KeepAliveTimeout() const { return FKeepAliveTimeout; }
  void SetKeepAliveTimeout(int v) { FKeepAliveTimeout = v; }
  bool Status100() const { return FStatus100; }
  void SetStatus100(bool v) { FStatus100 = v; }
  const std::string& ProxyHost() const { return FProxyHost; }
  void SetProxyHost(std::string v) { FProxyHost = std::move(v); }
  const std::string& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(std::string v) { FProxyPort = std::move(v); }
  const std::string& ProxyUser() const { return FProxyUser; }
  void SetProxyUser(std::string v) { FProxyUser = std::move(v); }
  const std::string& ProxyPass() const { return FProxyPass; }
  void SetProxyPass(std::string v) { FProxyPass = std::move(v); }
  int ResultCode() const { return FResultCode; }
  const std::string& ResultString() const { return FResultString; }
  const std::string& UserAgent() const { return FUserAgent; }
  void SetUserAgent(std::string v) { FUserAgent = std::move(v); }
  int DownloadSize() const { return FDownloadSize; }
  int UploadSize() const { return FUploadSize; }
  int RangeStart() const { return FRangeStart; }
  void SetRangeStart(int v) { FRangeStart = v; }
  int RangeEnd() const { return FRangeEnd; }
  void SetRangeEnd(int v) { FRangeEnd = v; }
  bool AddPortNumberToHost() const { return FAddPortNumberToHost; }
  void SetAddPortNumberToHost(bool v) { FAddPortNumberToHost = v; }
  const std::string& AliveHost() const { return FAliveHost; }
  const std::string& AlivePort() const { return FAlivePort; }

  // Most bytes of response body kept, and of response lines read (status, headers, blank
  // lines, chunk sizes); 0 = no limit. Over the limit the request fails with 10055 ("No
  // Buffer space available").
  std::int64_t MaxResponseSize() const { return FMaxResponseSize; }
  void SetMaxResponseSize(std::int64_t v) { FMaxResponseSize = v; }

private:
  bool overLimit(std::int64_t bytes);
  bool headOverLimit(std::int64_t bytes);
  bool readHeaderLine(std::string& line, std::int64_t& headerBytes);
  bool readBodyUnknown();
  bool readBodyIdentity(std::int64_t size);
  bool readBodyChunked(std::int64_t& lineBytes);
  void parseCookies();
  void rememberResponse();
  void dropResponse();

  // Counts writes: a body the caller writes counts as set even when its bytes equal the reply.
  class TDocumentStream : public TMemoryStream {
  public:
    std::int64_t Write(const void* buffer, std::int64_t count) override {
      ++FWrites;
      return TMemoryStream::Write(buffer, count);
    }
    std::uint64_t Writes() const { return FWrites; }

  private:
    std::uint64_t FWrites = 0;
  };

  // What the last response left in Headers and Document, to tell it from the caller's.
  struct ResponseMark {
    std::vector<std::string> headers;
    std::uint64_t writes = 0;
    std::size_t size = 0;
    std::size_t hash = 0;
  };

  std::unique_ptr<TTCPBlockSocket> FSock;
  TTransferEncoding FTransferEncoding = TTransferEncoding::TE_UNKNOWN;
  std::string FAliveHost;
  std::string FAlivePort;
  std::vector<std::string> FHeaders;
  std::unique_ptr<TDocumentStream> FDocument;
  std::string FMimeType = "text/html";
  std::string FProtocol = "1.0";
  bool FKeepAlive = true;
  int FKeepAliveTimeout = 300;
  bool FStatus100 = false;
  std::string FProxyHost;
  std::string FProxyPort = "8080";
  std::string FProxyUser;
  std::string FProxyPass;
  int FResultCode = 0;
  std::string FResultString;
  std::string FUserAgent = "Mozilla/4.0 (compatible; Sondrix)";
  std::vector<std::string> FCookies;
  int FDownloadSize = 0;
  int FUploadSize = 0;
  int FRangeStart = 0;
  int FRangeEnd = 0;
  bool FAddPortNumberToHost = true;
  std::int64_t FMaxResponseSize = 0;
  bool FResponseLoaded = false;
  bool FMimeTypeSet = false;
  ResponseMark FResponse;
};

// Bounds every client keeps unless told otherwise: the longest line it reads (the socket's
// MaxLineLength), and the most bytes of status and header lines of one response. Over either
// the request fails with 10055.
inline constexpr int kHttpMaxLineLength = 64 * 1024;
inline constexpr std::int64_t kHttpMaxHeadBytes = 256 * 1024;

// Limits of the client GetUrlLines uses, so that a broken or hostile server cannot make
// it keep unbounded data.
inline constexpr int kUrlLinesMaxLineLength = 64 * 1024;
inline constexpr std::int64_t kUrlLinesMaxResponseSize = 1024 * 1024;

// One GET of URL with a fresh client. On true, Lines holds the body as text lines (a BOM
// selects UTF-8 or UTF-16, else UTF-8 with Windows-1252 fallback), split at CR, LF or CR LF;
// on false Lines is untouched. Blocks the calling thread.
bool GetUrlLines(const std::string& URL, std::vector<std::u16string>& Lines);

// The text of Data split into lines as GetUrlLines does it.
std::vector<std::u16string> decodeTextLines(const std::vector<std::uint8_t>& Data);

} // namespace sondrix
