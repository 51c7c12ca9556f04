#include "tag_test_support.h"

#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace sondrix {

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TempFile::TempFile(const Bytes& content) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "sondrix-tags-XXXXXX").string();
  if (!::mkdtemp(tmpl.data()))
    throw std::runtime_error("mkdtemp failed");
  FDir = tmpl;
  FPath = FDir / "track.mp3";
  FFd = ::open(FPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (FFd < 0)
    throw std::runtime_error("open failed");
  if (!content.empty() &&
      ::write(FFd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    throw std::runtime_error("write failed");
  ::lseek(FFd, 0, SEEK_SET);
}

TempFile::~TempFile() {
  for (int fd : FExtra)
    ::close(fd);
  if (FFd >= 0)
    ::close(FFd);
  std::error_code ec;
  std::filesystem::remove_all(FDir, ec);
}

int TempFile::reopen(int flags) {
  const int fd = ::open(FPath.c_str(), flags);
  if (fd < 0)
    throw std::runtime_error("reopen failed");
  FExtra.push_back(fd);
  return fd;
}

Bytes TempFile::content() const {
  std::ifstream in(FPath, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t TempFile::position() const {
  return ::lseek(FFd, 0, SEEK_CUR);
}

void TempFile::rewind() const {
  ::lseek(FFd, 0, SEEK_SET);
}

Bytes id3Header(int major, int flags, std::uint32_t size) {
  return Bytes{'I',
               'D',
               '3',
               static_cast<std::uint8_t>(major),
               0,
               static_cast<std::uint8_t>(flags),
               static_cast<std::uint8_t>((size >> 21) & 0x7F),
               static_cast<std::uint8_t>((size >> 14) & 0x7F),
               static_cast<std::uint8_t>((size >> 7) & 0x7F),
               static_cast<std::uint8_t>(size & 0x7F)};
}

Bytes frame(std::string_view id, const Bytes& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  Bytes out = bytesOf(id);
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(n >> shift));
  out.push_back(0);
  out.push_back(0);
  return out + body;
}

Bytes frame22(std::string_view id, const Bytes& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  Bytes out = bytesOf(id);
  for (int shift = 16; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(n >> shift));
  return out + body;
}

Bytes textBody(int encoding, const Bytes& text) {
  return Bytes{static_cast<std::uint8_t>(encoding)} + text;
}

} // namespace sondrix
