#include "tags/id3v2_tags.h"

#include "base/text.h"
#include "tags/id3v2_format.h"
#include "tags/tag_file.h"

#include <cstring>
#include <vector>

namespace sondrix {
namespace {

std::uint32_t bigEndian(const unsigned char* b, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i)
    v = (v << 8) | b[i];
  return v;
}

bool isIdChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Reads the frames of one tag between start and end, which the caller has checked against
// the file's size; every read and allocation stays inside that range.
class FrameReader {
public:
  FrameReader(PosixTagFile& file, int major, std::int64_t end)
      : FFile(file), FMajor(major), FEnd(end) {}

  template <class Store> void run(std::int64_t offset, Store&& store) {
    const int headerSize = FMajor == 2 ? 6 : 10;
    const int idSize = FMajor == 2 ? 3 : 4;
    while (offset < FEnd) {
      unsigned char h[10];
      if (FFile.readAt(offset, h, static_cast<std::size_t>(headerSize)) != headerSize)
        return;
      if (h[0] < 'A' || h[0] > 'Z')
        return; // padding, an extended header or garbage
      const std::int64_t body = offset + headerSize;
      if (body >= FEnd)
        return;
      std::uint32_t size = FMajor == 2 ? bigEndian(h + 3, 3) : bigEndian(h + 4, 4);
      if (FMajor == 4 && size > 0x7F)
        size = chooseV4Size(size, body);
      if (size > static_cast<std::uint64_t>(FEnd - body))
        return;
      const std::string id(reinterpret_cast<const char*>(h), static_cast<std::size_t>(idSize));
      if (size > 0 && !store.wants(id)) {
        offset = body + size;
        continue;
      }
      if (size > 0) {
        std::vector<unsigned char> data(size);
        if (FFile.readAt(body, data.data(), size) != static_cast<std::int64_t>(size))
          return;
        store.frame(id, data);
      }
      offset = body + size;
    }
  }

private:
  // Version 2.4 frame sizes are written both ways in the wild: synchsafe, as the format has
  // them, and plain. Take the reading after which another frame (or the end) follows.
  std::uint32_t chooseV4Size(std::uint32_t plain, std::int64_t body) {
    if ((plain & 0x80808080u) != 0)
      return plain;
    unsigned char raw[4];
    for (int i = 0; i < 4; ++i)
      raw[i] = static_cast<unsigned char>(plain >> (24 - 8 * i));
    const std::uint32_t synchsafe = id3v2::fromSynchsafe(raw);
    if (followedByFrame(body + synchsafe))
      return synchsafe;
    if (followedByFrame(body + plain))
      return plain;
    if (followedByPadding(body + synchsafe))
      return synchsafe;
    return plain;
  }

  // The end of the frames, or a frame header whose id is made of id characters and whose
  // size (read either way) fits before the end.
  bool followedByFrame(std::int64_t pos) {
    if (pos == FEnd)
      return true;
    unsigned char b[10];
    if (pos > FEnd - 10 || FFile.readAt(pos, b, 10) != 10)
      return false;
    for (int i = 0; i < 4; ++i)
      if (!isIdChar(b[i]))
        return false;
    const std::int64_t room = FEnd - (pos + 10);
    const std::uint32_t plain = bigEndian(b + 4, 4);
    return plain <= room || ((plain & 0x80808080u) == 0 && id3v2::fromSynchsafe(b + 4) <= room);
  }

  bool followedByPadding(std::int64_t pos) {
    unsigned char b[4];
    return pos < FEnd && FFile.readAt(pos, b, 4) == 4 && (b[0] | b[1] | b[2] | b[3]) == 0;
  }

  PosixTagFile& FFile;
  int FMajor;
  std::int64_t FEnd;
};

// The first string of a text frame body, or false when its encoding is not one we read.
bool decodeText(const std::vector<unsigned char>& body, TTagValue& out) {
  if (body.empty())
    return false;
  const unsigned char* p = body.data() + 1;
  const std::size_t n = body.size() - 1;
  switch (body[0]) {
  case 0: {
    const auto* end = static_cast<const unsigned char*>(std::memchr(p, 0, n));
    out = TTagValue::Narrow({reinterpret_cast<const char*>(p), end ? std::size_t(end - p) : n});
    return true;
  }
  case 1: {
    std::size_t i = 0;
    bool bigEndianText = false;
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      i = 2;
    } else if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      i = 2;
      bigEndianText = true;
    }
    std::u16string text;
    for (; i + 1 < n; i += 2) {
      const auto c =
          static_cast<char16_t>(bigEndianText ? (p[i] << 8) | p[i + 1] : p[i] | (p[i + 1] << 8));
      if (c == 0)
        break;
      text.push_back(c);
    }
    out = TTagValue::Wide(text);
    return true;
  }
  case 3: {
    const auto* end = static_cast<const unsigned char*>(std::memchr(p, 0, n));
    out =
        TTagValue::Wide(toWide({reinterpret_cast<const char*>(p), end ? std::size_t(end - p) : n}));
    return true;
  }
  default:
    return false;
  }
}

} // namespace

bool TId3v2Tags::ReadFromFile(int InFile) {
  if (!TAuTags::ReadFromFile(InFile))
    return false;
  const std::int64_t tagStart = filePosition(InFile);
  if (tagStart < 0)
    return false;
  unsigned char b[id3v2::kHeaderSize];
  id3v2::Header header;
  if (readFully(InFile, b, sizeof b) != id3v2::kHeaderSize || !id3v2::parseHeader(b, header))
    return false;
  FNew = header.major != 2;

  const std::int64_t framesStart = tagStart + id3v2::kHeaderSize;
  const std::int64_t framesEnd = tagStart + header.totalSize();
  const std::int64_t size = fileSize(InFile);
  if (size >= framesEnd) {
    PosixTagFile file(InFile);
    const auto& row = FrameIds()[FNew ? 1 : 0];
    struct Store {
      TId3v2Tags& tags;
      const std::array<const char*, FrameColumns>& row;
      bool wants(const std::string& id) const {
        for (int k = 0; k < FrameColumns; ++k)
          if (k != colComment && id == row[static_cast<std::size_t>(k)])
            return true;
        return false;
      }
      void frame(const std::string& id, const std::vector<unsigned char>& body) {
        TTagValue value;
        if (wants(id) && decodeText(body, value))
          tags.SetValues(id, value);
      }
    } store{*this, row};
    FrameReader(file, header.major, framesEnd).run(framesStart, store);
  }
  seekTo(InFile, framesEnd);
  return true;
}

} // namespace sondrix
