#include "stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <unistd.h>

namespace sondrix {

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  if (pos < 0)
    return -1;
  const std::int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const auto size = static_cast<std::int64_t>(FData.size());
  if (count <= 0 || FPos >= size)
    return 0;
  const std::int64_t n = std::min(count, size - FPos);
  std::memcpy(buffer, FData.data() + FPos, static_cast<std::size_t>(n));
  FPos += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0)
    return 0;
  const auto end = static_cast<std::size_t>(FPos + count);
  if (end > FData.size())
    FData.resize(end);
  std::memcpy(FData.data() + FPos, buffer, static_cast<std::size_t>(count));
  FPos += count;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent)
    base = FPos;
  else if (origin == TSeekOrigin::soEnd)
    base = static_cast<std::int64_t>(FData.size());
  FPos = std::max<std::int64_t>(0, base + offset);
  return FPos;
}

THandleStream::~THandleStream() {
  if (FHandle >= 0)
    ::close(FHandle);
}

std::int64_t THandleStream::Read(void* buffer, std::int64_t count) {
  auto* out = static_cast<char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(FHandle, out + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw std::system_error(errno, std::generic_category());
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

std::int64_t THandleStream::Write(const void* buffer, std::int64_t count) {
  const auto* in = static_cast<const char*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(FHandle, in + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw std::system_error(errno, std::generic_category());
    done += n;
  }
  return done;
}

std::int64_t THandleStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                     : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                        : SEEK_END;
  const off_t r = ::lseek(FHandle, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

void THandleStream::SetSize(std::int64_t size) {
  if (::ftruncate(FHandle, static_cast<off_t>(size)) != 0)
    throw std::system_error(errno, std::generic_category());
}

} // namespace sondrix
