#include "tags/id3v2_tags.h"

#include "tags/id3v2_format.h"
#include "tags/tag_file.h"

#include <cstring>

namespace sondrix {

namespace id3v2 {

bool parseHeader(const unsigned char* b, Header& out) {
  if (std::memcmp(b, "ID3", 3) != 0 || b[4] == 0xFF)
    return false;
  const std::uint8_t major = b[3], flags = b[5];
  const bool flagsOk = (major == 2 && (flags & 0x3F) == 0) || (major == 3 && (flags & 0x1F) == 0) ||
                       (major == 4 && (flags & 0x0F) == 0);
  if (!flagsOk || ((b[6] | b[7] | b[8] | b[9]) & 0x80) != 0)
    return false;
  out.major = major;
  out.revision = b[4];
  out.flags = flags;
  out.size = fromSynchsafe(b + 6);
  return true;
}

std::uint32_t fromSynchsafe(const unsigned char* b) {
  return (std::uint32_t(b[0] & 0x7F) << 21) | (std::uint32_t(b[1] & 0x7F) << 14) |
         (std::uint32_t(b[2] & 0x7F) << 7) | std::uint32_t(b[3] & 0x7F);
}

void toSynchsafe(std::uint32_t v, unsigned char* out) {
  out[0] = static_cast<unsigned char>((v >> 21) & 0x7F);
  out[1] = static_cast<unsigned char>((v >> 14) & 0x7F);
  out[2] = static_cast<unsigned char>((v >> 7) & 0x7F);
  out[3] = static_cast<unsigned char>(v & 0x7F);
}

} // namespace id3v2

namespace {
std::unique_ptr<TAuTags> create() {
  return std::make_unique<TId3v2Tags>();
}
} // namespace

const std::array<std::array<const char*, TId3v2Tags::FrameColumns>, 2>& TId3v2Tags::FrameIds() {
  static const std::array<std::array<const char*, FrameColumns>, 2> ids = {{
      {"TAL", "TP1", "TCO", "TT2", "TRK", "TYE", "COM", "TCM", "TEN", "TCR", "TLA", "WXX"},
      {"TALB", "TPE1", "TCON", "TIT2", "TRCK", "TYER", "COMM", "TCOM", "TENC", "TCOP", "TLAN",
       "WXXX"},
  }};
  return ids;
}

TId3v2Tags::TId3v2Tags() {
  for (int k = 0; k < FrameColumns; ++k) {
    AddId(FrameIds()[0][static_cast<std::size_t>(k)], TTagValue());
    AddId(FrameIds()[1][static_cast<std::size_t>(k)], TTagValue());
  }
}

const TAuTagsClass& TId3v2Tags::ClassType() {
  static const TAuTagsClass cls{"TId3v2Tags", &create, &TId3v2Tags::Presents};
  return cls;
}

bool TId3v2Tags::Presents(int InFile) {
  if (!isValidHandle(InFile))
    return false;
  const std::int64_t pos = filePosition(InFile);
  if (pos < 0)
    return false;
  unsigned char b[id3v2::kHeaderSize];
  id3v2::Header header;
  PosixTagFile file(InFile);
  return file.readAt(pos, b, sizeof b) == id3v2::kHeaderSize && id3v2::parseHeader(b, header);
}

} // namespace sondrix
