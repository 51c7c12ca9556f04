#include "au_file_stream.h"

#include "au_exception.h"
#include "base/text.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace sondrix {
namespace {

std::string systemErrorText(int error) {
  return std::generic_category().message(error);
}

int openFlags(std::uint16_t mode) {
  if (mode == TAuFileStream::fmCreate)
    return O_RDWR | O_CREAT | O_TRUNC;
  const int sharing = (mode >> 4) & 0x0F;
  if (sharing > 4)
    throw EAuException(systemErrorText(EINVAL));
  switch (mode & 0x03) {
  case 0:
    return O_RDONLY;
  case 1:
    return O_WRONLY;
  case 2:
    return O_RDWR;
  default:
    throw EAuException(systemErrorText(EINVAL));
  }
}

int openHandle(const std::string& name, std::uint16_t mode) {
  const int flags = openFlags(mode) | O_CLOEXEC;
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    throw EAuException(systemErrorText(errno));
  // Linux opens a directory for reading; it would then read as an empty file.
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    throw EAuException(systemErrorText(EISDIR));
  }
  return fd;
}

} // namespace

TAuFileStream::TAuFileStream(const std::string& FileName, std::uint16_t Mode, std::uint32_t Rights)
    : THandleStream(openHandle(FileName, Mode)), FFileName(FileName) {
  (void)Rights;
}

TAuFileStream::TAuFileStream(const std::u16string& FileName, std::uint16_t Mode,
                             std::uint32_t Rights)
    : TAuFileStream(toNarrow(FileName), Mode, Rights) {}

} // namespace sondrix
