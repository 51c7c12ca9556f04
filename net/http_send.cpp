#include "net/http_send.h"

#include "base/text.h"
#include "net/socket_errors.h"
#include "net/url_codec.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <string_view>

namespace sondrix {

namespace {

// Decimal (or, with base 16, hexadecimal) 32-bit number filling the whole text.
bool parseInt(const std::string& text, int base, int& value) {
  if (text.empty())
    return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
  return ec == std::errc() && ptr == end;
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isFoldFollower(const std::string& line) {
  if (line.empty())
    return false;
  const char c = line.front() == '\t' ? ' ' : line.front();
  return c == ' ' || c == '"' || c == ':' || c == '=';
}

// Joins continuation lines to the line they continue. The last line of the list is never
// taken as a continuation.
std::vector<std::string> unfoldHeaders(const std::vector<std::string>& scratch) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < scratch.size()) {
    std::string line = scratch[i];
    std::size_t j = i + 1;
    while (j + 1 < scratch.size() && isFoldFollower(scratch[j])) {
      line += ' '; // not " " + string: GCC 12 at -O3 warns falsely (-Wrestrict) on that
      line += trimAscii(scratch[j]);
      ++j;
    }
    out.push_back(trimRightAscii(line));
    i = j;
  }
  return out;
}

} // namespace

THTTPSend::THTTPSend()
    : FSock(std::make_unique<TTCPBlockSocket>()), FDocument(std::make_unique<TDocumentStream>()) {
  FTargetPort = "80";
  FTimeout = 90000;
  FSock->SetConvertLineEnd(true);
  // Whatever the caller sets, a server cannot make one line cost unbounded memory.
  FSock->SetMaxLineLength(kHttpMaxLineLength);
  FSock->SetSizeRecvBuffer(65536);
  FSock->SetSizeSendBuffer(65536);
  Clear();
}

THTTPSend::~THTTPSend() {
  FSock->CloseSocket();
}

void THTTPSend::Clear() {
  FRangeStart = 0;
  FRangeEnd = 0;
  *FDocument = TDocumentStream();
  FHeaders.clear();
  FMimeType = "text/html";
  FResponseLoaded = false;
}

namespace {

std::size_t hashOf(const std::vector<std::uint8_t>& data) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

} // namespace

void THTTPSend::rememberResponse() {
  FResponse.headers = FHeaders;
  FResponse.writes = FDocument->Writes();
  FResponse.size = FDocument->Data().size();
  FResponse.hash = hashOf(FDocument->Data());
  FMimeTypeSet = false;
}

void THTTPSend::dropResponse() {
  const auto& old = FResponse.headers;
  if (FHeaders.size() >= old.size() && std::equal(old.begin(), old.end(), FHeaders.begin()))
    FHeaders.erase(FHeaders.begin(), FHeaders.begin() + static_cast<std::ptrdiff_t>(old.size()));
  // Assigning a new stream does not count as a write, so the content is compared too.
  const auto& data = FDocument->Data();
  if (FDocument->Writes() == FResponse.writes && data.size() == FResponse.size &&
      hashOf(data) == FResponse.hash)
    *FDocument = TDocumentStream();
  if (!FMimeTypeSet)
    FMimeType = "text/html";
  FResponseLoaded = false;
}

void THTTPSend::DecodeStatus(const std::string& Value) {
  const std::string s = trimAscii(separateRight(Value, " "));
  int code = 0;
  FResultCode = parseInt(trimAscii(separateLeft(s, " ")), 10, code) ? code : 0;
  FResultString = s.find(' ') == std::string::npos ? "" : trimAscii(separateRight(s, " "));
}

void THTTPSend::Abort() {
  FSock->SetStopFlag(true);
}

bool THTTPSend::overLimit(std::int64_t bytes) {
  if (FMaxResponseSize <= 0 || bytes <= FMaxResponseSize)
    return false;
  FSock->SetLastError(WSAENOBUFS);
  return true;
}

bool THTTPSend::headOverLimit(std::int64_t bytes) {
  if (bytes <= kHttpMaxHeadBytes)
    return overLimit(bytes);
  FSock->SetLastError(WSAENOBUFS);
  return true;
}

bool THTTPSend::readHeaderLine(std::string& line, std::int64_t& headerBytes) {
  line = FSock->RecvString(FTimeout);
  if (FSock->LastError() != 0)
    return false;
  headerBytes += static_cast<std::int64_t>(line.size()) + 2;
  return !headOverLimit(headerBytes);
}

