#pragma once

#include "base/stream.h"
#include "winmedia/runtime/istream.h"

namespace sondrix {

// Presents the framework's stream to the media runtime. Does not own the stream, which must
// outlive every runtime call made with this adapter. Errors the stream throws become failure
// codes (the runtime calls in from code that cannot carry exceptions). Positions are 64-bit.
class TAudioStream final : public IStream {
public:
  TAudioStream() = default;
  explicit TAudioStream(TStream* stream) : FStream(stream) {}

  void AssignStream(TStream* stream) { FStream = stream; }

  HRESULT Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) override;
  HRESULT Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) override;
  // Fails where the stream cannot seek or the position would fall before the start.
  HRESULT Seek(std::int64_t dlibMove, std::uint32_t dwOrigin,
               std::uint64_t* plibNewPosition) override;
  // Only file streams can change their size; others report failure.
  HRESULT SetSize(std::uint64_t libNewSize) override;
  HRESULT CopyTo(IStream*, std::uint64_t, std::uint64_t*, std::uint64_t*) override {
    return STREAM_E_FAILED;
  }
  HRESULT Commit(std::uint32_t) override { return STREAM_E_FAILED; }
  HRESULT Revert() override { return STREAM_E_FAILED; }
  HRESULT LockRegion(std::uint64_t, std::uint64_t, std::uint32_t) override {
    return STREAM_E_FAILED;
  }
  HRESULT UnlockRegion(std::uint64_t, std::uint64_t, std::uint32_t) override {
    return STREAM_E_FAILED;
  }
  // Fills cbSize and grfLocksSupported (0); the other fields stay as they were.
  HRESULT Stat(STATSTG* pstatstg, std::uint32_t grfStatFlag) override;
  HRESULT Clone(std::shared_ptr<IStream>* ppstm) override;

private:
  TStream* FStream = nullptr;
};

} // namespace sondrix
