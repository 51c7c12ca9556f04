#include "station/playlist_file.h"
#include "station/playlist_import.h"
#include "station/playlist_ops.h"

#include "temp_folder.h"

#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <numeric>

namespace sondrix {
namespace {

using testing::TempFolder;
using testing::writeBytes;
using Strings = std::vector<std::string>;

TEST(PlaylistOps, ExtensionAndDisplayName) {
  const std::vector<std::array<std::string, 3>> cases = {
      // path, extension, display name
      {"a/b.MP3", ".mp3", "b.MP3"},
      {"/x.y/name", "", "name"},
      {"/x/arch.tar.SPL", ".spl", "arch.tar.SPL"},
      {"/x/.spl", ".spl", ".spl"},
      {"noext", "", "noext"},
      {"dir/", "", ""},
      {"Ünï.FlAc", ".flac", "Ünï.FlAc"}};
  for (const auto& [path, extension, name] : cases) {
    EXPECT_EQ(lowerExtension(path), extension) << path;
    EXPECT_EQ(displayName(path), name) << path;
  }
}

class AddToPlaylist : public ::testing::Test {
protected:
  void list(const std::string& name, const Strings& entries) {
    std::filesystem::create_directories(std::filesystem::path(dir / name).parent_path());
    writePlaylistFile(dir / name, entries, TPlaylistEncoding::Ansi);
  }
  Strings add(const Strings& paths) {
    Strings added;
    addtopl(paths, [&](const std::string& path) { added.push_back(path); });
    return added;
  }
  TempFolder dir;
};

TEST_F(AddToPlaylist, ExpandsNestedPlaylistsInPlaceRelativeToTheirFolder) {
  list("outer.spl", {"/abs/one.mp3", "sub/inner.SPL", "", "two.flac"});
  list("sub/inner.SPL", {"three.mp3", "../up.MP3", "/abs/four.mp3"});
  list("twice.spl", {"x.mp3"});
  EXPECT_EQ(add({"first.mp3", dir / "outer.spl", "last", dir / "twice.spl", dir / "twice.spl"}),
            (Strings{"first.mp3", "/abs/one.mp3", dir / "sub/three.mp3", dir / "sub/../up.MP3",
                     "/abs/four.mp3", "", dir / "two.flac", "last", dir / "x.mp3", dir / "x.mp3"}));
}

TEST_F(AddToPlaylist, PlaylistsThatNameThemselvesStop) {
  list("self.spl", {"a.mp3", "self.spl", "./self.spl", "b.mp3"});
  EXPECT_EQ(add({dir / "self.spl"}), (Strings{dir / "a.mp3", dir / "b.mp3"}));

  list("a.spl", {"1.mp3", "b.spl", "2.mp3"});
  list("b.spl", {"3.mp3", "a.spl", "4.mp3"});
  EXPECT_EQ(add({dir / "a.spl"}),
            (Strings{dir / "1.mp3", dir / "3.mp3", dir / "4.mp3", dir / "2.mp3"}));

  std::filesystem::create_symlink(dir / "a.spl", dir / "link.spl");
  list("c.spl", {"link.spl"});
  list("b.spl", {"3.mp3", "c.spl"});
  EXPECT_EQ(add({dir / "a.spl"}), (Strings{dir / "1.mp3", dir / "3.mp3", dir / "2.mp3"}));
}

TEST_F(AddToPlaylist, UnreadablePlaylistStopsTheRestButKeepsWhatCameBefore) {
  list("outer.spl", {"1.mp3", "missing.spl", "2.mp3"});
  Strings added;
  try {
    addtopl({"0.mp3", dir / "outer.spl", "3.mp3"},
            [&](const std::string& path) { added.push_back(path); });
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "missing.spl"), std::string::npos) << e.what();
  }
  EXPECT_EQ(added, (Strings{"0.mp3", dir / "1.mp3"}));
}

