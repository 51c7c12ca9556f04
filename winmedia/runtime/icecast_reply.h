#pragma once

// The head of an Icecast server's answer to the source login, read within fixed bounds.

#include <cstddef>
#include <string>
#include <string_view>

namespace sondrix {

inline constexpr std::size_t kIcecastReplyMaxLine = 4096;
inline constexpr std::size_t kIcecastReplyMaxHead = 16 * 1024;

// Collects reply bytes until the blank line that ends the head. Refuses at once what cannot
// be an HTTP reply, a line longer than kIcecastReplyMaxLine and a head longer than
// kIcecastReplyMaxHead, so a hostile server costs a few kilobytes at most.
class TIcecastReplyReader {
public:
  enum class Status { NeedMore, Complete, NotHttp, TooLong };

  // Takes bytes up to the end of the head; Used tells how many were taken.
  Status Append(std::string_view Bytes, std::size_t* Used = nullptr);
  Status State() const { return FStatus; }
  // The head read so far, lines as they came.
  const std::string& Head() const { return FHead; }

private:
  std::string FHead;
  std::size_t FLineStart = 0;
  Status FStatus = Status::NeedMore;
};

// What a complete head means for the login. Connected only for a real "HTTP/1.x 100" or 2xx
// status line; otherwise Why says what went wrong (a 3xx names where it pointed).
struct TIcecastVerdict {
  bool Connected = false;
  int Code = 0; // the status code, 0 when there is none
  std::string Why;
};
TIcecastVerdict judgeIcecastReply(std::string_view Head);

} // namespace sondrix
