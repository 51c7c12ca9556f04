#include "winmedia/audio_stream.h"

namespace sondrix {

HRESULT TAudioStream::Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) {
  std::int64_t n = 0;
  if (FStream != nullptr && pv != nullptr) {
    try {
      n = FStream->Read(pv, cb);
    } catch (...) {
      n = 0;
    }
  }
  if (pcbRead != nullptr)
    *pcbRead = static_cast<std::uint32_t>(n > 0 ? n : 0);
  return n > 0 ? S_OK : STREAM_E_FAILED;
}

HRESULT TAudioStream::Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) {
  std::int64_t n = 0;
  if (FStream != nullptr && pv != nullptr) {
    try {
      n = FStream->Write(pv, cb);
    } catch (...) {
      n = 0;
    }
  }
  if (pcbWritten != nullptr)
    *pcbWritten = static_cast<std::uint32_t>(n > 0 ? n : 0);
  return n > 0 ? S_OK : STREAM_E_FAILED;
}

HRESULT TAudioStream::Seek(std::int64_t dlibMove, std::uint32_t dwOrigin,
                           std::uint64_t* plibNewPosition) {
  if (FStream == nullptr || dwOrigin > STREAM_SEEK_END)
    return STREAM_E_FAILED;
  const TSeekOrigin origin = dwOrigin == STREAM_SEEK_SET   ? TSeekOrigin::soBeginning
                             : dwOrigin == STREAM_SEEK_CUR ? TSeekOrigin::soCurrent
                                                           : TSeekOrigin::soEnd;
  std::int64_t pos = -1;
  try {
    if (origin == TSeekOrigin::soBeginning && dlibMove < 0)
      return STREAM_E_FAILED;
    pos = FStream->Seek(dlibMove, origin);
  } catch (...) {
    return STREAM_E_FAILED;
  }
  if (pos < 0)
    return STREAM_E_FAILED;
  if (plibNewPosition != nullptr)
    *plibNewPosition = static_cast<std::uint64_t>(pos);
  return S_OK;
}

HRESULT TAudioStream::SetSize(std::uint64_t libNewSize) {
  auto* file = dynamic_cast<THandleStream*>(FStream);
  if (file == nullptr)
    return STREAM_E_FAILED;
  try {
    file->SetSize(static_cast<std::int64_t>(libNewSize));
  } catch (...) {
    return STREAM_E_FAILED;
  }
  return S_OK;
}

HRESULT TAudioStream::Stat(STATSTG* pstatstg, std::uint32_t /*grfStatFlag*/) {
  if (pstatstg == nullptr || FStream == nullptr)
    return STREAM_E_FAILED;
  std::int64_t size = -1;
  try {
    size = FStream->Size();
  } catch (...) {
    size = -1;
  }
  if (size < 0)
    return STREAM_E_FAILED;
  pstatstg->cbSize = static_cast<std::uint64_t>(size);
  pstatstg->grfLocksSupported = 0;
  return S_OK;
}

HRESULT TAudioStream::Clone(std::shared_ptr<IStream>* ppstm) {
  if (ppstm != nullptr)
    ppstm->reset();
  return STREAM_E_FAILED;
}

} // namespace sondrix
