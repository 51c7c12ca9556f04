#include "tags/tag_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrix {
namespace {

// Repeats step(bytesDone) until count bytes moved, retrying interruptions. A read stops
// early at end of file; a write that moves nothing stops. Bytes moved, or -1 on an error.
template <class Step> std::int64_t transfer(std::size_t count, bool reading, Step step) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = step(done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return -1;
    if (n == 0) {
      if (reading)
        break;
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

} // namespace

std::int64_t PosixTagFile::size() {
  return fileSize(FFd);
}

std::int64_t PosixTagFile::readAt(std::int64_t offset, void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  return transfer(count, true, [&](std::size_t done) {
    return ::pread(FFd, out + done, count - done, static_cast<off_t>(offset + done));
  });
}

bool PosixTagFile::writeAt(std::int64_t offset, const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  return transfer(count, false, [&](std::size_t done) {
           return ::pwrite(FFd, in + done, count - done, static_cast<off_t>(offset + done));
         }) == static_cast<std::int64_t>(count);
}

bool PosixTagFile::grow(std::int64_t newSize) {
  const std::int64_t old = size();
  if (old < 0 || newSize < old)
    return false;
  if (newSize == old)
    return true;
  int rc;
  do {
    rc = ::posix_fallocate(FFd, static_cast<off_t>(old), static_cast<off_t>(newSize - old));
  } while (rc == EINTR);
  if (rc == 0)
    return true;
  // Some file systems cannot reserve space; a plain lengthening is all they offer.
  if (rc == EOPNOTSUPP || rc == EINVAL)
    return ::ftruncate(FFd, static_cast<off_t>(newSize)) == 0;
  return false;
}

bool PosixTagFile::truncate(std::int64_t newSize) {
  return newSize >= 0 && ::ftruncate(FFd, static_cast<off_t>(newSize)) == 0;
}

bool PosixTagFile::seekEnd() {
  return ::lseek(FFd, 0, SEEK_END) >= 0;
}

bool PosixTagFile::canRewrite() {
  const int flags = ::fcntl(FFd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) == O_RDWR && (flags & O_APPEND) == 0;
}

std::int64_t readFully(int fd, void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  return transfer(count, true,
                  [&](std::size_t done) { return ::read(fd, out + done, count - done); });
}

bool writeFully(int fd, const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  return transfer(count, false, [&](std::size_t done) {
           return ::write(fd, in + done, count - done);
         }) == static_cast<std::int64_t>(count);
}

std::int64_t filePosition(int fd) {
  return ::lseek(fd, 0, SEEK_CUR);
}

bool seekTo(int fd, std::int64_t offset) {
  return offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

std::int64_t fileSize(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return -1;
  return static_cast<std::int64_t>(st.st_size);
}

} // namespace sondrix
