#include "station/media_files.h"

#include "station/playlist_ops.h"

#include <algorithm>

namespace sondrix {

namespace {

template <std::size_t N>
bool hasExtension(const std::string& Path, const std::array<std::string_view, N>& Extensions) {
  const std::string extension = lowerExtension(Path);
  return std::find(Extensions.begin(), Extensions.end(), extension) != Extensions.end();
}

std::string anyCasePattern(std::string_view Extension) {
  std::string pattern = "*";
  for (char c : Extension) {
    if (c >= 'a' && c <= 'z')
      pattern += std::string("[") + static_cast<char>(c - 'a' + 'A') + c + "]";
    else
      pattern += c;
  }
  return pattern;
}

template <std::size_t N> std::string patterns(const std::array<std::string_view, N>& Extensions) {
  std::string text;
  for (std::string_view extension : Extensions)
    text += (text.empty() ? "" : " ") + anyCasePattern(extension);
  return text;
}

} // namespace

bool isAudioFile(const std::string& Path) {
  return hasExtension(Path, kAudioExtensions);
}

bool isPlaylistFile(const std::string& Path) {
  return hasExtension(Path, kPlaylistExtensions);
}

std::string openDialogFilter(const TStationTexts& Texts) {
  const std::string audio = patterns(kAudioExtensions);
  const std::string lists = patterns(kPlaylistExtensions);
  return Texts.SupportedFilesFilter + " (" + audio + " " + lists + ");;" + Texts.AudioFilesFilter +
         " (" + audio + ");;" + Texts.PlaylistsFilter + " (" + lists + ")";
}

} // namespace sondrix
