#pragma once

#include "winmedia/runtime/http_request.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sondrix {

enum class MmshAnswer {
  Describe,         // the header alone as one $H chunk, with its exact Content-Length
  FramedStream,     // $H, then $D chunks until $E
  RawStream,        // raw ASF header, then raw packets
  NoContent,        // 204 (players' log and keep-alive posts)
  NotFound,         // 404
  MethodNotAllowed, // 405 with Allow
  TooLarge,         // 431
  NotReady,         // 503: the encoder has not produced its header yet
  Full,             // 503 with Retry-After: the listener limit is reached
};

struct MmshPlan {
  MmshAnswer answer = MmshAnswer::NotFound;
  bool headOnly = false; // HEAD: the status and headers of the GET, no body
  bool streams() const {
    return !headOnly && (answer == MmshAnswer::FramedStream || answer == MmshAnswer::RawStream);
  }
};

// Decides the answer to a request. haveHeader: the broadcast's header exists; full: the
// listener limit is reached. Pure, so the whole decision table is testable without sockets.
MmshPlan planMmshAnswer(const HttpRequest& request, bool haveHeader, bool full);

// The status line and headers, CRLF-terminated, blank line included. describeLength is the
// body size of a Describe answer; clientId goes into the Pragma client-id.
std::string mmshResponseHead(MmshAnswer answer, std::uint32_t clientId, std::size_t describeLength);

constexpr int kMmshRetryAfterSeconds = 10;

} // namespace sondrix
