#include "tags/id3v2_tags.h"

#include "base/text.h"
#include "tags/id3v2_format.h"
#include "tags/tag_file.h"

#include <algorithm>
#include <cstring>
#include <utility>
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

// Undoes unsynchronisation: every 0xFF 0x00 pair loses its 0x00.
void undoUnsync(std::vector<unsigned char>& data) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[out++] = data[i];
    if (data[i] == 0xFF && i + 1 < data.size() && data[i + 1] == 0x00)
      ++i;
  }
  data.resize(out);
}

// A whole tag body held in memory, for tags whose frame headers cannot be read in place.
class MemorySource {
public:
  explicit MemorySource(std::vector<unsigned char> data) : FData(std::move(data)) {}
  std::int64_t size() const { return static_cast<std::int64_t>(FData.size()); }
  std::int64_t readAt(std::int64_t offset, void* buffer, std::size_t count) const {
    if (offset < 0 || offset > size())
      return -1;
    const std::size_t n = std::min(count, FData.size() - static_cast<std::size_t>(offset));
    std::memcpy(buffer, FData.data() + offset, n);
    return static_cast<std::int64_t>(n);
  }

private:
  std::vector<unsigned char> FData;
};

// Turns a stored frame body into its plain content as its format flags say; false for a
// body we do not read (compressed, encrypted or too short for its own additions).
bool unpackFrame(int major, std::uint8_t format, bool tagUnsync, std::vector<unsigned char>& data) {
  std::size_t skip = 0;
  std::uint32_t dataLength = 0;
  bool hasDataLength = false;
  if (major == 3) {
    if (format & 0xC0)
      return false;
    skip = (format & 0x20) ? 1 : 0; // group id
  } else if (major == 4) {
    if (format & 0x0C)
      return false;
    // The additions are unsynchronised with the rest of the body.
    if (tagUnsync || (format & 0x02))
      undoUnsync(data);
    skip = (format & 0x40) ? 1 : 0;
    if (format & 0x01) {
      if (data.size() < skip + 4)
        return false;
      hasDataLength = true;
      dataLength = id3v2::fromSynchsafe(data.data() + skip);
      skip += 4;
    }
  }
  if (data.size() < skip)
    return false;
  data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(skip));
  if (hasDataLength && dataLength < data.size())
    data.resize(dataLength);
  return true;
}

