#include "station/playlist_ops.h"

#include "station/media_files.h"
#include "station/playlist_file.h"
#include "station/playlist_import.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <sys/stat.h>

namespace sondrix {

namespace {

namespace fs = std::filesystem;

fs::path identityOf(const std::string& path) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(path, ec);
  if (ec)
    canonical = fs::absolute(path, ec).lexically_normal();
  return canonical;
}

// Relative entries of a playlist name files beside it.
void resolveAgainst(const std::string& list, std::vector<std::string>& entries) {
  const std::size_t slash = list.rfind('/');
  if (slash == std::string::npos)
    return;
  const std::string folder = list.substr(0, slash + 1);
  for (std::string& entry : entries)
    if (!entry.empty() && entry.front() != '/')
      entry.insert(0, folder);
}

// Playlists being expanded, outermost first, so a cycle is cut where it closes. Web addresses
// are collected in urls and left out.
void expand(const std::vector<std::string>& paths, const TAppendPath& append,
            std::vector<fs::path>& open, std::vector<std::string>& urls) {
  for (const std::string& path : paths) {
    const bool imported = isImportedPlaylist(path);
    if (!imported && lowerExtension(path) != ".spl") {
      append(path);
      continue;
    }
    fs::path identity = identityOf(path);
    if (std::find(open.begin(), open.end(), identity) != open.end())
      continue;
    std::vector<std::string> entries;
    if (imported) {
      TImportedEntries read = readImportedPlaylist(path);
      entries = std::move(read.Paths);
      urls.insert(urls.end(), read.Urls.begin(), read.Urls.end());
    } else {
      entries = readPlaylistFile(path).Entries;
    }
    resolveAgainst(path, entries);
    open.push_back(std::move(identity));
    expand(entries, append, open, urls);
    open.pop_back();
  }
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

struct FolderEntry {
  std::string Name;
  bool IsFolder; // a real folder, not a link to one
};

std::vector<FolderEntry> listFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.empty() ? "/" : folder.c_str()));
  if (!dir)
    return entries;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      const std::string full = folder + "/" + std::string(name);
      isFolder = ::lstat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    entries.push_back({std::string(name), isFolder});
  }
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.Name < b.Name; });
  return entries;
}

// False once Pump asked to stop.
bool scan(const std::string& folder, const TAppendPath& append, const std::function<bool()>& pump) {
  for (const FolderEntry& entry : listFolder(folder)) {
    const std::string path = folder + "/" + entry.Name;
    if (entry.IsFolder && !scan(path, append, pump))
      return false;
    if (std::any_of(kAudioExtensions.begin(), kAudioExtensions.end(),
                    [&](std::string_view extension) { return entry.Name.ends_with(extension); }))
      append(path);
    if (!pump())
      return false;
  }
  return true;
}

} // namespace

std::string lowerExtension(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  const std::size_t dot = Path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return {};
  std::string extension = Path.substr(dot);
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return extension;
}

std::string displayName(const std::string& Path) {
  const std::size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

void addtopl(const std::vector<std::string>& Paths, const TAppendPath& Append) {
  std::vector<fs::path> open;
  std::vector<std::string> urls;
  expand(Paths, Append, open, urls);
  if (!urls.empty())
    throw EPlaylistUrls(std::move(urls));
}

void ScanFolder(const std::string& Folder, const TAppendPath& Append,
                const std::function<bool()>& Pump) {
  std::string folder = Folder;
  while (folder.size() > 1 && folder.ends_with('/'))
    folder.pop_back();
  // The root joins its names as "/name", not "//name".
  scan(folder == "/" ? std::string() : folder, Append, Pump);
}

bool acceptsDroppedFile(const std::string& Path) {
  struct stat info {};
  return ::stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && isAudioFile(Path);
}

std::vector<std::string> snuffe(const std::vector<std::string>& Entries,
                                const std::function<std::uint32_t()>& Seed) {
  return snuffeOf(Entries, Seed);
}

std::uint32_t clockSeed() {
  const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
  return static_cast<std::uint32_t>(ticks);
}

} // namespace sondrix
