#pragma once

#include <cstddef>
#include <cstdint>

namespace sondrix {

// Positioned access to an open file, as the ID3v2 writer needs it. None of these move the
// descriptor's file position except seekEnd.
class TagFileAccess {
public:
  virtual ~TagFileAccess() = default;
  // The file's size in bytes, or -1.
  virtual std::int64_t size() = 0;
  // Reads up to count bytes at offset (fewer only at end of file); bytes read or -1.
  virtual std::int64_t readAt(std::int64_t offset, void* buffer, std::size_t count) = 0;
  // Writes all count bytes at offset.
  virtual bool writeAt(std::int64_t offset, const void* buffer, std::size_t count) = 0;
  // Lengthens the file to newSize with its space reserved, so that later writes inside it
  // cannot run out of room.
  virtual bool grow(std::int64_t newSize) = 0;
  // Cuts the file back to newSize.
  virtual bool truncate(std::int64_t newSize) = 0;
  // Moves the file position to the end of the file.
  virtual bool seekEnd() = 0;
  // True when the descriptor can be read and rewritten in place (read-write, not append).
  virtual bool canRewrite() = 0;
};

// TagFileAccess on a POSIX descriptor (not owned).
class PosixTagFile : public TagFileAccess {
public:
  explicit PosixTagFile(int fd) : FFd(fd) {}
  std::int64_t size() override;
  std::int64_t readAt(std::int64_t offset, void* buffer, std::size_t count) override;
  bool writeAt(std::int64_t offset, const void* buffer, std::size_t count) override;
  bool grow(std::int64_t newSize) override;
  bool truncate(std::int64_t newSize) override;
  bool seekEnd() override;
  bool canRewrite() override;

private:
  int FFd;
};

// Sequential helpers on a descriptor's own position.
// Reads until count bytes or end of file (retrying interruptions); bytes read or -1.
std::int64_t readFully(int fd, void* buffer, std::size_t count);
// Writes all count bytes; false on any failure.
bool writeFully(int fd, const void* buffer, std::size_t count);
// The current position, or -1.
std::int64_t filePosition(int fd);
// Moves to offset from the start; false on failure (including a negative offset).
bool seekTo(int fd, std::int64_t offset);
// The size of the open file, or -1.
std::int64_t fileSize(int fd);

} // namespace sondrix
