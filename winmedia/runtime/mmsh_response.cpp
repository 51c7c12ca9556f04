#include "winmedia/runtime/mmsh_response.h"

namespace sondrix {

MmshPlan planMmshAnswer(const HttpRequest& request, bool haveHeader, bool full) {
  MmshPlan plan;
  const bool get = request.method == "GET";
  plan.headOnly = request.method == "HEAD";
  if (request.method == "POST") {
    plan.answer = MmshAnswer::NoContent;
    return plan;
  }
  if (!get && !plan.headOnly) {
    plan.answer = MmshAnswer::MethodNotAllowed;
    return plan;
  }
  if (request.path == "/favicon.ico" || request.path == "/robots.txt") {
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

} // namespace sondrix
