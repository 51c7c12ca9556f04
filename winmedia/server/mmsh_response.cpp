#include "winmedia/server/mmsh_response.h"

#include "base/utf8_text.h"

#include <string_view>

namespace sondrix {

namespace {

bool isStationPath(const std::string& path) {
  return path == kMp3StreamPath || path == kStatusPagePath || path == kStatusJsonPath;
}

// A browser opening the station's address; players send "*/*" or nothing, and Windows Media
// clients keep their answers whatever they accept.
bool isBrowserAtRoot(const HttpRequest& request) {
  return request.path == "/" && !request.wm && acceptNames(request.accept, "text/html");
}

MmshAnswer mp3Answer(Mp3State mp3, bool full) {
  switch (mp3) {
  case Mp3State::Off:
    return MmshAnswer::NotFound;
  case Mp3State::NotReady:
    return MmshAnswer::NotReady;
  case Mp3State::Ready:
    break;
  }
  return full ? MmshAnswer::Full : MmshAnswer::Mp3Stream;
}

void appendClean(std::string& out, std::string_view text, std::size_t maxBytes) {
  const std::string clean = cleanUtf8(text, true);
  out.append(clean, 0, utf8CutLength(clean, maxBytes));
}

} // namespace

MmshPlan planMmshAnswer(const HttpRequest& request, bool haveHeader, bool full, Mp3State mp3) {
  MmshPlan plan;
  const bool get = request.method == "GET";
  plan.headOnly = request.method == "HEAD";
  // Players' log and keep-alive posts go to the stream's own address, never to these.
  if (request.method == "POST" && !isStationPath(request.path)) {
    plan.answer = MmshAnswer::NoContent;
    return plan;
  }
  if (!get && !plan.headOnly) {
    plan.answer = MmshAnswer::MethodNotAllowed;
    return plan;
  }
  if (request.path == kMp3StreamPath) {
    plan.answer = mp3Answer(mp3, full);
    // The status answers are no listeners: they need neither a header nor a free place.
  } else if (request.path == kStatusPagePath || isBrowserAtRoot(request)) {
    plan.answer = MmshAnswer::StatusPage;
  } else if (request.path == kStatusJsonPath) {
    plan.answer = MmshAnswer::StatusJson;
  } else if (request.path == kIconPath && !request.wm) {
    plan.answer = MmshAnswer::Icon;
  } else if (!request.wm && request.path != "/") {
    // Browsers' and crawlers' strays: a stream here would count as a listener. Windows Media
    // players keep the path of their mms:// link, so they stream at any path.
    plan.answer = MmshAnswer::NotFound;
  } else if (!haveHeader) {
    plan.answer = MmshAnswer::NotReady;
  } else if (full) {
    // A describe that succeeded would only lead to a refused play request.
    plan.answer = MmshAnswer::Full;
  } else if (request.wm) {
    plan.answer = request.play ? MmshAnswer::FramedStream : MmshAnswer::Describe;
  } else {
    plan.answer = MmshAnswer::RawStream;
  }
  return plan;
}

std::string mmshResponseHead(MmshAnswer answer, std::uint32_t clientId,
                             std::size_t describeLength) {
  std::string status;
  std::string extra;
  bool common = false;
  switch (answer) {
  case MmshAnswer::Describe:
    status = "200 OK";
    common = true;
    extra = "Content-Type: application/vnd.ms.wms-hdr.asfv1\r\nContent-Length: " +
            std::to_string(describeLength) + "\r\n";
    break;
  case MmshAnswer::FramedStream:
    // Never a Content-Length on a stream: FFmpeg stops after that many bytes.
    status = "200 OK";
    common = true;
    extra = "Content-Type: application/x-mms-framed\r\n";
    break;
  case MmshAnswer::RawStream:
    status = "200 OK";
    common = true;
    extra = "Content-Type: video/x-ms-asf\r\n";
    break;
  case MmshAnswer::NoContent:
    status = "204 No Content";
    break;
  case MmshAnswer::NotFound:
  case MmshAnswer::Mp3Stream:
  case MmshAnswer::StatusPage:
  case MmshAnswer::StatusJson:
  case MmshAnswer::Icon:
    status = "404 Not Found";
    extra = "Content-Length: 0\r\n";
    break;
  case MmshAnswer::MethodNotAllowed:
    status = "405 Method Not Allowed";
    extra = "Allow: GET, HEAD\r\nContent-Length: 0\r\n";
    break;
  case MmshAnswer::TooLarge:
    status = "431 Request Header Fields Too Large";
    extra = "Content-Length: 0\r\n";
    break;
  case MmshAnswer::NotReady:
  case MmshAnswer::Full:
    status = "503 Service Unavailable";
    extra = "Retry-After: " + std::to_string(kMmshRetryAfterSeconds) + "\r\nContent-Length: 0\r\n";
    break;
  }
  std::string head = "HTTP/1.0 " + status + "\r\nServer: Sondrix/1.1.1\r\n";
  if (common) {
    head += "Cache-Control: no-cache\r\nPragma: no-cache,client-id=" + std::to_string(clientId) +
            "\r\nPragma: features=\"broadcast\"\r\n";
  }
  head += extra;
  head += "Connection: close\r\n\r\n";
  return head;
}

std::string mp3ResponseHead(const std::string& stationName, std::uint32_t bitrate,
                            std::uint32_t metaInt) {
  std::string head = "HTTP/1.0 200 OK\r\nServer: Sondrix/1.1.1\r\nContent-Type: audio/mpeg\r\n"
                     "Cache-Control: no-cache\r\nicy-name: ";
  // A CR or LF from the name would let it write headers of its own.
  appendClean(head, stationName, kIcyNameMaxBytes);
  head += "\r\nicy-br: " + std::to_string((std::uint64_t{bitrate} + 500) / 1000) + "\r\n";
  if (metaInt != 0) {
    head += "icy-metaint: " + std::to_string(metaInt) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  return head;
}

std::string iconResponseHead(std::size_t bodyLength) {
  return "HTTP/1.0 200 OK\r\nServer: Sondrix/1.1.1\r\nContent-Type: image/png\r\n"
         "Content-Length: " +
         std::to_string(bodyLength) +
         "\r\nCache-Control: max-age=86400\r\nConnection: close\r\n\r\n";
}

std::string statusResponseHead(MmshAnswer kind, std::size_t bodyLength) {
  std::string head = "HTTP/1.0 200 OK\r\nServer: Sondrix/1.1.1\r\n";
  if (kind == MmshAnswer::StatusJson) {
    // Pages on other hosts may show the station's status.
    head += "Content-Type: application/json; charset=utf-8\r\nAccess-Control-Allow-Origin: *\r\n";
  } else {
    head += "Content-Type: text/html; charset=utf-8\r\n";
  }
  head += "Content-Length: " + std::to_string(bodyLength) +
          "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
  return head;
}

} // namespace sondrix