// Reads the frames of one tag between start and end, which the caller has checked against
// the source's size; every read and allocation stays inside that range.
template <class Source> class FrameReader {
public:
  FrameReader(Source& source, int major, bool tagUnsync, std::int64_t end)
      : FSource(source), FMajor(major), FTagUnsync(tagUnsync), FEnd(end) {}

  template <class Store> void run(std::int64_t offset, Store&& store) {
    const int headerSize = FMajor == 2 ? 6 : 10;
    const int idSize = FMajor == 2 ? 3 : 4;
    while (offset < FEnd) {
      unsigned char h[10];
      if (FSource.readAt(offset, h, static_cast<std::size_t>(headerSize)) != headerSize)
        return;
      if (h[0] < 'A' || h[0] > 'Z')
        return; // padding or garbage
      const std::int64_t body = offset + headerSize;
      if (body >= FEnd)
        return;
      std::uint32_t size = FMajor == 2 ? bigEndian(h + 3, 3) : bigEndian(h + 4, 4);
      if (FMajor == 4 && size > 0x7F)
        size = chooseV4Size(size, body);
      if (size > static_cast<std::uint64_t>(FEnd - body))
        return;
      const std::string id(reinterpret_cast<const char*>(h), static_cast<std::size_t>(idSize));
      offset = body + size;
      if (size == 0 || !store.wants(id))
        continue;
      std::vector<unsigned char> data(size);
      if (FSource.readAt(body, data.data(), size) != static_cast<std::int64_t>(size))
        return;
      if (unpackFrame(FMajor, FMajor == 2 ? 0 : h[9], FTagUnsync, data))
        store.frame(id, data);
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
    if (pos > FEnd - 10 || FSource.readAt(pos, b, 10) != 10)
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
    return pos < FEnd && FSource.readAt(pos, b, 4) == 4 && (b[0] | b[1] | b[2] | b[3]) == 0;
  }

  Source& FSource;
  int FMajor;
  bool FTagUnsync;
  std::int64_t FEnd;
};

// Where the frames start after an extended header at start, or -1 when it does not fit.
template <class Source>
std::int64_t skipExtendedHeader(Source& source, int major, std::int64_t start, std::int64_t end) {
  unsigned char b[4];
  if (start + 4 > end || source.readAt(start, b, 4) != 4)
    return -1;
  std::int64_t next;
  if (major == 3) {
    next = start + 4 + bigEndian(b, 4); // the size leaves itself out
  } else {
    if ((b[0] | b[1] | b[2] | b[3]) & 0x80)
      return -1;
    const std::uint32_t size = id3v2::fromSynchsafe(b);
    if (size < 6)
      return -1;
    next = start + size;
  }
  return next <= end ? next : -1;
}

template <class Source, class Store>
void readFrames(Source& source, const id3v2::Header& header, std::int64_t start, std::int64_t end,
                Store& store) {
  if (header.flags & 0x40) {
    start = skipExtendedHeader(source, header.major, start, end);
    if (start < 0)
      return;
  }
  FrameReader<Source>(source, header.major, (header.flags & 0x80) != 0, end).run(start, store);
}

// Reads UTF-16 with an optional byte order mark up to the first zero unit.
std::u16string decodeUtf16(const unsigned char* p, std::size_t n, bool bigEndianText) {
  std::size_t i = 0;
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    i = 2;
    bigEndianText = false;
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
  return text;
}

// The first string of a text frame body, or false when its encoding is not one we read.
bool decodeText(int major, const std::vector<unsigned char>& body, TTagValue& out) {
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
  case 1:
    out = TTagValue::Wide(decodeUtf16(p, n, false));
    return true;
  case 2: // big-endian without a mark; version 2.4 only
    if (major != 4)
      return false;
    out = TTagValue::Wide(decodeUtf16(p, n, true));
    return true;
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
  PosixTagFile file(InFile);
  unsigned char b[id3v2::kHeaderSize];
  id3v2::Header header;
  if (file.readAt(tagStart, b, sizeof b) != id3v2::kHeaderSize || !id3v2::parseHeader(b, header))
    return false;
  FNew = header.major != 2;

  const std::int64_t framesStart = tagStart + id3v2::kHeaderSize;
  const std::int64_t framesEnd = framesStart + header.size;
  const std::int64_t tagEnd = tagStart + header.totalSize();
  const auto& row = FrameIds()[FNew ? 1 : 0];
  struct Store {
    TId3v2Tags& tags;
    const std::array<const char*, FrameColumns>& row;
    int major;
    bool wants(const std::string& id) const {
      for (int k = 0; k < FrameColumns; ++k)
        if (k != colComment && id == row[static_cast<std::size_t>(k)])
          return true;
      return false;
    }
    void frame(const std::string& id, const std::vector<unsigned char>& body) {
      TTagValue value;
      if (wants(id) && decodeText(major, body, value))
        tags.SetValues(id, value);
    }
  } store{*this, row, header.major};
  // A version 2.2 tag with its compression bit set is to be ignored whole.
  const bool compressed22 = header.major == 2 && (header.flags & 0x40) != 0;
  if (fileSize(InFile) >= tagEnd && !compressed22) {
    if (header.major < 4 && (header.flags & 0x80) != 0) {
      // Before version 2.4 unsynchronisation covers the frame headers too.
      std::vector<unsigned char> body(header.size);
      if (file.readAt(framesStart, body.data(), body.size()) ==
          static_cast<std::int64_t>(body.size())) {
        undoUnsync(body);
        MemorySource source(std::move(body));
        readFrames(source, header, 0, source.size(), store);
      }
    } else {
      readFrames(file, header, framesStart, framesEnd, store);
    }
  }
  seekTo(InFile, tagEnd);
  return true;
}

} // namespace sondrix
