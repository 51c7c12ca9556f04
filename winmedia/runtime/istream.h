#pragma once

#include "winmedia/runtime/result_codes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sondrix {

// The failure code every stream operation returns where it cannot do what was asked.
constexpr HRESULT STREAM_E_FAILED = hresult(0xFFFFFFFF);

enum STREAM_SEEK : std::uint32_t {
  STREAM_SEEK_SET = 0,
  STREAM_SEEK_CUR = 1,
  STREAM_SEEK_END = 2,
};

struct STATSTG {
  std::u16string pwcsName;
  std::uint32_t type = 0;
  std::uint64_t cbSize = 0; // bytes
  std::uint32_t grfMode = 0;
  std::uint32_t grfLocksSupported = 0;
  std::uint32_t grfStateBits = 0;
};

// A byte stream the program hands to the runtime. The runtime calls it only from inside its
// own calls, on the caller's thread. Positions and sizes are bytes, 64-bit.
class IStream {
public:
  virtual ~IStream() = default;
  // Success when at least one byte was read; *pcbRead (if given) gets the count either way.
  virtual HRESULT Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) = 0;
  // dwOrigin is a STREAM_SEEK value; *plibNewPosition (if given) gets the new position.
  virtual HRESULT Seek(std::int64_t dlibMove, std::uint32_t dwOrigin,
                       std::uint64_t* plibNewPosition) = 0;
  virtual HRESULT SetSize(std::uint64_t libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, std::uint64_t cb, std::uint64_t* pcbRead,
                         std::uint64_t* pcbWritten) = 0;
  virtual HRESULT Commit(std::uint32_t grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(std::uint64_t libOffset, std::uint64_t cb,
                             std::uint32_t dwLockType) = 0;
  virtual HRESULT UnlockRegion(std::uint64_t libOffset, std::uint64_t cb,
                               std::uint32_t dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, std::uint32_t grfStatFlag) = 0;
  virtual HRESULT Clone(std::shared_ptr<IStream>* ppstm) = 0;
};

} // namespace sondrix
