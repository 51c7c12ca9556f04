#pragma once

#include "tags/tag_value.h"

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace sondrix {

inline void PrintTo(const TTagValue& v, std::ostream* os) {
  *os << v.Describe();
}

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view s);
Bytes operator+(Bytes a, const Bytes& b);

// A file in a fresh temporary folder, removed with it. fd() is open read-write.
class TempFile {
public:
  explicit TempFile(const Bytes& content = {});
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return FFd; }
  const std::filesystem::path& path() const { return FPath; }
  // Opens another descriptor on the file with the given open(2) flags (closed with this).
  int reopen(int flags);
  Bytes content() const;
  std::int64_t position() const;
  void rewind() const;

private:
  std::filesystem::path FDir, FPath;
  int FFd = -1;
  std::vector<int> FExtra;
};

// ID3v2 pieces for hand-built tags.
Bytes id3Header(int major, int flags, std::uint32_t size);
Bytes frame(std::string_view id, const Bytes& body); // 4-letter id, plain 32-bit size
Bytes frame22(std::string_view id, const Bytes& body);
Bytes textBody(int encoding, const Bytes& text);

} // namespace sondrix
