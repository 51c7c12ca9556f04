#include "station/ini_file.h"

#include "base/text.h"
#include "station/file_io.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace sondrix {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The section a "[Name]" line opens, or nothing for any other line.
std::optional<std::string_view> sectionOf(std::string_view line) {
  line = trimBlanks(line);
  if (line.empty() || line.front() != '[')
    return std::nullopt;
  const std::size_t close = line.find(']');
  return trimBlanks(line.substr(1, close == std::string_view::npos ? close : close - 1));
}

bool isComment(std::string_view line) {
  line = trimBlanks(line);
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// The key of a "Key=Value" line, or nothing.
std::optional<std::string_view> keyOf(std::string_view line) {
  if (isComment(line))
    return std::nullopt;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos)
    return std::nullopt;
  return trimBlanks(line.substr(0, eq));
}

// Line index range [first, last) of the body of each section named Section, in file order.
struct SectionRange {
  std::size_t First, Last;
};

std::vector<SectionRange> sectionsNamed(const std::vector<std::string>& lines,
                                        std::string_view section) {
  std::vector<SectionRange> ranges;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = sectionOf(lines[i]);
    if (!name)
      continue;
    if (inside)
      ranges.back().Last = i;
    inside = sameTextAscii(*name, section);
    if (inside)
      ranges.push_back({i + 1, lines.size()});
  }
  return ranges;
}

} // namespace

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {
  struct stat info {};
  if (::stat(FFileName.c_str(), &info) != 0 && errno == ENOENT)
    return;
  std::string text = readWholeFile(FFileName);
  if (text.starts_with(kUtf8Bom)) {
    FUtf8Bom = true;
    text.erase(0, kUtf8Bom.size());
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
      FLineEnd = "\r\n";
    }
    FLines.push_back(std::move(line));
    start = end + 1;
  }
}

std::optional<std::string> TIniFile::ReadString(const std::string& Section,
                                                const std::string& Key) const {
  for (const SectionRange& range : sectionsNamed(FLines, Section)) {
    for (std::size_t i = range.First; i < range.Last; ++i) {
      const auto key = keyOf(FLines[i]);
      if (key && sameTextAscii(*key, Key)) {
        // A lone CR is a line break inside the value; read it as the blank WriteString stores.
        std::string value = FLines[i].substr(FLines[i].find('=') + 1);
        std::replace(value.begin(), value.end(), '\r', ' ');
        return std::string(trimBlanks(value));
      }
    }
  }
  return std::nullopt;
}

void TIniFile::WriteString(const std::string& Section, const std::string& Key,
                           const std::string& Value) {
  std::string value = Value;
  for (char& c : value)
    if (c == '\r' || c == '\n')
      c = ' ';
  const std::vector<SectionRange> ranges = sectionsNamed(FLines, Section);
  for (const SectionRange& range : ranges) {
    for (std::size_t i = range.First; i < range.Last; ++i) {
      const auto key = keyOf(FLines[i]);
      if (key && sameTextAscii(*key, Key)) {
        // Keeps the key's own spelling and whatever stood before "=".
        FLines[i] = FLines[i].substr(0, FLines[i].find('=') + 1) + value;
        return;
      }
    }
  }
  const std::string line = Key + "=" + value;
  if (!ranges.empty()) {
    // After the section's last key, not after the blank lines that part it from the next.
    std::size_t at = ranges.front().Last;
    while (at > ranges.front().First && trimBlanks(FLines[at - 1]).empty())
      --at;
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), line);
    return;
  }
  if (!FLines.empty() && !trimBlanks(FLines.back()).empty())
    FLines.emplace_back();
  FLines.push_back("[" + Section + "]");
  FLines.push_back(line);
}

void TIniFile::UpdateFile() const {
  std::string text(FUtf8Bom ? kUtf8Bom : "");
  for (const std::string& line : FLines)
    text += line + FLineEnd;
  replaceWholeFile(FFileName, text, FOwnerOnly);
}

} // namespace sondrix