bool THTTPSend::HTTPMethod(const std::string& Method, const std::string& URL) {
  if (FResponseLoaded)
    dropResponse();
  FResultCode = 500;
  FResultString.clear();
  FDownloadSize = 0;
  FUploadSize = 0;

  const TURLParts url = ParseURL(URL);
  std::string user = DecodeURL(url.User);
  std::string pass = DecodeURL(url.Pass);
  if (user.empty()) {
    user = FUserName;
    pass = FPassword;
  }
  const std::string prot = upperAscii(url.Prot);

  bool usingProxy = false;
  if (prot == "HTTPS") {
    FSock->SetHTTPTunnelIP(FProxyHost);
    FSock->SetHTTPTunnelPort(FProxyPort);
    FSock->SetHTTPTunnelUser(FProxyUser);
    FSock->SetHTTPTunnelPass(FProxyPass);
  } else {
    FSock->SetHTTPTunnelIP("");
    FSock->SetHTTPTunnelPort("");
    FSock->SetHTTPTunnelUser("");
    FSock->SetHTTPTunnelPass("");
    usingProxy = !FProxyHost.empty();
  }

  // Request lines go on top of what the caller put into Headers, last inserted first.
  const std::int64_t bodySize = FDocument->Size();
  const auto insert = [this](std::string line) { FHeaders.insert(FHeaders.begin(), line); };
  const bool expect100 = FStatus100 && bodySize > 0 && FProtocol == "1.1";
  if (expect100)
    insert("Expect: 100-continue");
  if (bodySize > 0) {
    insert("Content-Length: " + std::to_string(bodySize));
    if (!FMimeType.empty())
      insert("Content-Type: " + FMimeType);
  }
  if (!FUserAgent.empty())
    insert("User-Agent: " + FUserAgent);
  if (FRangeStart > 0 || FRangeEnd > 0) {
    if (FRangeEnd < FRangeStart)
      insert("Range: bytes=" + std::to_string(FRangeStart) + "-");
    else
      insert("Range: bytes=" + std::to_string(FRangeStart) + "-" + std::to_string(FRangeEnd));
  }
  if (!FCookies.empty()) {
    std::string joined;
    for (const std::string& cookie : FCookies)
      joined += (joined.empty() ? "" : "; ") + cookie;
    insert("Cookie: " + joined);
  }
  const std::string prefix = usingProxy ? "Proxy-" : "";
  if (FKeepAlive) {
    insert(prefix + "Connection: keep-alive");
    insert("Keep-Alive: " + std::to_string(FKeepAliveTimeout));
  } else {
    insert(prefix + "Connection: close");
  }
  if (!user.empty())
    insert("Authorization: Basic " + EncodeBase64(user + ":" + pass));
  if (usingProxy && !FProxyUser.empty())
    insert("Proxy-Authorization: Basic " + EncodeBase64(FProxyUser + ":" + FProxyPass));
  const std::string hostText = IsIP6(url.Host) ? "[" + url.Host + "]" : url.Host;
  if (FAddPortNumberToHost && url.Port != "80")
    insert("Host: " + hostText + ":" + url.Port);
  else
    insert("Host: " + hostText);
  std::string uri = url.URI;
  if (usingProxy)
    uri = url.Prot + "://" + hostText + ":" + url.Port + uri;
  if (uri == "/*")
    uri = "*";
  const std::string method = upperAscii(Method);
  if (FProtocol == "0.9")
    insert(method + " " + uri);
  else
    insert(method + " " + uri + " HTTP/" + FProtocol);
  if (!FHeaders.back().empty())
    FHeaders.emplace_back();

  // Connect, or reuse the open connection to the same target when nothing is pending on it.
  if (usingProxy) {
    FTargetHost = FProxyHost;
    FTargetPort = FProxyPort;
  } else {
    FTargetHost = url.Host;
    FTargetPort = url.Port;
  }
  const bool reuse = FSock->IsOpen() && FAliveHost == FTargetHost && FAlivePort == FTargetPort &&
                     FSock->LineBuffer().empty() && !FSock->CanRead(0);
  if (!reuse) {
    FSock->CloseSocket();
    FSock->Bind(FIPInterface, "0");
    if (FSock->LastError() == 0)
      FSock->Connect(FTargetHost, FTargetPort);
    if (FSock->LastError() == 0 && prot == "HTTPS")
      FSock->SSLDoConnect();
    if (FSock->LastError() != 0) {
      FAliveHost.clear();
      FAlivePort.clear();
      return false;
    }
    FAliveHost = FTargetHost;
    FAlivePort = FTargetPort;
  }

  // Send.
  std::string request;
  if (FProtocol == "0.9") {
    request = FHeaders.front() + "\r\n";
  } else {
    for (const std::string& line : FHeaders)
      request += line + "\r\n";
  }
  FDocument->SetPosition(0);
  const std::vector<std::uint8_t>& body = FDocument->Data();
  const std::string bodyText(body.begin(), body.end());
  std::int64_t headerBytes = 0;
  bool haveEarlyStatus = false;
  std::string earlyStatus;
  std::vector<std::string> earlyHeaders;
  if (bodySize == 0) {
    FSock->SendString(request);
  } else if (expect100) {
    FSock->SendString(request);
    if (FSock->LastError() != 0)
      return false;
    std::string status;
    do {
      status = FSock->RecvString(FTimeout);
      if (FSock->LastError() == 0)
        headerBytes += static_cast<std::int64_t>(status.size()) + 2;
    } while (status.empty() && FSock->LastError() == 0 && !headOverLimit(headerBytes));
    if (FSock->LastError() != 0)
      return false;
    DecodeStatus(status);
    std::string line;
    while (readHeaderLine(line, headerBytes) && !line.empty())
      earlyHeaders.push_back(line);
    if (FResultCode >= 100 && FResultCode <= 199) {
      earlyHeaders.clear();
      headerBytes = 0;
      if (FSock->LastError() == 0)
        FSock->SendString(bodyText);
    } else {
      // The server answered without waiting for the body: that is the response, and the
      // header lines already read are its headers.
      haveEarlyStatus = true;
      earlyStatus = status;
    }
  } else if (bodySize < 65536) {
    FSock->SendString(request + bodyText);
    FUploadSize = static_cast<int>(request.size() + bodyText.size());
  } else {
    FSock->SendString(request);
    if (FSock->LastError() == 0)
      FSock->SendString(bodyText);
  }
  if (FSock->LastError() != 0 && !haveEarlyStatus)
    return false;

  // Status line; interim 100 responses are skipped.
  Clear();
  FResponseLoaded = true;
  struct Remember {
    THTTPSend& http;
    ~Remember() { http.rememberResponse(); }
  } remember{*this};
  std::int64_t size = -1;
  FTransferEncoding = TTransferEncoding::TE_UNKNOWN;
  if (haveEarlyStatus) {
    FHeaders.push_back(earlyStatus);
  } else {
    for (;;) {
      const std::string line = FSock->RecvString(FTimeout);
      const bool failed = FSock->LastError() != 0;
      if (!failed)
        headerBytes += static_cast<std::int64_t>(line.size()) + 2;
      if (line.empty() && !failed) {
        if (headOverLimit(headerBytes))
          break;
        continue;
      }
      if (startsWith(upperAscii(line), "HTTP/")) {
        FHeaders.push_back(line);
        DecodeStatus(line);
      } else {
        // A reply without a status line: its first line belongs to the body.
        const std::string text = line + "\r\n";
        FDocument->Write(text.data(), static_cast<std::int64_t>(text.size()));
        FResultCode = 0;
      }
      if (FSock->LastError() != 0 || FResultCode != 100 || headOverLimit(headerBytes))
        break;
    }
  }

  bool toClose = FProtocol != "1.1";

  if (!FHeaders.empty()) {
    std::vector<std::string> scratch;
    if (haveEarlyStatus) {
      scratch = std::move(earlyHeaders);
    } else {
      std::string line;
      while (readHeaderLine(line, headerBytes) && !line.empty())
        scratch.push_back(line);
    }
    for (const std::string& line : unfoldHeaders(scratch)) {
      FHeaders.push_back(line);
      const std::string upper = upperAscii(line);
      if (startsWith(upper, "CONTENT-LENGTH:")) {
        int value = 0;
        size = parseInt(trimAscii(separateRight(line, " ")), 10, value) ? value : -1;
        if (size != -1 && FTransferEncoding == TTransferEncoding::TE_UNKNOWN)
          FTransferEncoding = TTransferEncoding::TE_IDENTITY;
      }
      if (startsWith(upper, "CONTENT-TYPE:"))
        FMimeType = trimAscii(separateRight(line, " "));
      if (startsWith(upper, "TRANSFER-ENCODING:") &&
          separateRight(upper, " ").find("CHUNKED") != std::string::npos)
        FTransferEncoding = TTransferEncoding::TE_CHUNKED;
      const std::string_view connection = usingProxy ? "PROXY-CONNECTION:" : "CONNECTION:";
      if (startsWith(upper, connection) && upper.find("CLOSE") != std::string::npos)
        toClose = true;
    }
  }

  if (FSock->LastError() != 0) {
    FDocument->SetPosition(0);
    return false;
  }
  bool result = true;
  if (Method != "HEAD" && FResultCode != 204 && FResultCode != 304) {
    switch (FTransferEncoding) {
    case TTransferEncoding::TE_UNKNOWN:
      result = readBodyUnknown();
      break;
    case TTransferEncoding::TE_IDENTITY:
      result = readBodyIdentity(size);
      break;
    case TTransferEncoding::TE_CHUNKED:
      result = readBodyChunked(headerBytes);
      break;
    }
  }

  FDocument->SetPosition(0);
  if (toClose) {
    FSock->CloseSocket();
    FAliveHost.clear();
    FAlivePort.clear();
  }
  parseCookies();
  return result;
}

