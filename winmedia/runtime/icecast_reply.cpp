#include "winmedia/runtime/icecast_reply.h"

#include "base/utf8_text.h"

#include <algorithm>

namespace sondrix {

namespace {

constexpr std::string_view kVersion = "HTTP/1.";
constexpr std::size_t kShownMax = 200;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// What a report may show of the server's text: one line, no control characters, short.
std::string shown(std::string_view text) {
  const std::string clean = cleanUtf8(text, true);
  return clean.substr(0, utf8CutLength(clean, kShownMax));
}

std::string_view headerValue(std::string_view head, std::string_view name) {
  for (std::size_t start = head.find('\n'); start != std::string_view::npos;) {
    const std::size_t end = head.find('\n', start + 1);
    const std::string_view line =
        head.substr(start + 1, end == std::string_view::npos ? head.npos : end - start - 1);
    start = end;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon != name.size())
      continue;
    if (std::equal(name.begin(), name.end(), line.begin(),
                   [](char a, char b) { return lower(a) == lower(b); }))
      return trim(line.substr(colon + 1));
  }
  return {};
}

std::string refusal(int code) {
  switch (code) {
  case 401:
    return "login refused (401)";
  case 403:
    return "mount refused (403: wrong mount, or another source has it)";
  case 404:
    return "not found (404)";
  case 400:
    return "request refused (400)";
  default:
    break;
  }
  if (code >= 400 && code < 500)
    return "request refused (" + std::to_string(code) + ")";
  if (code >= 500 && code < 600)
    return "server error (" + std::to_string(code) + ")";
  return "unexpected answer (" + std::to_string(code) + ")";
}

} // namespace

TIcecastReplyReader::Status TIcecastReplyReader::Append(std::string_view Bytes, std::size_t* Used) {
  std::size_t used = 0;
  while (FStatus == Status::NeedMore && used < Bytes.size()) {
    const char c = Bytes[used++];
    FHead += c;
    // Judged from its first bytes: garbage never waits for a line end.
    const std::size_t checked = std::min(FHead.size(), kVersion.size());
    if (FHead.size() <= kVersion.size() &&
        FHead.compare(0, checked, kVersion.substr(0, checked)) != 0) {
      FStatus = Status::NotHttp;
      break;
    }
    if (FHead.size() - FLineStart > kIcecastReplyMaxLine || FHead.size() > kIcecastReplyMaxHead) {
      FStatus = Status::TooLong;
      break;
    }
    if (c != '\n')
      continue;
    const std::string_view line = std::string_view(FHead).substr(FLineStart);
    FLineStart = FHead.size();
    if (line == "\n" || line == "\r\n")
      FStatus = Status::Complete;
  }
  if (Used != nullptr)
    *Used = used;
  return FStatus;
}

TIcecastVerdict judgeIcecastReply(std::string_view Head) {
  TIcecastVerdict verdict;
  const std::string_view status = trim(Head.substr(0, Head.find('\n')));
  // "HTTP/1.x DDD" and, where a reason follows, a blank before it.
  const bool wellFormed = status.size() >= 12 && status.starts_with(kVersion) &&
                          isDigit(status[7]) && status[8] == ' ' && isDigit(status[9]) &&
                          isDigit(status[10]) && isDigit(status[11]) &&
                          (status.size() == 12 || status[12] == ' ');
  if (!wellFormed) {
    verdict.Why = "the answer is not HTTP";
    return verdict;
  }
  verdict.Code = (status[9] - '0') * 100 + (status[10] - '0') * 10 + (status[11] - '0');
  if (verdict.Code == 100 || (verdict.Code >= 200 && verdict.Code < 300)) {
    verdict.Connected = true;
  } else if (verdict.Code >= 300 && verdict.Code < 400) {
    const std::string_view location = headerValue(Head, "Location");
    verdict.Why = "redirected (" + std::to_string(verdict.Code) + ") to " +
                  (location.empty() ? std::string("nowhere") : shown(location)) + ", not followed";
  } else {
    verdict.Why = refusal(verdict.Code);
  }
  return verdict;
}

} // namespace sondrix