TEST(ScanFolder, AppendsLowerCaseMp3sDepthFirstInNameOrder) {
  TempFolder dir;
  for (const char* file : {"b.mp3", "a.mp3", "C.MP3", "x.Mp3", "notes.txt", "sub/z.mp3",
                           "sub/a.mp3", "dir.mp3/inner.mp3", "sub/deep/.mp3"})
    writeBytes(dir / file, "");
  std::filesystem::create_symlink(dir.path(), dir / "loop");
  std::filesystem::create_symlink(dir / "sub", dir / "linked.mp3");
  const Strings expected = {dir / "a.mp3",         dir / "b.mp3",      dir / "dir.mp3/inner.mp3",
                            dir / "dir.mp3",       dir / "linked.mp3", dir / "sub/a.mp3",
                            dir / "sub/deep/.mp3", dir / "sub/z.mp3"};
  for (const std::string& folder : {dir.path(), dir.path() + "/"}) {
    Strings added;
    int pumps = 0;
    ScanFolder(
        folder, [&](const std::string& path) { added.push_back(path); },
        [&] { return ++pumps > 0; });
    EXPECT_EQ(added, expected);
    EXPECT_EQ(pumps, 14) << "one pump per entry";
  }

  // A pump that says stop ends the whole scan at once.
  for (const int stopAt : {1, 3, 7}) {
    Strings added;
    int pumps = 0;
    ScanFolder(
        dir.path(), [&](const std::string& path) { added.push_back(path); },
        [&] { return ++pumps < stopAt; });
    EXPECT_EQ(pumps, stopAt);
    ASSERT_LE(added.size(), expected.size());
    EXPECT_TRUE(std::equal(added.begin(), added.end(), expected.begin()));
  }

  Strings none;
  ScanFolder(
      dir / "missing", [&](const std::string& path) { none.push_back(path); }, [] { return true; });
  EXPECT_TRUE(none.empty());
}

TEST(ScanFolder, TenThousandFilesComeInOrder) {
  // Memory-backed where there is one: making 10,000 files on a disk takes far longer than
  // the scan.
  const bool shm = std::filesystem::is_directory("/dev/shm");
  TempFolder dir(shm ? "/dev/shm" : std::filesystem::temp_directory_path());
  Strings expected;
  for (int i = 0; i < 10000; ++i) {
    expected.push_back(dir / ("track" + std::to_string(100000 + i) + ".mp3"));
    std::ofstream{expected.back()};
  }
  Strings added;
  ScanFolder(
      dir.path(), [&](const std::string& path) { added.push_back(path); }, [] { return true; });
  EXPECT_EQ(added, expected);
}

TEST(DroppedFiles, OnlyExistingMp3FilesAreAccepted) {
  TempFolder dir;
  writeBytes(dir / "a.mp3", "");
  writeBytes(dir / "b.MP3", "");
  writeBytes(dir / "list.spl", "a.mp3");
  writeBytes(dir / "t.txt", "");
  std::filesystem::create_directory(dir / "folder.mp3");
  std::filesystem::create_symlink(dir / "a.mp3", dir / "link.mp3");
  std::filesystem::create_symlink(dir / "gone.mp3", dir / "dangling.mp3");
  std::filesystem::create_symlink(dir / "t.txt", dir / "text.mp3");
  const std::vector<std::pair<std::string, bool>> cases = {
      {"a.mp3", true},       {"b.MP3", true},         {"link.mp3", true},
      {"text.mp3", true},    {"list.spl", false},     {"t.txt", false},
      {"folder.mp3", false}, {"dangling.mp3", false}, {"missing.mp3", false}};
  for (const auto& [name, accepted] : cases)
    EXPECT_EQ(acceptsDroppedFile(dir / name), accepted) << name;
}

TEST(ScanFolder, AndDropsTakeEveryAudioFormat) {
  TempFolder dir;
  const Strings audio = {"a.aac", "b.flac", "c.m4a", "d.mp3", "e.oga",
                         "f.ogg", "g.opus", "h.wav", "i.wma"};
  for (const std::string& file : audio)
    writeBytes(dir / file, "");
  for (const char* other : {"j.txt", "k.jpg", "l.m3u", "m.pls", "n.spl", "o.flac.part"})
    writeBytes(dir / other, "");
  writeBytes(dir / "P.FLAC", "");
  Strings added;
  ScanFolder(
      dir.path(), [&](const std::string& path) { added.push_back(path); }, [] { return true; });
  Strings expected;
  for (const std::string& file : audio)
    expected.push_back(dir / file);
  EXPECT_EQ(added, expected) << "lower-case extensions, as for MP3";
  for (const std::string& file : audio)
    EXPECT_TRUE(acceptsDroppedFile(dir / file)) << file;
  EXPECT_TRUE(acceptsDroppedFile(dir / "P.FLAC"));
  for (const char* other : {"j.txt", "l.m3u", "m.pls", "o.flac.part"})
    EXPECT_FALSE(acceptsDroppedFile(dir / other)) << other;
}

