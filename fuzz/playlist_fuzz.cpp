// ".spl" playlist files: the text decoder, and the expansion of playlists naming playlists.

#include "fuzz/fuzz_support.h"
#include "station/playlist_file.h"
#include "station/playlist_ops.h"

#include <fstream>

using namespace sondrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const TPlaylistText text = decodePlaylist(bytes);

  // What the station writes back must read as the same list; a plain file whose first entry
  // starts with a byte-order mark would read back as marked, so only marked files are checked.
  if (text.Encoding != TPlaylistEncoding::Ansi) {
    const TPlaylistText again = decodePlaylist(encodePlaylist(text.Entries, text.Encoding));
    fuzz::check(again.Encoding == text.Encoding);
    fuzz::check(again.Entries == text.Entries);
  }

  // Entries may name other ".spl" files of the folder, this one included.
  const std::string list = fuzz::scratchFolder() / "a.spl";
  {
    std::ofstream out(list, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::size_t appended = 0;
  try {
    addtopl({list}, [&](const std::string&) { ++appended; });
  } catch (const std::runtime_error&) {
    // An entry naming an unreadable playlist is reported, not fatal.
  }
  return 0;
}
