#include "station/playlist_file.h"

#include "base/text.h"
#include "station/file_io.h"

namespace sondrix {

namespace {

// Splits at CR LF, LF or CR; a final line end adds no empty entry.
template <typename Char>
std::vector<std::basic_string_view<Char>> splitLines(std::basic_string_view<Char> text) {
  std::vector<std::basic_string_view<Char>> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const Char c = text[i];
    if (c != Char('\r') && c != Char('\n')) {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += (c == Char('\r') && i + 1 < text.size() && text[i + 1] == Char('\n')) ? 2 : 1;
    start = i;
  }
  if (start < text.size())
    lines.push_back(text.substr(start));
  return lines;
}

template <typename Char> std::basic_string_view<Char> upToNul(std::basic_string_view<Char> text) {
  return text.substr(0, text.find(Char(0)));
}

std::u16string utf16Units(std::string_view bytes, bool littleEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    units += static_cast<char16_t>(littleEndian ? first | second << 8 : first << 8 | second);
  }
  return units;
}

void appendUtf16(std::string& out, std::u16string_view units, bool littleEndian) {
  for (const char16_t unit : units) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    out += littleEndian ? low : high;
    out += littleEndian ? high : low;
  }
}

} // namespace

TPlaylistText decodePlaylist(std::string_view Bytes) {
  TPlaylistText result;
  if (Bytes.starts_with("\xFF\xFE") || Bytes.starts_with("\xFE\xFF")) {
    const bool little = Bytes[0] == '\xFF';
    result.Encoding = little ? TPlaylistEncoding::Utf16LE : TPlaylistEncoding::Utf16BE;
    const std::u16string units = utf16Units(Bytes.substr(2), little);
    for (const std::u16string_view line : splitLines(upToNul(std::u16string_view(units))))
      result.Entries.push_back(toNarrow(line));
    return result;
  }
  if (Bytes.starts_with("\xEF\xBB\xBF")) {
    result.Encoding = TPlaylistEncoding::Utf8Bom;
    Bytes.remove_prefix(3);
  }
  // Line by line, so one Latin line does not turn its UTF-8 neighbours into Latin too.
  for (const std::string_view line : splitLines(upToNul(Bytes)))
    result.Entries.push_back(toNarrow(toWide(line)));
  return result;
}

std::string encodePlaylist(const std::vector<std::string>& Entries, TPlaylistEncoding Encoding) {
  std::string out;
  switch (Encoding) {
  case TPlaylistEncoding::Ansi:
  case TPlaylistEncoding::Utf8Bom:
    if (Encoding == TPlaylistEncoding::Utf8Bom)
      out = "\xEF\xBB\xBF";
    for (const std::string& entry : Entries)
      out += entry + "\r\n";
    break;
  case TPlaylistEncoding::Utf16LE:
  case TPlaylistEncoding::Utf16BE: {
    const bool little = Encoding == TPlaylistEncoding::Utf16LE;
    appendUtf16(out, u"\uFEFF", little);
    for (const std::string& entry : Entries) {
      appendUtf16(out, toWide(entry), little);
      appendUtf16(out, u"\r\n", little);
    }
    break;
  }
  }
  return out;
}

TPlaylistText readPlaylistFile(const std::string& FileName) {
  return decodePlaylist(readWholeFile(FileName));
}

void writePlaylistFile(const std::string& FileName, const std::vector<std::string>& Entries,
                       TPlaylistEncoding Encoding) {
  replaceWholeFile(FileName, encodePlaylist(Entries, Encoding));
}

} // namespace sondrix
