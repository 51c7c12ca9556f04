#include "winmedia/server/http_request.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace sondrix {

namespace {

bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

bool containsNoCase(std::string_view s, std::string_view needle) {
  auto it = std::search(s.begin(), s.end(), needle.begin(), needle.end(),
                        [](char x, char y) { return lower(x) == lower(y); });
  return it != s.end();
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> splitWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size() && words.size() < 4) {
    while (i < line.size() && line[i] == ' ') {
      ++i;
    }
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') {
      ++i;
    }
    if (i > start) {
      words.push_back(line.substr(start, i - start));
    }
  }
  return words;
}

// A non-zero integer, optionally signed; anything else (empty, "0", "yes", "1x") is false.
bool isNonZeroInteger(std::string_view s) {
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    s.remove_prefix(1);
  }
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  return s.find_first_not_of('0') != std::string_view::npos;
}

// The q parameter of one Accept element is zero: "q=0", "q=0.0", "q=0.000".
bool qualityIsZero(std::string_view params) {
  while (!params.empty()) {
    const std::size_t semicolon = params.find(';');
    const std::string_view param = trim(params.substr(0, semicolon));
    params =
        semicolon == std::string_view::npos ? std::string_view() : params.substr(semicolon + 1);
    const std::size_t eq = param.find('=');
    if (eq == std::string_view::npos || !equalsNoCase(trim(param.substr(0, eq)), "q")) {
      continue;
    }
    const std::string_view q = trim(param.substr(eq + 1));
    return !q.empty() && q.front() == '0' && q.find_first_not_of("0.") == std::string_view::npos;
  }
  return false;
}

} // namespace

bool acceptNames(const std::string& accept, const std::string& mediaType) {
  std::string_view rest = accept;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view element = rest.substr(0, comma);
    const std::size_t semicolon = element.find(';');
    if (equalsNoCase(trim(element.substr(0, semicolon)), mediaType) &&
        (semicolon == std::string_view::npos || !qualityIsZero(element.substr(semicolon + 1)))) {
      return true;
    }
    if (comma == std::string_view::npos) {
      return false;
    }
    rest.remove_prefix(comma + 1);
  }
}

bool pragmaHasToken(const std::string& pragma, const std::string& token) {
  std::string_view rest = pragma;
  while (true) {
    const std::size_t comma = rest.find(',');
    if (equalsNoCase(trim(rest.substr(0, comma)), token)) {
      return true;
    }
    if (comma == std::string_view::npos) {
      return false;
    }
    rest.remove_prefix(comma + 1);
  }
}

HttpRequestReader::Status HttpRequestReader::append(const char* data, std::size_t size) {
  if (FStatus != Status::NeedMore || size == 0) {
    return FStatus;
  }
  // Empty lines before the request line are ignored (RFC 9112, 2.2), within the size limit.
  while (FBuffer.empty() && size > 0 && (data[0] == '\r' || data[0] == '\n')) {
    if (++FSkipped > FLimit) {
      return FStatus = Status::TooLarge;
    }
    ++data;
    --size;
  }
  if (size == 0) {
    return FStatus;
  }
  // A request starts with a method name; anything else (a binary MMS probe, TLS, junk) is
  // refused at its first byte instead of waiting for a line end that never comes.
  if (FBuffer.empty() && !isLetter(data[0])) {
    return FStatus = Status::NotHttp;
  }
  const std::size_t searchFrom = FBuffer.size() >= 3 ? FBuffer.size() - 3 : 0;
  const std::size_t take = std::min(size, FLimit - FBuffer.size());
  FBuffer.append(data, take);
  for (std::size_t i = searchFrom; i < FBuffer.size(); ++i) {
    if (FBuffer[i] != '\n') {
      continue;
    }
    if (i + 1 < FBuffer.size() && FBuffer[i + 1] == '\n') {
      return FStatus = parse(i + 1);
    }
    if (i + 2 < FBuffer.size() && FBuffer[i + 1] == '\r' && FBuffer[i + 2] == '\n') {
      return FStatus = parse(i + 2);
    }
  }
  if (FBuffer.size() >= FLimit) {
    FBuffer = {};
    return FStatus = Status::TooLarge;
  }
  return FStatus;
}

HttpRequestReader::Status HttpRequestReader::parse(std::size_t headEnd) {
  std::string_view head(FBuffer.data(), headEnd);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < head.size();) {
    std::size_t nl = head.find('\n', start);
    if (nl == std::string_view::npos) {
      nl = head.size();
    }
    lines.push_back(trim(head.substr(start, nl - start)));
    start = nl + 1;
  }
  if (lines.empty()) {
    return Status::NotHttp;
  }
  const auto words = splitWords(lines[0]);
  if (words.size() != 3 || !std::all_of(words[0].begin(), words[0].end(), isLetter) ||
      !startsWithNoCase(words[2], "HTTP/1.")) {
    return Status::NotHttp;
  }
  HttpRequest& r = FRequest;
  r.method = words[0];
  std::string_view target = words[1];
  // Absolute-form targets ("http://host:port/path") name the same resource by its path.
  if (startsWithNoCase(target, "http://")) {
    const std::size_t slash = target.find('/', 7);
    target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
  }
  r.path = target.substr(0, target.find('?'));

  bool sawAccept = false;
  bool sawIcy = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (equalsNoCase(name, "User-Agent")) {
      if (r.userAgent.empty()) {
        r.userAgent = value;
      }
    } else if (equalsNoCase(name, "Accept")) {
      if (!sawAccept) {
        r.accept = value;
        sawAccept = true;
      }
    } else if (equalsNoCase(name, "Icy-MetaData")) {
      if (!sawIcy) {
        r.icyMetaData = isNonZeroInteger(value);
        sawIcy = true;
      }
    } else if (equalsNoCase(name, "Pragma")) {
      if (!r.pragma.empty()) {
        r.pragma += ',';
      }
      r.pragma += value;
    }
  }
  r.wm = startsWithNoCase(r.userAgent, "NSPlayer") || startsWithNoCase(r.userAgent, "NSServer") ||
         containsNoCase(r.pragma, "xClientGUID") || containsNoCase(r.pragma, "xPlayStrm");
  r.play = pragmaHasToken(r.pragma, "xPlayStrm=1");
  FBuffer = {};
  return Status::Complete;
}

} // namespace sondrix
