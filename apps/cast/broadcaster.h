#pragma once

#include "base/component.h"
#include "cast_options.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sondrix {

class TMP3In;
class TAudioPlayList;
class TAuFormatConverter;
class TWMStreamedOut;

// Whether the 100 ms tick should move the playlist on: once the current file has played to
// within its last second. Byte rate 0 (no format yet) or length 0 never match.
bool shouldAdvanceTrack(std::int64_t positionBytes, std::uint32_t bytesPerSecond,
                        std::uint32_t totalSeconds);

// The station's broadcast chain without a window: MP3 input → playlist → one PCM format →
// network output. Everything here runs on the main thread; events arrive through the
// main-thread dispatcher, which the caller pumps.
class TBroadcaster {
public:
  using Printer = std::function<void(const std::string& line)>;

  TBroadcaster(CastOptions options, std::vector<std::string> files, Printer print);
  ~TBroadcaster();
  TBroadcaster(const TBroadcaster&) = delete;
  TBroadcaster& operator=(const TBroadcaster&) = delete;

  // Starts the broadcast; throws on a refused start.
  void Start();
  // The 100 ms timer: moves on about one second before each track ends, and from the last
  // track back to the first, so the broadcast runs until stopped.
  void Tick();
  // Stops and waits for the worker (no done event follows).
  void Stop();
  // The broadcast ended by itself (an error, or the data ran out).
  bool Ended() const { return FEnded; }
  const std::string& Failure() const { return FFailure; }
  std::uint32_t Port() const;

private:
  void onItemChanged();
  void onListeners(bool connected);

  CastOptions FOptions;
  std::vector<std::string> FFiles;
  Printer FPrint;
  ComponentPtr<TComponent> FOwner;
  TMP3In* MP3In1 = nullptr;
  TAudioPlayList* au = nullptr;
  TAuFormatConverter* conv = nullptr;
  TWMStreamedOut* wo = nullptr;
  bool FEnded = false;
  std::string FFailure;
};

} // namespace sondrix
