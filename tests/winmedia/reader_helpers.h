#pragma once

// Helpers for tests that decode real files through the reader record.

#include "winmedia/wma_sync_reader.h"

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <vector>

namespace sondrix::testing {

// A read-only file stream; a missing file gives a stream on handle -1, whose reads throw.
inline std::unique_ptr<THandleStream> openFile(const std::filesystem::path& path) {
  return std::make_unique<THandleStream>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// Everything the record delivers from its position to the end, asked for in chunk-byte reads.
inline std::vector<std::uint8_t> readAll(wma_sync_reader& r, std::uint32_t chunk = 8192) {
  std::vector<std::uint8_t> out;
  for (;;) {
    std::uint8_t* data = nullptr;
    std::uint32_t bytes = chunk;
    wm_reader_read(r, data, bytes);
    if (bytes == 0)
      return out;
    out.insert(out.end(), data, data + bytes);
  }
}

inline std::vector<std::int16_t> samples16(const std::vector<std::uint8_t>& pcm) {
  std::vector<std::int16_t> s(pcm.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
  return s;
}

} // namespace sondrix::testing
