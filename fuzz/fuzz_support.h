#pragma once

// Helpers the fuzz entries share. Each entry is also linked into a replay test for the
// normal builds, so nothing here may depend on libFuzzer.

#include "tests/station/temp_folder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace sondrix::fuzz {

// Takes option bytes off the front of an input; an exhausted input gives zeros.
class InputCursor {
public:
  InputCursor(const std::uint8_t* data, std::size_t size) : FBytes(data, size) {}
  std::uint8_t byte() {
    if (FBytes.empty())
      return 0;
    const std::uint8_t b = FBytes.front();
    FBytes = FBytes.subspan(1);
    return b;
  }
  std::span<const std::uint8_t> rest() const { return FBytes; }
  std::string_view restText() const {
    return {reinterpret_cast<const char*>(FBytes.data()), FBytes.size()};
  }

private:
  std::span<const std::uint8_t> FBytes;
};

// An anonymous in-memory file holding bytes, for readers that take a descriptor.
class MemoryFile {
public:
  explicit MemoryFile(std::span<const std::uint8_t> bytes)
      : FFd(::memfd_create("sondrix-fuzz", MFD_CLOEXEC)) {
    if (FFd < 0)
      throw std::runtime_error("memfd_create failed");
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
      if (n <= 0)
        throw std::runtime_error("memfd write failed");
      done += static_cast<std::size_t>(n);
    }
    ::lseek(FFd, 0, SEEK_SET);
  }
  ~MemoryFile() { ::close(FFd); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  int fd() const { return FFd; }

private:
  int FFd;
};

// One scratch folder for the whole run of an entry that reads files by name.
inline const testing::TempFolder& scratchFolder() {
  static const testing::TempFolder folder;
  return folder;
}

// A broken invariant is a finding: abort so the fuzzer keeps the input.
inline void check(bool condition) {
  if (!condition)
    std::abort();
}

} // namespace sondrix::fuzz
