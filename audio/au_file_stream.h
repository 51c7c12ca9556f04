#pragma once

#include "base/stream.h"

#include <cstdint>
#include <string>

namespace sondrix {

// A file opened by name on a POSIX descriptor, closed when the stream is destroyed.
//
// The mode word: fmCreate creates (or empties) the file for reading and writing; any other
// value opens an existing file with the access in its low 2 bits (0 read, 1 write, 2 both)
// and a sharing value 0-4 in bits 4-7. POSIX has no share modes, so the sharing value is only
// checked for range and has no effect; neither has Rights.
// A failure to open raises EAuException with the system's text for the error.
class TAuFileStream : public THandleStream {
public:
  static constexpr std::uint16_t fmCreate = 0xFF00;
  static constexpr std::uint16_t fmOpenRead = 0x0000;
  static constexpr std::uint16_t fmOpenWrite = 0x0001;
  static constexpr std::uint16_t fmOpenReadWrite = 0x0002;
  static constexpr std::uint16_t fmShareExclusive = 0x0010;
  static constexpr std::uint16_t fmShareDenyWrite = 0x0020;
  static constexpr std::uint16_t fmShareDenyRead = 0x0030;
  static constexpr std::uint16_t fmShareDenyNone = 0x0040;

  // FileName is UTF-8.
  TAuFileStream(const std::string& FileName, std::uint16_t Mode, std::uint32_t Rights = 0);
  TAuFileStream(const std::u16string& FileName, std::uint16_t Mode, std::uint32_t Rights = 0);

  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};

} // namespace sondrix
