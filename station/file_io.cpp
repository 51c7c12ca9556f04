#include "station/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sondrix {

namespace {

[[noreturn]] void fail(const char* what, const std::string& fileName, int error) {
  throw std::runtime_error(std::string(what) + " \"" + fileName + "\": " + std::strerror(error));
}

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : FFd(fd) {}
  ~FileDescriptor() {
    if (FFd >= 0)
      ::close(FFd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return FFd; }
  // Closes now, so that a delayed write error is seen; returns errno or 0.
  int close() {
    const int rc = ::close(std::exchange(FFd, -1));
    return rc == 0 ? 0 : errno;
  }

private:
  int FFd;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryName {
public:
  explicit TemporaryName(std::string name) : FName(std::move(name)) {}
  ~TemporaryName() {
    if (!FName.empty())
      ::unlink(FName.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  const std::string& name() const { return FName; }
  void keep() { FName.clear(); }

private:
  std::string FName;
};

int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

} // namespace

std::string readWholeFile(const std::string& FileName) {
  FileDescriptor fd(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0)
    fail("Cannot read", FileName, errno);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      fail("Cannot read", FileName, errno);
    if (n == 0)
      return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

namespace {

// Read where the kernel shows it: setting it to learn it would race other threads' files.
mode_t currentUmask() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status != nullptr) {
    char line[256];
    unsigned value = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr)
      found = std::sscanf(line, "Umask: %o", &value) == 1;
    std::fclose(status);
    if (found)
      return static_cast<mode_t>(value);
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

} // namespace

void replaceWholeFile(const std::string& FileName, std::string_view Bytes, bool OwnerOnly) {
  std::string target = FileName;
  std::error_code ec;
  if (std::filesystem::is_symlink(target, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec)
      target = resolved.string();
  }

  // A new file as open(2) would make it; mkostemp alone would give 0600.
  mode_t mode = 0666 & ~currentUmask();
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0) {
    if (::access(target.c_str(), W_OK) != 0)
      fail("Cannot write", FileName, errno);
    mode = existing.st_mode & 07777;
  }
  if (OwnerOnly)
    mode &= 0700;

  const std::size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string pattern = folder + "." + name + ".XXXXXX";
  FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.get() < 0)
    fail("Cannot write", FileName, errno);
  TemporaryName temporary(pattern);

  int error = writeAll(fd.get(), Bytes);
  if (error == 0 && ::fchmod(fd.get(), mode) != 0)
    error = errno;
  if (error == 0 && ::fsync(fd.get()) != 0)
    error = errno;
  const int closeError = fd.close();
  if (error == 0)
    error = closeError;
  if (error == 0 && ::rename(temporary.name().c_str(), target.c_str()) != 0)
    error = errno;
  if (error != 0)
    fail("Cannot write", FileName, error);
  temporary.keep();
}

} // namespace sondrix
