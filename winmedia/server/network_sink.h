#pragma once

#include "winmedia/runtime/writer_sink.h"
#include "winmedia/server/net_asf_stream.h"
#include "winmedia/server/net_server.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sondrix {

// The HTTP network sink: takes the writer's live ASF stream and serves it to listeners over
// MMSH and plain HTTP (see NetServer). Write, OnBeginWriting and OnEndWriting run on the
// writer's thread and never wait for the network; the other calls may come from any thread.
// Status callbacks (WMT_CLIENT_CONNECT_EX / WMT_CLIENT_DISCONNECT_EX, value: the client id
// as a DWORD) arrive on the sink's own loop thread, one per listener connect and disconnect;
// they must not call Close.
class TWMWriterNetworkSink final : public IWMWriterNetworkSink, private NetServerEvents {
public:
  explicit TWMWriterNetworkSink(NetServerOptions options = {});
  ~TWMWriterNetworkSink() override;

  bool IsRealTime() const override { return true; }
  // A new ASF stream starts: listeners of an earlier one are let go.
  HRESULT OnBeginWriting() override;
  // NS_E_INVALID_DATA once the stream proved unservable (see AsfStreamSplitter).
  HRESULT Write(const std::uint8_t* data, std::size_t size) override;
  std::int64_t Seek(std::int64_t offset, int whence) override;
  HRESULT OnEndWriting() override;

  HRESULT Advise(std::shared_ptr<IWMStatusCallback> pCallback, void* pvContext) override;
  HRESULT Unadvise(const std::shared_ptr<IWMStatusCallback>& pCallback, void* pvContext) override;

  HRESULT GetClientCount(std::uint32_t* pcClients) override;

  HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) override;
  HRESULT Open(std::uint32_t* pdwPortNum) override;
  // The one address Open listens on; empty: every address.
  void SetBindAddress(std::string Address) { FServer.setBindAddress(std::move(Address)); }
  // 0 = no limit (the default).
  HRESULT SetMaximumClients(std::uint32_t dwMaxClients) override;
  HRESULT GetMaximumClients(std::uint32_t* pdwMaxClients) override;
  // "http://<host name>:<port>"; NS_E_NOT_CONFIGURED while not open.
  HRESULT GetHostURL(std::u16string* pwszURL) override;
  HRESULT Close() override;

  // The MP3 flavour of the same broadcast, at /stream.mp3 (see NetServer). Any thread.
  void SetMp3Enabled(bool on) { FServer.setMp3Enabled(on); }
  // A run's MP3 stream begins (bits/s); its listeners from an earlier run are let go.
  void BeginMp3(std::uint32_t bitrate);
  // Whole MP3 frames, in order. They reach listeners in packets of about 400 ms, each
  // carrying the title on air when it was made. The writer's thread.
  void WriteMp3(const std::uint8_t* data, std::size_t size);
  // What /status and /status.json show; a new now-playing text also becomes the MP3 stream's
  // title from its next packet on. Any thread.
  void SetStatus(const StationStatus& status);
  std::uint32_t Mp3ClientCount() const { return FServer.mp3ClientCount(); }

private:
  void onListenerConnected(std::uint32_t clientId) override;
  void onListenerDisconnected(std::uint32_t clientId) override;
  void notify(WMT_STATUS status, std::uint32_t clientId);

  struct Advised {
    std::shared_ptr<IWMStatusCallback> callback;
    void* context;
  };

  NetServer FServer;
  std::mutex FWriteLock; // the splitter; the writer's thread in practice
  AsfStreamSplitter FSplitter;
  std::vector<NetItem> FItems;
  std::mutex FMp3Lock; // the fields below
  std::vector<std::uint8_t> FMp3Pending;
  std::size_t FMp3PacketBytes = 0;
  std::string FTitle;
  std::shared_ptr<const IcyBlock> FIcy;
  std::mutex FStateLock; // callbacks and port
  std::vector<Advised> FCallbacks;
  std::uint16_t FPort = 0;
};

} // namespace sondrix