bool THTTPSend::readBodyUnknown() {
  for (;;) {
    const std::string packet = FSock->RecvPacket(FTimeout);
    if (FSock->LastError() != 0)
      break;
    if (overLimit(FDocument->Size() + static_cast<std::int64_t>(packet.size())))
      return false;
    FDocument->Write(packet.data(), static_cast<std::int64_t>(packet.size()));
  }
  // Without a length, the server closing the connection is the end of the body.
  if (FSock->LastError() == WSAECONNRESET) {
    FSock->ResetLastError();
    return true;
  }
  return false;
}

bool THTTPSend::readBodyIdentity(std::int64_t size) {
  if (size < 1)
    return true;
  FDownloadSize = static_cast<int>(size);
  if (overLimit(FDocument->Size() + size))
    return false;
  FSock->RecvStreamSize(*FDocument, FTimeout, size);
  return FSock->LastError() == 0;
}

bool THTTPSend::readBodyChunked(std::int64_t& lineBytes) {
  for (;;) {
    std::string line = FSock->RecvString(FTimeout);
    if (FSock->LastError() != 0)
      break;
    lineBytes += static_cast<std::int64_t>(line.size()) + 2;
    if (overLimit(lineBytes))
      break;
    if (line.empty())
      continue; // the CR LF after a chunk's data
    line = trimAscii(separateLeft(trimAscii(separateLeft(line, " ")), ";"));
    int chunk = 0;
    if (!parseInt(line, 16, chunk))
      chunk = 0;
    if (chunk == 0)
      break;
    if (chunk < 0 || overLimit(FDocument->Size() + chunk)) {
      if (chunk < 0)
        FSock->SetLastError(WSAEINVAL);
      break;
    }
    FDownloadSize = chunk;
    FSock->RecvStreamSize(*FDocument, FTimeout, chunk);
    if (FSock->LastError() != 0)
      break;
  }
  return FSock->LastError() == 0;
}

