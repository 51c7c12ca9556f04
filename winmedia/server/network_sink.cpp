#include "winmedia/server/network_sink.h"

#include "base/text.h"
#include "winmedia/runtime/wm_runtime.h"

#include <unistd.h>

#include <algorithm>
#include <array>

namespace sondrix {

TWMWriterNetworkSink::TWMWriterNetworkSink(NetServerOptions options) : FServer(options, *this) {}

TWMWriterNetworkSink::~TWMWriterNetworkSink() {
  FServer.close();
}

HRESULT TWMWriterNetworkSink::OnBeginWriting() {
  std::lock_guard lock(FWriteLock);
  FSplitter.reset();
  return S_OK;
}

HRESULT TWMWriterNetworkSink::Write(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr && size != 0) {
    return E_POINTER;
  }
  std::lock_guard lock(FWriteLock);
  const bool ok = FSplitter.feed(data, size, FItems);
  if (!FItems.empty()) {
    FServer.publish(FItems);
    FItems.clear();
  }
  return ok ? S_OK : NS_E_INVALID_DATA;
}

std::int64_t TWMWriterNetworkSink::Seek(std::int64_t, int) {
  return -1; // a live stream
}

HRESULT TWMWriterNetworkSink::OnEndWriting() {
  // A trailing partial packet is dropped; listeners stay until Close.
  std::lock_guard lock(FWriteLock);
  FSplitter.reset();
  return S_OK;
}

void TWMWriterNetworkSink::BeginMp3(std::uint32_t bitrate) {
  std::vector<NetItem> items(1);
  items[0].mp3Header = std::make_shared<const NetMp3Header>(NetMp3Header{bitrate});
  {
    std::lock_guard lock(FMp3Lock);
    FMp3Pending.clear();
    // About 400 ms a packet: a listener is woken 2.5 times a second, not for every frame.
    FMp3PacketBytes = std::max<std::size_t>(bitrate / 8 * 2 / 5, 512);
  }
  FServer.publish(items);
}

void TWMWriterNetworkSink::WriteMp3(const std::uint8_t* data, std::size_t size) {
  std::vector<NetItem> items;
  {
    std::lock_guard lock(FMp3Lock);
    if (FMp3PacketBytes == 0 || size == 0) {
      return; // no run's MP3 stream has begun
    }
    FMp3Pending.insert(FMp3Pending.end(), data, data + size);
    if (FMp3Pending.size() < FMp3PacketBytes) {
      return;
    }
    auto packet = std::make_shared<NetPacket>();
    packet->framed.swap(FMp3Pending);
    packet->icy = FIcy;
    FMp3Pending.reserve(FMp3PacketBytes + size);
    items.resize(1);
    items[0].mp3Packet = std::move(packet);
  }
  FServer.publish(items);
}

void TWMWriterNetworkSink::SetStatus(const StationStatus& status) {
  FServer.setStatus(status);
  std::string title = streamTitleText(status.nowPlaying);
  std::lock_guard lock(FMp3Lock);
  if (title != FTitle) {
    FIcy = title.empty() ? nullptr
                         : std::make_shared<const IcyBlock>(icyMetadataBlock(status.nowPlaying));
    FTitle = std::move(title);
  }
}

HRESULT TWMWriterNetworkSink::Advise(std::shared_ptr<IWMStatusCallback> pCallback,
                                     void* pvContext) {
  if (!pCallback) {
    return E_POINTER;
  }
  std::lock_guard lock(FStateLock);
  FCallbacks.push_back(Advised{std::move(pCallback), pvContext});
  return S_OK;
}

HRESULT TWMWriterNetworkSink::Unadvise(const std::shared_ptr<IWMStatusCallback>& pCallback,
                                       void* pvContext) {
  std::lock_guard lock(FStateLock);
  auto it = std::find_if(FCallbacks.begin(), FCallbacks.end(), [&](const Advised& a) {
    return a.callback == pCallback && a.context == pvContext;
  });
  if (it == FCallbacks.end()) {
    return E_INVALIDARG;
  }
  FCallbacks.erase(it);
  return S_OK;
}

HRESULT TWMWriterNetworkSink::GetClientCount(std::uint32_t* pcClients) {
  if (pcClients == nullptr) {
    return E_POINTER;
  }
  *pcClients = FServer.clientCount();
  return S_OK;
}

HRESULT TWMWriterNetworkSink::SetNetworkProtocol(WMT_NET_PROTOCOL protocol) {
  return protocol == WMT_PROTOCOL_HTTP ? S_OK : E_INVALIDARG;
}

HRESULT TWMWriterNetworkSink::Open(std::uint32_t* pdwPortNum) {
  if (pdwPortNum == nullptr) {
    return E_POINTER;
  }
  if (*pdwPortNum > 0xFFFF) {
    return E_INVALIDARG;
  }
  std::uint16_t bound = 0;
  const HRESULT hr = FServer.open(static_cast<std::uint16_t>(*pdwPortNum), &bound);
  if (SUCCEEDED(hr)) {
    std::lock_guard lock(FStateLock);
    FPort = bound;
    *pdwPortNum = bound;
  }
  return hr;
}

HRESULT TWMWriterNetworkSink::SetMaximumClients(std::uint32_t dwMaxClients) {
  FServer.setMaximumClients(dwMaxClients);
  return S_OK;
}

HRESULT TWMWriterNetworkSink::GetMaximumClients(std::uint32_t* pdwMaxClients) {
  if (pdwMaxClients == nullptr) {
    return E_POINTER;
  }
  *pdwMaxClients = FServer.maximumClients();
  return S_OK;
}

HRESULT TWMWriterNetworkSink::GetHostURL(std::u16string* pwszURL) {
  if (pwszURL == nullptr) {
    return E_POINTER;
  }
  if (!FServer.isOpen()) {
    return NS_E_NOT_CONFIGURED;
  }
  std::array<char, 256> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0 || host[0] == '\0') {
    std::copy_n("localhost", 10, host.begin());
  }
  std::uint16_t port;
  {
    std::lock_guard lock(FStateLock);
    port = FPort;
  }
  *pwszURL = toWide("http://" + std::string(host.data()) + ":" + std::to_string(port));
  return S_OK;
}

HRESULT TWMWriterNetworkSink::Close() {
  FServer.close();
  return S_OK;
}

void TWMWriterNetworkSink::onListenerConnected(std::uint32_t clientId) {
  notify(WMT_CLIENT_CONNECT_EX, clientId);
}

void TWMWriterNetworkSink::onListenerDisconnected(std::uint32_t clientId) {
  notify(WMT_CLIENT_DISCONNECT_EX, clientId);
}

void TWMWriterNetworkSink::notify(WMT_STATUS status, std::uint32_t clientId) {
  std::vector<Advised> callbacks;
  {
    std::lock_guard lock(FStateLock);
    callbacks = FCallbacks;
  }
  // Called without the lock, so a callback may query the sink or Unadvise itself.
  std::array<std::uint8_t, 4> value{};
  for (int i = 0; i < 4; ++i) {
    value[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(clientId >> (8 * i));
  }
  for (const Advised& a : callbacks) {
    a.callback->OnStatus(status, S_OK, WMT_TYPE_DWORD, value.data(), a.context);
  }
}

HRESULT WMCreateWriterNetworkSink(std::shared_ptr<IWMWriterNetworkSink>* ppSink) {
  if (ppSink == nullptr) {
    return E_POINTER;
  }
  *ppSink = std::make_shared<TWMWriterNetworkSink>();
  return S_OK;
}

} // namespace sondrix
