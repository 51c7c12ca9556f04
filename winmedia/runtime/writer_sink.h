#pragma once

#include "winmedia/runtime/result_codes.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sondrix {

// Status codes the runtime reports through IWMStatusCallback.
enum WMT_STATUS : std::int32_t {
  WMT_ERROR = 0,
  WMT_NO_RIGHTS = 9,
  WMT_NO_RIGHTS_EX = 26,
  WMT_ERROR_WITHURL = 30,
  WMT_CLIENT_CONNECT_EX = 37,
  WMT_CLIENT_DISCONNECT_EX = 38,
};

enum WMT_ATTR_DATATYPE : std::int32_t {
  WMT_TYPE_DWORD = 0,
  WMT_TYPE_STRING = 1,
  WMT_TYPE_BINARY = 2,
  WMT_TYPE_BOOL = 3,
  WMT_TYPE_QWORD = 4,
  WMT_TYPE_WORD = 5,
  WMT_TYPE_GUID = 6,
};

// Implemented by the program; the runtime calls it on a thread of its own.
class IWMStatusCallback {
public:
  virtual ~IWMStatusCallback() = default;
  virtual HRESULT OnStatus(WMT_STATUS Status, HRESULT hr, WMT_ATTR_DATATYPE dwType,
                           const std::uint8_t* pValue, void* pvContext) = 0;
};

class IWMRegisterCallback {
public:
  virtual ~IWMRegisterCallback() = default;
  virtual HRESULT Advise(std::shared_ptr<IWMStatusCallback> pCallback, void* pvContext) = 0;
  virtual HRESULT Unadvise(const std::shared_ptr<IWMStatusCallback>& pCallback,
                           void* pvContext) = 0;
};

// Where a writer's ASF byte stream goes. The writer calls these on its own (the output's
// worker) thread, in this order: OnBeginWriting, Write/Seek..., OnEndWriting.
class IWMWriterSink {
public:
  virtual ~IWMWriterSink() = default;
  // A real-time sink gets a live ASF stream (no seeks, broadcast header) and the writer paces
  // its writes to the stream's sample times.
  virtual bool IsRealTime() const = 0;
  virtual HRESULT OnBeginWriting() = 0;
  // Bytes of the ASF stream, in order; slices have any length.
  virtual HRESULT Write(const std::uint8_t* data, std::size_t size) = 0;
  // Repositions a seekable sink (whence as for lseek); returns the new offset, or -1 where the
  // sink cannot seek.
  virtual std::int64_t Seek(std::int64_t offset, int whence) = 0;
  virtual HRESULT OnEndWriting() = 0;
};

class IWMWriterFileSink : public IWMWriterSink, public IWMRegisterCallback {
public:
  virtual HRESULT Open(const std::u16string& pwszFilename) = 0;
};

class IWMClientConnections {
public:
  virtual ~IWMClientConnections() = default;
  virtual HRESULT GetClientCount(std::uint32_t* pcClients) = 0;
};

enum WMT_NET_PROTOCOL : std::int32_t { WMT_PROTOCOL_HTTP = 0 };

// The HTTP network sink: serves the ASF stream it is given to listeners on a TCP port.
class IWMWriterNetworkSink : public IWMWriterSink,
                             public IWMRegisterCallback,
                             public IWMClientConnections {
public:
  virtual HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) = 0;
  // Opens the port (IPv4 and IPv6). A port of 0 picks a free one and writes it back.
  virtual HRESULT Open(std::uint32_t* pdwPortNum) = 0;
  virtual HRESULT SetMaximumClients(std::uint32_t dwMaxClients) = 0;
  virtual HRESULT GetMaximumClients(std::uint32_t* pdwMaxClients) = 0;
  virtual HRESULT GetHostURL(std::u16string* pwszURL) = 0;
  // Ends every listener's stream and closes the port.
  virtual HRESULT Close() = 0;
};

} // namespace sondrix
