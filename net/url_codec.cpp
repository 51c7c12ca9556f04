#include "net/url_codec.h"

#include "base/percent_text.h"

#include <arpa/inet.h>
#include <cctype>

namespace sondrix {

std::string EncodeBase64(std::string_view Value) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((Value.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= Value.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(Value[i]) << 16 |
                       static_cast<unsigned char>(Value[i + 1]) << 8 |
                       static_cast<unsigned char>(Value[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += kAlphabet[n >> 6 & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = Value.size() - i;
  if (rest > 0) {
    unsigned n = static_cast<unsigned char>(Value[i]) << 16;
    if (rest == 2)
      n |= static_cast<unsigned char>(Value[i + 1]) << 8;
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += rest == 2 ? kAlphabet[n >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string DecodeURL(std::string_view Value) {
  std::string out;
  out.reserve(Value.size());
  std::size_t i = 0;
  while (i < Value.size()) {
    const char c = Value[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 < Value.size() && (Value[i + 1] == '\r' || Value[i + 1] == '\n')) {
      const char first = Value[i + 1];
      i += 2;
      if (i < Value.size() && (Value[i] == '\r' || Value[i] == '\n') && Value[i] != first)
        ++i;
      continue;
    }
    if (i + 2 < Value.size() && hexDigitValue(Value[i + 1]) >= 0 &&
        hexDigitValue(Value[i + 2]) >= 0) {
      out += static_cast<char>(hexDigitValue(Value[i + 1]) * 16 + hexDigitValue(Value[i + 2]));
      i += 3;
      continue;
    }
    out += c;
    ++i;
  }
  return out;
}

TURLParts ParseURL(std::string_view URL) {
  TURLParts parts;
  std::string_view rest = URL;
  const std::size_t scheme = URL.find("://");
  if (scheme != std::string_view::npos) {
    parts.Prot = std::string(URL.substr(0, scheme));
    rest = URL.substr(scheme + 3);
  }
  const std::string prot = upperAscii(parts.Prot);
  if (prot == "HTTPS")
    parts.Port = "443";
  else if (prot == "FTP")
    parts.Port = "21";

  const std::size_t at = rest.find('@');
  const std::size_t slash = rest.find('/');
  if (at != std::string_view::npos && (slash == std::string_view::npos || at < slash)) {
    const std::string_view userInfo = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const std::size_t colon = userInfo.find(':');
    if (colon == std::string_view::npos) {
      parts.User = std::string(userInfo);
    } else {
      parts.User = std::string(userInfo.substr(0, colon));
      parts.Pass = std::string(userInfo.substr(colon + 1));
    }
  }

  const std::size_t pathStart = rest.find('/');
  const std::string_view authority = rest.substr(0, pathStart);
  const std::string_view pathText =
      pathStart == std::string_view::npos ? std::string_view{} : rest.substr(pathStart + 1);

  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      parts.Host = std::string(authority.substr(1));
    } else {
      parts.Host = std::string(authority.substr(1, close - 1));
      if (close + 1 < authority.size() && authority[close + 1] == ':')
        parts.Port = std::string(authority.substr(close + 2));
    }
  } else {
    const std::size_t colon = authority.find(':');
    parts.Host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos)
      parts.Port = std::string(authority.substr(colon + 1));
  }

  // Appended rather than "/" + string: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
  parts.URI.assign(1, '/').append(pathText);
  const std::size_t query = pathText.find('?');
  parts.Path.assign(1, '/').append(pathText.substr(0, query));
  if (query != std::string_view::npos)
    parts.Para = std::string(pathText.substr(query + 1));
  if (parts.Host.empty())
    parts.Host = "localhost";
  return parts;
}

bool IsIP6(std::string_view Value) {
  in6_addr address;
  return inet_pton(AF_INET6, std::string(Value).c_str(), &address) == 1;
}

std::string upperAscii(std::string_view value) {
  std::string out(value);
  for (char& c : out)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string lowerAscii(std::string_view value) {
  std::string out(value);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return out;
}

namespace {

bool isBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

} // namespace

std::string trimAscii(std::string_view value) {
  std::size_t begin = 0;
  std::size_t end = value.size();
  while (begin < end && isBlank(value[begin]))
    ++begin;
  while (end > begin && isBlank(value[end - 1]))
    --end;
  return std::string(value.substr(begin, end - begin));
}

std::string trimRightAscii(std::string_view value) {
  std::size_t end = value.size();
  while (end > 0 && isBlank(value[end - 1]))
    --end;
  return std::string(value.substr(0, end));
}

std::string separateLeft(std::string_view value, std::string_view delimiter) {
  const std::size_t at = value.find(delimiter);
  return std::string(at == std::string_view::npos ? value : value.substr(0, at));
}

std::string separateRight(std::string_view value, std::string_view delimiter) {
  const std::size_t at = value.find(delimiter);
  return std::string(at == std::string_view::npos ? value : value.substr(at + delimiter.size()));
}

} // namespace sondrix