TEST_F(AddToPlaylist, ImportsM3uAndPlsRelativeToTheirFolderAndNamesWebAddresses) {
  writeBytes(dir / "lists/mix.M3U8", "#EXTM3U\r\n#EXTINF:12,Artist - Title\r\nsong.flac\r\n"
                                     "../up.ogg\r\nhttps://cdn.example/a.mp3\r\n"
                                     "file:///abs/My%20Song.opus\r\nnext.pls\r\n");
  writeBytes(dir / "lists/next.pls", "[playlist]\nNumberOfEntries=2\nFile2=/abs/two.wav\n"
                                     "Title1=One\nFile1=one.m4a\nFile3=mms://radio.example/\n");
  writeBytes(dir / "lists/old.m3u", "caf\xE9.mp3\n");
  try {
    add({"first.mp3", dir / "lists/mix.M3U8", dir / "lists/old.m3u", "last.wma"});
    FAIL() << "web addresses must be named";
  } catch (const EPlaylistUrls& refused) {
    EXPECT_EQ(refused.Entries(), (Strings{"https://cdn.example/a.mp3", "mms://radio.example/"}));
    EXPECT_NE(std::string(refused.what()).find("https://cdn.example/a.mp3"), std::string::npos);
    EXPECT_NE(std::string(refused.what()).find("mms://radio.example/"), std::string::npos);
  }
  Strings added;
  EXPECT_THROW(addtopl({"first.mp3", dir / "lists/mix.M3U8", dir / "lists/old.m3u", "last.wma"},
                       [&](const std::string& path) { added.push_back(path); }),
               EPlaylistUrls);
  EXPECT_EQ(added, (Strings{"first.mp3", dir / "lists/song.flac", dir / "lists/../up.ogg",
                            "/abs/My Song.opus", dir / "lists/one.m4a", "/abs/two.wav",
                            dir / "lists/caf\u00e9.mp3", "last.wma"}));
  // Without web addresses nothing is thrown; a list naming itself stops there.
  writeBytes(dir / "self.pls", "[playlist]\nFile1=a.mp3\nFile2=self.pls\n");
  EXPECT_EQ(add({dir / "self.pls"}), (Strings{dir / "a.mp3"}));
  EXPECT_THROW(add({dir / "missing.m3u"}), std::runtime_error);
}

Strings numbered(int n) {
  Strings entries;
  for (int i = 0; i < n; ++i)
    entries.push_back(std::to_string(i));
  return entries;
}

TEST(Shuffle, SmallListsAreFixedAndLargeOnesStayPermutations) {
  EXPECT_TRUE(snuffe({}, clockSeed).empty());
  for (const std::uint32_t seed : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    const auto fixed = [seed] { return seed; };
    EXPECT_EQ(snuffe({"only"}, fixed), Strings{"only"});
    EXPECT_EQ(snuffe({"first", "second"}, fixed), (Strings{"second", "first"}));
  }

  const Strings entries = numbered(1000);
  int draws = 0;
  std::uint32_t counter = 12345;
  const auto counted = [&] {
    ++draws;
    return counter += 2654435761u;
  };
  const std::vector<std::function<std::uint32_t()>> seeds = {clockSeed, counted};
  for (const auto& seed : seeds) {
    Strings shuffled = snuffe(entries, seed);
    // The last place is never drawn, so the last entry always moves away from it.
    EXPECT_NE(shuffled.back(), entries.back());
    std::sort(shuffled.begin(), shuffled.end());
    Strings sorted = entries;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(shuffled, sorted);
  }
  EXPECT_EQ(draws, 1000) << "reseeded before every draw";

  // A seed whose next step is 0 draws place 0 every time: each entry moves to the front in
  // turn, which reverses the list.
  std::uint32_t inverse = 134775813u; // Newton's iteration for the inverse modulo 2^32
  for (int i = 0; i < 5; ++i)
    inverse *= 2u - 134775813u * inverse;
  ASSERT_EQ(inverse * 134775813u, 1u);
  const std::uint32_t toZero = (0u - 1u) * inverse;
  Strings reversed = entries;
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(snuffe(entries, [=] { return toZero; }), reversed);
}

} // namespace
} // namespace sondrix
