#pragma once

#include <string>
#include <string_view>

namespace sondrix {

// Standard Base64 (RFC 4648 alphabet, "=" padding) of a byte string.
std::string EncodeBase64(std::string_view Value);

// Percent-decoding of URL user information: "%" + two hex digits (either case) becomes
// that byte; "%" + a line break (CR, LF, CR LF or LF CR) is dropped with the break; any
// other "%" stays.
std::string DecodeURL(std::string_view Value);

// The parts of a URL as the HTTP client splits it.
struct TURLParts {
  std::string Prot = "http";
  std::string User;
  std::string Pass;
  std::string Host;
  std::string Port = "80";
  std::string Path; // "/" + the path before "?"
  std::string Para; // the text after "?"
  std::string URI;  // "/" + path and query: the request target
};

// Splits URL without decoding anything. An empty host becomes "localhost"; the port
// defaults to 80 (443 for https, 21 for ftp).
TURLParts ParseURL(std::string_view URL);

// True for a textual IPv6 address (for "[...]" wrapping in Host lines).
bool IsIP6(std::string_view Value);

// ASCII helpers shared by the HTTP client.
std::string upperAscii(std::string_view value);
std::string lowerAscii(std::string_view value);
std::string trimAscii(std::string_view value);
std::string trimRightAscii(std::string_view value);
// Text before the first Delimiter; the whole value when there is none.
std::string separateLeft(std::string_view value, std::string_view delimiter);
// Text after the first Delimiter; the whole value when there is none.
std::string separateRight(std::string_view value, std::string_view delimiter);

} // namespace sondrix
