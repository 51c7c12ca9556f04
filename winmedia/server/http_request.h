#pragma once

#include <cstddef>
#include <string>

namespace sondrix {

// One parsed request head, as far as the stream server cares.
struct HttpRequest {
  std::string method;    // as sent, e.g. "GET"
  std::string path;      // target without query
  std::string userAgent; // first User-Agent line
  std::string pragma;    // every Pragma line, joined with ','
  std::string accept;    // first Accept line
  // A Windows Media client: NSPlayer/NSServer agent, or a Pragma with xClientGUID/xPlayStrm.
  bool wm = false;
  // The Pragma token xPlayStrm=1: a Windows Media client asking for the stream itself rather
  // than the header (the describe request).
  bool play = false;
  // Icy-MetaData with a non-zero integer value: the client wants StreamTitle blocks in an MP3
  // stream.
  bool icyMetaData = false;
};

// Reads one request head from bytes that arrive in any number of pieces, within a size limit.
// Lenient by design: accepts "\n\n" as the end, bare-LF lines, header lines without a colon
// (ignored), and FFmpeg's last Pragma line that lacks its CRLF. Not thread-safe.
class HttpRequestReader {
public:
  enum class Status {
    NeedMore,
    Complete, // request() is valid
    TooLarge, // no end of head within the limit
    NotHttp,  // binary data (e.g. an MMS-over-TCP probe) or a malformed request line
  };

  explicit HttpRequestReader(std::size_t limit = 8192) : FLimit(limit) {}

  // Feeds bytes; once the status is not NeedMore, further bytes are ignored.
  Status append(const char* data, std::size_t size);
  Status status() const { return FStatus; }
  const HttpRequest& request() const { return FRequest; }

private:
  Status parse(std::size_t headEnd);

  std::size_t FLimit;
  std::string FBuffer;
  std::size_t FSkipped = 0; // empty lines before the request line
  Status FStatus = Status::NeedMore;
  HttpRequest FRequest;
};

// Whether a comma-separated Pragma value holds token (case-insensitive, spaces trimmed).
bool pragmaHasToken(const std::string& pragma, const std::string& token);

// Whether an Accept value names mediaType (case-insensitive) with a non-zero quality. Wildcards
// do not count: "*/*" accepts HTML but does not ask for it.
bool acceptNames(const std::string& accept, const std::string& mediaType);

} // namespace sondrix
