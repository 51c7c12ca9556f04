#pragma once

#include "audio/au_events.h"
#include "winmedia/wma_out.h"

#include <cstdint>
#include <string>

namespace sondrix {

using TStreamedAudioEvent = TNotifyEvent;

// The Windows Media output switched to the network sink: each run serves the encoded stream
// over HTTP (MMSH and plain) on Port, paced to real time, and ends by closing the port, which
// cuts its listeners off. A port that cannot be opened ends the run with "Cannot create file".
class TWMStreamedOut : public TWMAOut {
public:
  explicit TWMStreamedOut(TComponent* AOwner = nullptr);

  // 0 lets the sink pick a free port; the port picked is then kept here for later runs.
  std::uint32_t Port() const { return FPort; }
  void SetPort(std::uint32_t Value) { FPort = Value; }
  // Listener limit; 0 leaves the sink's default (no limit). Extra listeners get 503.
  std::uint32_t MaxClients() const { return FMaxClients; }
  void SetMaxClients(std::uint32_t Value) { FMaxClients = Value; }

  // Listeners of the current run; 0 when idle and while a run is ending. Any thread.
  std::uint32_t ConnectionsCount();
  // The listeners' address, "http://<host>:<port>"; empty when idle or ending.
  std::u16string URL();

  // Posted through the shared event handler, so they run on the main thread, after listeners
  // connect / leave (also when a run's end cuts them off). A burst makes one call of each, in
  // the order of their latest news: read ConnectionsCount() in the handler. Assign while idle.
  TStreamedAudioEvent OnClientConnected;
  TStreamedAudioEvent OnClientDisconnected;

protected:
  void ClientConnected() override;
  void ClientDisconnected() override;
};

} // namespace sondrix
