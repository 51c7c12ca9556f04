#pragma once

#include "winmedia/server/http_request.h"

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
  Mp3Stream,        // plain MP3, ICY metadata when asked for; head from mp3ResponseHead
  StatusPage,       // the HTML status page; head from statusResponseHead
  StatusJson,       // the status as JSON; head from statusResponseHead
  Icon,             // the station's icon (a browser's /favicon.ico); head from iconResponseHead
};

// The MP3 flavour: Off when the station does not make one, NotReady until its encoder runs.
enum class Mp3State { Off, NotReady, Ready };

struct MmshPlan {
  MmshAnswer answer = MmshAnswer::NotFound;
  bool headOnly = false; // HEAD: the status and headers of the GET, no body
  bool streams() const {
    return !headOnly && (answer == MmshAnswer::FramedStream || answer == MmshAnswer::RawStream ||
                         answer == MmshAnswer::Mp3Stream);
  }
};

// Paths of the MP3 flavour and the status answers.
inline constexpr const char* kMp3StreamPath = "/stream.mp3";
inline constexpr const char* kStatusPagePath = "/status";
inline constexpr const char* kStatusJsonPath = "/status.json";
inline constexpr const char* kIconPath = "/favicon.ico";

// Decides the answer to a request. haveHeader: the broadcast's header exists; full: the
// listener limit is reached; mp3: the MP3 flavour's state. Pure, so the whole decision table is
// testable without sockets.
MmshPlan planMmshAnswer(const HttpRequest& request, bool haveHeader, bool full, Mp3State mp3);

// The status line and headers, CRLF-terminated, blank line included. describeLength is the
// body size of a Describe answer; clientId goes into the Pragma client-id. Mp3Stream,
// StatusPage and StatusJson have their own heads below; given here they get a 404 with no
// body, so a caller that cannot serve them still sends a truthful answer.
std::string mmshResponseHead(MmshAnswer answer, std::uint32_t clientId, std::size_t describeLength);

// The head of an MP3 stream: no Content-Length (a stream), icy-metaint only when metaInt != 0.
// bitrate in bits/s; the station name is cleaned to one line of at most 200 bytes of UTF-8.
std::string mp3ResponseHead(const std::string& stationName, std::uint32_t bitrate,
                            std::uint32_t metaInt);

// The head of the icon's answer: a PNG of bodyLength bytes, which browsers may keep a day.
std::string iconResponseHead(std::size_t bodyLength);

// The station's icon, as the window shows it (PNG), built into the program.
const std::string& stationIconPng();

// The head of a StatusPage or StatusJson answer whose body has bodyLength bytes.
std::string statusResponseHead(MmshAnswer kind, std::size_t bodyLength);

constexpr int kMmshRetryAfterSeconds = 10;
constexpr std::size_t kIcyNameMaxBytes = 200;

} // namespace sondrix
