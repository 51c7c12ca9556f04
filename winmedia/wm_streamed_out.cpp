#include "winmedia/wm_streamed_out.h"

#include "audio/event_handler.h"

namespace sondrix {

namespace {

constexpr int kConnectedKind = 1;
constexpr int kDisconnectedKind = 2;

} // namespace

TWMStreamedOut::TWMStreamedOut(TComponent* AOwner) : TWMAOut(AOwner) {
  FUseNetwork = true;
}

std::uint32_t TWMStreamedOut::ConnectionsCount() {
  std::lock_guard lock(FWriterLock);
  return FWriterOpen ? wm_writer_client_count(Writer) : 0;
}

std::u16string TWMStreamedOut::URL() {
  std::lock_guard lock(FWriterLock);
  return FWriterOpen ? wm_writer_url(Writer) : std::u16string();
}

void TWMStreamedOut::ClientConnected() {
  if (OnClientConnected)
    SharedEventHandler()->PostCoalescedEvent(this, kConnectedKind, OnClientConnected);
}

void TWMStreamedOut::ClientDisconnected() {
  if (OnClientDisconnected)
    SharedEventHandler()->PostCoalescedEvent(this, kDisconnectedKind, OnClientDisconnected);
}

} // namespace sondrix
