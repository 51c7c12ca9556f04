#pragma once

#include "winmedia/runtime/writer_sink.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sondrix {

// Writes the writer's ASF stream into a file (seekable, so the header gets its final
// sizes). Open creates/truncates the file at once, so a path that cannot be written fails
// there. A failed write is reported to the advised callbacks as WMT_ERROR (on the writing
// thread) and returned to the writer.
class TWMWriterFileSink final : public IWMWriterFileSink {
public:
  TWMWriterFileSink() = default;
  ~TWMWriterFileSink() override;

  HRESULT Open(const std::u16string& pwszFilename) override;

  bool IsRealTime() const override { return false; }
  HRESULT OnBeginWriting() override;
  HRESULT Write(const std::uint8_t* data, std::size_t size) override;
  std::int64_t Seek(std::int64_t offset, int whence) override;
  // Closes the file.
  HRESULT OnEndWriting() override;

  HRESULT Advise(std::shared_ptr<IWMStatusCallback> pCallback, void* pvContext) override;
  HRESULT Unadvise(const std::shared_ptr<IWMStatusCallback>& pCallback, void* pvContext) override;

private:
  void closeFile();
  void reportError(HRESULT hr);

  struct Advised {
    std::shared_ptr<IWMStatusCallback> callback;
    void* context;
  };
  int FFile = -1;
  std::mutex FCallbacksLock;
  std::vector<Advised> FCallbacks;
};

} // namespace sondrix