void THTTPSend::parseCookies() {
  for (const std::string& header : FHeaders) {
    if (!startsWith(lowerAscii(header), "set-cookie:"))
      continue;
    const std::string pair = trimAscii(separateLeft(separateRight(header, ":"), ";"));
    const std::size_t eq = pair.find('=');
    const std::string name = trimAscii(pair.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : trimAscii(pair.substr(eq + 1));
    const std::string entry = name + "=" + value;
    bool replaced = false;
    for (std::string& cookie : FCookies) {
      if (separateLeft(cookie, "=") == name) {
        cookie = entry;
        replaced = true;
        break;
      }
    }
    if (!replaced)
      FCookies.push_back(entry);
  }
}

namespace {

std::u16string decodeText(const std::vector<std::uint8_t>& data) {
  const std::size_t n = data.size();
  if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
    return toWide(std::string_view(reinterpret_cast<const char*>(data.data()) + 3, n - 3));
  if (n >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
    const bool little = data[0] == 0xFF;
    std::u16string text;
    text.reserve((n - 2) / 2);
    for (std::size_t i = 2; i + 1 < n; i += 2)
      text +=
          static_cast<char16_t>(little ? data[i] | data[i + 1] << 8 : data[i] << 8 | data[i + 1]);
    return text;
  }
  return toWide(std::string_view(reinterpret_cast<const char*>(data.data()), n));
}

} // namespace

std::vector<std::u16string> decodeTextLines(const std::vector<std::uint8_t>& Data) {
  const std::u16string text = decodeText(Data);
  std::vector<std::u16string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    if (c != u'\r' && c != u'\n') {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ? 2 : 1;
    start = i;
  }
  if (start < text.size())
    lines.push_back(text.substr(start));
  return lines;
}

bool GetUrlLines(const std::string& URL, std::vector<std::u16string>& Lines) {
  THTTPSend http;
  http.Sock().SetMaxLineLength(kUrlLinesMaxLineLength);
  http.SetMaxResponseSize(kUrlLinesMaxResponseSize);
  const bool result = http.HTTPMethod("GET", URL);
  if (result)
    Lines = decodeTextLines(http.Document().Data());
  return result;
}

} // namespace sondrix
