#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sondrix {

using TAppendPath = std::function<void(const std::string& Path)>;

// The extension of a path from its last "." after the last "/", lower-cased (ASCII letters
// only); empty when there is none. "a/b.MP3" gives ".mp3".
std::string lowerExtension(const std::string& Path);
// The name after the last "/" (what the playlist shows of an entry).
std::string displayName(const std::string& Path);

// Appends Paths in order, expanding every playlist file (".spl", and ".m3u", ".m3u8", ".pls" in
// any case) in place, depth first. A relative entry of a playlist file is taken relative to that
// file's folder (an empty ".spl" one stays empty). A playlist file that is already being expanded
// (one naming itself, directly or through others) is skipped. Nothing checks that an audio path
// exists. A playlist file that cannot be read throws std::runtime_error naming it; what was
// appended before it stays, the rest is skipped. Web addresses in imported playlists are left
// out: once everything else is appended, EPlaylistUrls names them.
void addtopl(const std::vector<std::string>& Paths, const TAppendPath& Append);

// Appends every entry whose name ends exactly in an audio extension (kAudioExtensions, lower
// case) below Folder, depth first:
// the entries of each folder in name order, a folder's contents before the folder's own name
// (a folder named "x.mp3" is appended like a file). Symbolic links to folders are not followed
// (a link to a parent would never end). Pump runs after every entry so a window stays
// responsive; when it returns false the scan stops. Unreadable folders are skipped.
void ScanFolder(const std::string& Folder, const TAppendPath& Append,
                const std::function<bool()>& Pump);

// Whether a dropped path may join the list: an existing file (links followed, folders refused)
// whose extension, in any case, is an audio one (kAudioExtensions).
bool acceptsDroppedFile(const std::string& Path);

// The shuffle of the start button: moves entry i (for each i in order) to a place drawn from
// 0 .. n-2 with a linear congruential step (seed × 134775813 + 1 mod 2^32, place = high 32 bits
// of seed × (n − 1)), reseeding from Seed before every draw. One entry stays; two always end
// second, first.
std::vector<std::string> snuffe(const std::vector<std::string>& Entries,
                                const std::function<std::uint32_t()>& Seed);
// The same shuffle of any entries.
template <class T>
std::vector<T> snuffeOf(std::vector<T> Entries, const std::function<std::uint32_t()>& Seed) {
  const std::uint64_t places = Entries.empty() ? 0 : Entries.size() - 1;
  for (std::size_t i = 0; i < Entries.size(); ++i) {
    const std::uint32_t seed = Seed() * 134775813u + 1u;
    const auto r = static_cast<std::size_t>((std::uint64_t{seed} * places) >> 32);
    // Remove at i, insert at r: the entries between shift by one place.
    const auto at = [&Entries](std::size_t k) {
      return Entries.begin() + static_cast<std::ptrdiff_t>(k);
    };
    if (r < i)
      std::rotate(at(r), at(i), at(i + 1));
    else if (r > i)
      std::rotate(at(i), at(i + 1), at(r + 1));
  }
  return Entries;
}
// The default seed: the low 32 bits of a high-resolution clock.
std::uint32_t clockSeed();

} // namespace sondrix
