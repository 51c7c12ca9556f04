#include "tags/id3v2_tags.h"

#include "base/text.h"
#include "tags/id3v2_format.h"
#include "tags/tag_file.h"

#include <algorithm>
#include <vector>

namespace sondrix {
namespace {

constexpr std::size_t kDefaultChunk = 64 * 1024;

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

void appendFrame(std::vector<unsigned char>& out, const char* id, unsigned char encoding,
                 std::string_view text) {
  const auto size = static_cast<std::uint32_t>(text.size() + 1);
  out.insert(out.end(), id, id + 4);
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(size >> shift));
  out.push_back(0);
  out.push_back(0);
  out.push_back(encoding);
  out.insert(out.end(), text.begin(), text.end());
}

// Moves the first `length` bytes of the file up by `shift` bytes, from the end down, in
// bounded chunks. On failure, puts back what was moved so the first `length` bytes are the
// original ones again; the caller then cuts the file back.
class ContentMover {
public:
  ContentMover(TagFileAccess& file, std::int64_t length, std::int64_t shift, std::size_t chunk)
      : FFile(file), FLength(length), FShift(shift), FChunk(std::max<std::size_t>(chunk, 1)),
        FBuffer(static_cast<std::size_t>(std::min<std::int64_t>(FLength, std::int64_t(FChunk)))) {}

  bool moveUp() {
    std::int64_t hi = FLength;
    while (hi > 0) {
      const std::int64_t lo = std::max<std::int64_t>(0, hi - std::int64_t(FChunk));
      const auto n = static_cast<std::size_t>(hi - lo);
      if (FFile.readAt(lo, FBuffer.data(), n) != std::int64_t(n))
        return false;
      if (!FFile.writeAt(lo + FShift, FBuffer.data(), n)) {
        // A partial write may have reached into this chunk's own source bytes.
        FFile.writeAt(lo, FBuffer.data(), n);
        return false;
      }
      FMovedFrom = lo;
      hi = lo;
    }
    return true;
  }

  // Copies the moved bytes back down, lowest first, so no source is overwritten before it
  // is read.
  bool moveBack() {
    for (std::int64_t pos = FMovedFrom; pos < FLength;) {
      const auto n =
          static_cast<std::size_t>(std::min<std::int64_t>(std::int64_t(FChunk), FLength - pos));
      if (FFile.readAt(pos + FShift, FBuffer.data(), n) != std::int64_t(n) ||
          !FFile.writeAt(pos, FBuffer.data(), n))
        return false;
      pos += static_cast<std::int64_t>(n);
    }
    FMovedFrom = FLength;
    return true;
  }

private:
  TagFileAccess& FFile;
  std::int64_t FLength;
  std::int64_t FShift;
  std::size_t FChunk;
  std::vector<unsigned char> FBuffer;
  std::int64_t FMovedFrom = FLength; // bytes at and above this offset have been moved
};

} // namespace

bool TId3v2Tags::WriteToFile(int OutFile, bool Unicode) {
  if (!TAuTags::WriteToFile(OutFile, Unicode))
    return false;
  PosixTagFile file(OutFile);
  return WriteToFile(file, Unicode, kDefaultChunk);
}

bool TId3v2Tags::WriteToFile(TagFileAccess& File, bool Unicode, std::size_t ChunkSize) {
  // The tag holds what the properties show: a container read from a version 2.2 tag keeps
  // its values under the 3-letter ids, and they are written under the 4-letter ones.
  std::vector<unsigned char> frames;
  for (int k = 0; k < FrameColumns; ++k) {
    if (k == colComment)
      continue;
    const auto column = static_cast<std::size_t>(k);
    const TTagValue value = Values(FrameIds()[FNew ? 1 : 0][column]);
    const char* id = FrameIds()[1][column];
    if (Unicode && value.Kind() == TTagValueKind::WideText) {
      if (!value.WideText().empty())
        appendFrame(frames, id, 3, toNarrow(value.WideText()));
      continue;
    }
    const std::string text = value.ToNarrow();
    if (text.empty())
      continue;
    // Encoding 0 means Latin-1 to every reader; narrow text here is UTF-8, so a text with
    // characters beyond ASCII is labelled as the UTF-8 it is.
    const bool utf8 = !isAscii(text) && toNarrow(toWide(text)) == text;
    appendFrame(frames, id, utf8 ? 3 : 0, text);
  }

  const std::size_t padding = 16 - (frames.size() + id3v2::kHeaderSize) % 16;
  const std::uint64_t tagSize = frames.size() + padding;
  if (tagSize > id3v2::kMaxSynchsafe)
    return false;
  std::vector<unsigned char> tag(id3v2::kHeaderSize, 0);
  tag[0] = 'I', tag[1] = 'D', tag[2] = '3', tag[3] = 4;
  id3v2::toSynchsafe(static_cast<std::uint32_t>(tagSize), tag.data() + 6);
  tag.insert(tag.end(), frames.begin(), frames.end());
  tag.insert(tag.end(), padding, 0);

  if (!File.canRewrite())
    return false;
  const std::int64_t length = File.size();
  if (length < 0)
    return false;
  const auto shift = static_cast<std::int64_t>(tag.size());
  if (!File.grow(length + shift)) {
    if (File.size() != length)
      File.truncate(length);
    return false;
  }
  ContentMover mover(File, length, shift, ChunkSize);
  if (!mover.moveUp() || !File.writeAt(0, tag.data(), tag.size())) {
    mover.moveBack();
    File.truncate(length);
    return false;
  }
  File.seekEnd();
  return true;
}

} // namespace sondrix
