#include "winmedia/runtime/file_sink.h"

#include "base/text.h"
#include "winmedia/runtime/wm_runtime.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sondrix {

namespace {

HRESULT fromErrno(int error) {
  switch (error) {
  case ENOENT:
  case ENOTDIR:
    return NS_E_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EROFS:
    return E_ACCESSDENIED;
  case ENOMEM:
    return E_OUTOFMEMORY;
  default:
    // Win32 errors wrapped as results (0x8007xxxx) carry the platform code here.
    return hresult(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
  }
}

} // namespace

TWMWriterFileSink::~TWMWriterFileSink() {
  closeFile();
}

void TWMWriterFileSink::closeFile() {
  if (FFile >= 0)
    ::close(FFile);
  FFile = -1;
}

HRESULT TWMWriterFileSink::Open(const std::u16string& pwszFilename) {
  closeFile();
  if (pwszFilename.empty())
    return E_INVALIDARG;
  const std::string path = toNarrow(pwszFilename);
  FFile = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (FFile < 0)
    return fromErrno(errno);
  return S_OK;
}

HRESULT TWMWriterFileSink::OnBeginWriting() {
  return FFile >= 0 ? S_OK : NS_E_NOT_CONFIGURED;
}

HRESULT TWMWriterFileSink::Write(const std::uint8_t* data, std::size_t size) {
  if (FFile < 0)
    return NS_E_NOT_CONFIGURED;
  while (size > 0) {
    const ssize_t n = ::write(FFile, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      const HRESULT hr = fromErrno(errno);
      reportError(hr);
      return hr;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return S_OK;
}

std::int64_t TWMWriterFileSink::Seek(std::int64_t offset, int whence) {
  if (FFile < 0)
    return -1;
  return ::lseek(FFile, offset, whence);
}

HRESULT TWMWriterFileSink::OnEndWriting() {
  if (FFile < 0)
    return NS_E_NOT_CONFIGURED;
  const int rc = ::close(FFile);
  FFile = -1;
  if (rc != 0) {
    const HRESULT hr = fromErrno(errno);
    reportError(hr);
    return hr;
  }
  return S_OK;
}

HRESULT TWMWriterFileSink::Advise(std::shared_ptr<IWMStatusCallback> pCallback, void* pvContext) {
  if (!pCallback)
    return E_POINTER;
  std::lock_guard lock(FCallbacksLock);
  FCallbacks.push_back({std::move(pCallback), pvContext});
  return S_OK;
}

HRESULT TWMWriterFileSink::Unadvise(const std::shared_ptr<IWMStatusCallback>& pCallback,
                                    void* pvContext) {
  std::lock_guard lock(FCallbacksLock);
  for (auto it = FCallbacks.begin(); it != FCallbacks.end(); ++it) {
    if (it->callback == pCallback && it->context == pvContext) {
      FCallbacks.erase(it);
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

void TWMWriterFileSink::reportError(HRESULT hr) {
  std::vector<Advised> callbacks;
  {
    std::lock_guard lock(FCallbacksLock);
    callbacks = FCallbacks;
  }
  // Called without the lock, so a callback may Unadvise.
  for (const auto& advised : callbacks)
    advised.callback->OnStatus(WMT_ERROR, hr, WMT_TYPE_DWORD, nullptr, advised.context);
}

HRESULT WMCreateWriterFileSink(std::shared_ptr<IWMWriterFileSink>* ppSink) {
  if (ppSink == nullptr)
    return E_POINTER;
  *ppSink = std::make_shared<TWMWriterFileSink>();
  return S_OK;
}

} // namespace sondrix
