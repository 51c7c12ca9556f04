#include "station/playlist_import.h"

#include <gtest/gtest.h>

namespace sondrix {
namespace {

using Strings = std::vector<std::string>;

TEST(M3u, TakesPathsSkipsCommentsAndSetsWebAddressesApart) {
  // UTF-8 with a mark, CR LF, blanks, #EXTINF titles, a line in Windows-1252, file URIs.
  const std::string bytes = "\xEF\xBB\xBF#EXTM3U\r\n"
                            "#EXTINF:123,Artist - Title\r\n"
                            "  /music/one.flac  \r\n"
                            "\r\n"
                            "rel/two.ogg\n"
                            "#EXTINF:-1,Stream\n"
                            "http://radio.example:8000/live\n"
                            "HTTPS://cdn.example/x.mp3\n"
                            "caf\xE9.mp3\n"
                            "file:///abs/a%20b%2Bc+d.opus\n"
                            "file://localhost/abs/local.wav\n"
                            "file://otherhost/share/x.mp3\n"
                            "C:\\Music\\win.mp3\n"
                            "rtsp://cam.example/s";
  const TImportedEntries read = readM3u(bytes);
  EXPECT_EQ(read.Paths, (Strings{"/music/one.flac", "rel/two.ogg", "caf\u00e9.mp3",
                                 "/abs/a b+c+d.opus", "/abs/local.wav", "C:\\Music\\win.mp3"}));
  EXPECT_EQ(read.Urls, (Strings{"http://radio.example:8000/live", "HTTPS://cdn.example/x.mp3",
                                "file://otherhost/share/x.mp3", "rtsp://cam.example/s"}));
  // UTF-16 with its mark reads as well.
  const std::string utf16{"\xFF\xFE"
                          "a\0.\0m\0p\0"
                          "3\0\n\0",
                          14};
  EXPECT_EQ(readM3u(utf16).Paths, Strings{"a.mp3"});
  EXPECT_TRUE(readM3u("").Paths.empty());
  EXPECT_TRUE(readM3u("#EXTM3U\n#only comments\n").Paths.empty());
}

TEST(Pls, TakesFileKeysInNumberOrder) {
  const std::string bytes = "[playlist]\r\n"
                            "NumberOfEntries=4\r\n"
                            "File10=ten.mp3\r\n"
                            "Title10=Ten\r\n"
                            "file2 = two.wav \r\n"
                            "File1=http://radio.example/stream\r\n"
                            "Length1=-1\r\n"
                            "FileX=nonsense.mp3\r\n"
                            "File=none.mp3\r\n"
                            "File3=\r\n"
                            "File2=again.wav\r\n"
                            "Files4=not.mp3\r\n"
                            "Version=2\r\n";
  const TImportedEntries read = readPls(bytes);
  EXPECT_EQ(read.Paths, (Strings{"again.wav", "ten.mp3"}));
  EXPECT_EQ(read.Urls, Strings{"http://radio.example/stream"});
  EXPECT_TRUE(readPls("File99999999999999999999999=x.mp3\n").Paths.empty())
      << "a number too large for any list";
}

TEST(ImportedPlaylist, IsChosenByItsExtensionInAnyCase) {
  for (const char* path : {"a.m3u", "b.M3U8", "c.Pls", "/x.y/d.m3u"})
    EXPECT_TRUE(isImportedPlaylist(path)) << path;
  for (const char* path : {"a.spl", "b.mp3", "m3u", "/x.m3u/d", "e.m3u.txt"})
    EXPECT_FALSE(isImportedPlaylist(path)) << path;
}

} // namespace
} // namespace sondrix
