// M3U / M3U8 and PLS playlists of other programs: both readers on the same bytes, and their
// expansion when the list names itself or other lists of the folder.

#include "fuzz/fuzz_support.h"
#include "station/playlist_import.h"
#include "station/playlist_ops.h"

#include <algorithm>
#include <fstream>

using namespace sondrix;

namespace {

void checkEntries(const TImportedEntries& read) {
  // Blank lines and blank values are never entries.
  const auto empty = [](const std::string& entry) { return entry.empty(); };
  fuzz::check(std::none_of(read.Paths.begin(), read.Paths.end(), empty));
  fuzz::check(std::none_of(read.Urls.begin(), read.Urls.end(), empty));
  for (const std::string& url : read.Urls)
    fuzz::check(url.find("://") != std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  checkEntries(readM3u(bytes));
  checkEntries(readPls(bytes));

  for (const char* name : {"a.m3u", "b.pls"}) {
    const std::string list = fuzz::scratchFolder() / name;
    std::ofstream out(list, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  for (const char* name : {"a.m3u", "b.pls"}) {
    try {
      addtopl({fuzz::scratchFolder() / name}, [](const std::string&) {});
    } catch (const EPlaylistUrls& urls) {
      fuzz::check(!urls.Entries().empty());
    } catch (const std::runtime_error&) {
      // An entry naming an unreadable playlist is reported, not fatal.
    }
  }
  return 0;
}
