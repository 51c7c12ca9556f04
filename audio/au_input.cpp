#include "au_input.h"

#include "au_exception.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

namespace sondrix {

TAuInput::TAuInput(TComponent* AOwner)
    : TComponent(AOwner), DataCS(std::make_unique<TCriticalSection>()) {}

TAuInput::~TAuInput() = default;

void TAuInput::Init() {
  std::optional<std::string> failure;
  {
    CriticalSectionGuard lock(*DataCS);
    _EndOfStream = false;
    try {
      DoInit();
    } catch (const std::exception& e) {
      _EndOfStream = true;
      failure = e.what();
    }
  }
  if (failure)
    throw EAuException(*failure);
}

void TAuInput::Flush() {
  CriticalSectionGuard lock(*DataCS);
  DoFlush();
}

void TAuInput::GetData(void*& Buffer, std::uint32_t& Bytes) {
  CriticalSectionGuard lock(*DataCS);
  DoGetData(Buffer, Bytes);
}

std::int32_t TAuInput::CopyData(void* Buffer, std::int32_t BufferSize) {
  if (BufferSize <= 0)
    return 0;
  void* p = nullptr;
  auto bytes = static_cast<std::uint32_t>(BufferSize);
  GetData(p, bytes);
  if (p != nullptr && bytes > 0)
    std::memcpy(Buffer, p, bytes);
  return static_cast<std::int32_t>(bytes);
}

namespace {

// Fills the buffer from read(pointer, bytes) until it is full or a read gives nothing; Eof
// tells which. Each read's bytes are copied before the next read, under the caller's lock.
template <class Read>
std::uint32_t fill(std::uint8_t* out, std::uint32_t size, bool& Eof, Read read) {
  std::uint32_t filled = 0;
  std::uint32_t chunk = size;
  while (filled != size && chunk > 0) {
    chunk = size - filled;
    void* p = nullptr;
    read(p, chunk, out + filled);
    filled += chunk;
  }
  Eof = (chunk == 0);
  return filled;
}

} // namespace

std::uint32_t TAuInput::FillBuffer(void* Buffer, std::uint32_t BufferSize, bool& Eof) {
  return fill(static_cast<std::uint8_t*>(Buffer), BufferSize, Eof,
              [this](void*& p, std::uint32_t& chunk, std::uint8_t* to) {
                // Copied under the lock: another thread may switch the source (a playlist's
                // track change) and free the bytes as soon as the lock is free.
                CriticalSectionGuard lock(*DataCS);
                GetData(p, chunk);
                if (p != nullptr && chunk > 0)
                  std::memcpy(to, p, chunk);
              });
}

std::uint32_t TAuInput::FillBufferUnprotected(void* Buffer, std::uint32_t BufferSize, bool& Eof) {
  if (Buffer == nullptr)
    return 0;
  CriticalSectionGuard lock(*DataCS);
  const std::uint32_t filled = fill(static_cast<std::uint8_t*>(Buffer), BufferSize, Eof,
                                    [this](void*& p, std::uint32_t& chunk, std::uint8_t* to) {
                                      DoGetData(p, chunk);
                                      if (p != nullptr && chunk > 0)
                                        std::memcpy(to, p, chunk);
                                    });
  FPosition += filled;
  return filled;
}

void TAuInput::Reset() {
  try {
    Flush();
  } catch (...) {
    // Reset must always bring the source back to idle, whatever closing it reports.
  }
  Busy = false;
}

} // namespace sondrix
