#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sondrix {

// A Windows-style INI file ("[Section]", "Key=Value" lines) kept as its lines, so that writing
// a key updates it in place and every other line, comment and key survives. Sections and keys
// match without regard to ASCII case; values are UTF-8 text taken as they stand after "=" (blanks
// around them trimmed, no quoting: a value may hold commas, quotes, "=" and ";"). The file's
// line ends (LF or CR LF) and a UTF-8 byte-order mark are kept.
// Not thread-safe; the station uses it on its main thread only.
class TIniFile {
public:
  // Reads FileName if it exists; a missing file is an empty one. A file that exists but cannot
  // be read throws std::runtime_error naming the file.
  explicit TIniFile(std::string FileName);

  const std::string& FileName() const { return FFileName; }

  // The value, or nothing when the section or key is missing.
  std::optional<std::string> ReadString(const std::string& Section, const std::string& Key) const;
  // Sets a value in place; a missing key is added at the end of its section, a missing section
  // at the end of the file. Line breaks in Value become blanks (one value, one line).
  void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);

  // Writes the lines back, replacing the file as a whole (a crash mid-write leaves the old file).
  // Throws std::runtime_error naming the file and the reason when it cannot be written.
  void UpdateFile() const;
  // Whether UpdateFile leaves the file readable by its owner only (it holds a secret).
  bool OwnerOnly() const { return FOwnerOnly; }
  void SetOwnerOnly(bool Value) { FOwnerOnly = Value; }

private:
  std::string FFileName;
  std::vector<std::string> FLines;
  std::string FLineEnd = "\n"; // CR LF when the file read used it
  bool FUtf8Bom = false;       // kept when the file read had one
  bool FOwnerOnly = false;
};

} // namespace sondrix
