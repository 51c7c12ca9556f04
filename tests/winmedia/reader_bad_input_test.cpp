// Inputs that are not audio, or stop being readable: a clear failure, never a crash.

#include "fixtures.h"
#include "reader_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <unistd.h>

namespace sondrix::testing {
namespace {

class ReaderBadInput : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("reader-bad");
    ToneOptions tone;
    tone.seconds = 3;
    tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    makeToneFile(*dir / "good.mp3", tone);
    tone.seconds = 20;
    makeToneFile(*dir / "long.mp3", tone);
  }
  static void TearDownTestSuite() { dir.reset(); }
  void TearDown() override { wm_reader_close(r); }

  // Opens path and reads it through; the record must say plainly that there is no audio.
  void expectNoAudio(const std::filesystem::path& path) {
    file = openFile(path);
    wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
    EXPECT_FALSE(r.has_audio);
    EXPECT_TRUE(readAll(r).empty());
    EXPECT_EQ(wm_reader_duration(r), 0u);
    EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"");
    wm_reader_seek(r, 100);
    EXPECT_TRUE(readAll(r).empty());
    wm_reader_close(r);
  }

  static std::unique_ptr<TempDir> dir;
  std::unique_ptr<THandleStream> file;
  wma_sync_reader r;
};
std::unique_ptr<TempDir> ReaderBadInput::dir;

TEST_F(ReaderBadInput, EmptyFileOpensNoReader) {
  writeBytes(*dir / "empty.mp3", {});
  expectNoAudio(*dir / "empty.mp3");
  file = openFile(*dir / "empty.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.reader, nullptr);
}

TEST_F(ReaderBadInput, RandomBytesAreNoAudio) {
  std::mt19937 rng(1234);
  std::vector<std::uint8_t> noise(64 * 1024);
  for (auto& b : noise)
    b = static_cast<std::uint8_t>(rng());
  writeBytes(*dir / "noise.mp3", noise);
  expectNoAudio(*dir / "noise.mp3");
}

TEST_F(ReaderBadInput, APictureNamedMp3IsNoAudio) {
  const auto png = *dir / "picture.png";
  const std::string cmd = "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "
                          "color=c=red:s=16x16 -frames:v 1 '" +
                          png.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::filesystem::rename(png, *dir / "picture.mp3");
  expectNoAudio(*dir / "picture.mp3");
}

TEST_F(ReaderBadInput, ADirectoryOrAMissingFileOpensNoReader) {
  std::filesystem::create_directory(*dir / "folder.mp3");
  expectNoAudio(*dir / "folder.mp3");
  file = openFile(*dir / "folder.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.reader, nullptr);

  expectNoAudio(*dir / "missing.mp3");
  file = openFile(*dir / "missing.mp3");
  ASSERT_EQ(file->Handle(), -1);
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.reader, nullptr);
}

// A file is read on its own: one that names others (a streaming playlist, here naming a
// playable file beside it) must not make the reader open them, as it could any path or URL.
TEST_F(ReaderBadInput, AFileNamingOtherFilesOpensNoneOfThem) {
  const std::string playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:3\n#EXT-X-MEDIA-SEQUENCE:0\n"
                               "#EXTINF:3.0,\n" +
                               (*dir / "good.mp3").string() + "\n#EXT-X-ENDLIST\n";
  writeBytes(*dir / "names.mp3", std::vector<std::uint8_t>(playlist.begin(), playlist.end()));
  expectNoAudio(*dir / "names.mp3");
}

TEST_F(ReaderBadInput, TruncatedMp3DecodesWhatIsThere) {
  const auto whole = readBytes(*dir / "good.mp3");
  for (const std::size_t keep : {std::size_t{100}, std::size_t{5000}, whole.size() / 2 + 7}) {
    SCOPED_TRACE(keep);
    writeBytes(*dir / "cut.mp3", std::vector<std::uint8_t>(whole.begin(), whole.begin() + keep));
    file = openFile(*dir / "cut.mp3");
    wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
    const auto pcm = readAll(r);
    // Never more than the part of the file that is there (128 kbit/s, 16-bit stereo).
    EXPECT_LE(static_cast<double>(pcm.size()) / 176400, keep * 8.0 / 128000 + 0.1);
    if (keep > 4000) {
      EXPECT_TRUE(r.has_audio);
      EXPECT_GT(pcm.size(), 0u);
    }
    wm_reader_seek(r, 250);
    EXPECT_TRUE(readAll(r).empty());
    wm_reader_close(r);
  }
}

TEST_F(ReaderBadInput, CorruptionInTheMiddleIsPassedOver) {
  auto bytes = readBytes(*dir / "good.mp3");
  std::mt19937 rng(99);
  for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 3000; ++i)
    bytes[i] = static_cast<std::uint8_t>(rng());
  writeBytes(*dir / "corrupt.mp3", bytes);
  file = openFile(*dir / "corrupt.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  const double seconds = static_cast<double>(readAll(r).size()) / 176400;
  EXPECT_GT(seconds, 2.5); // the part after the damage still plays
  EXPECT_LE(seconds, 3.1);
}

TEST_F(ReaderBadInput, AFileDeletedWhileOpenStillReadsToTheEnd) {
  std::filesystem::copy_file(*dir / "good.mp3", *dir / "doomed.mp3");
  file = openFile(*dir / "doomed.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  std::filesystem::remove(*dir / "doomed.mp3");
  EXPECT_NEAR(static_cast<double>(readAll(r).size()) / 176400, 3.0, 0.03);
}

TEST_F(ReaderBadInput, AFileCutShortWhileOpenEndsEarly) {
  // Long enough that the reader cannot have buffered it all.
  std::filesystem::copy_file(*dir / "long.mp3", *dir / "shrinking.mp3");
  file = openFile(*dir / "shrinking.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 4096;
  wm_reader_read(r, data, bytes);
  ASSERT_GT(bytes, 0u);
  ASSERT_EQ(::truncate((*dir / "shrinking.mp3").c_str(), 1000), 0);
  EXPECT_LT(static_cast<double>(readAll(r).size()) / 176400, 10.0);
  wm_reader_seek(r, 1500);
  EXPECT_TRUE(readAll(r).empty());
}

TEST_F(ReaderBadInput, ReopeningTheSameRecordStartsClean) {
  file = openFile(*dir / "good.mp3");
  wm_reader_open(r, file.get(), false, WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 10;
  wm_reader_read(r, data, bytes);
  // Opened again without a close: the old reader and sample are released, nothing leaks.
  auto other = openFile(*dir / "good.mp3");
  wm_reader_open(r, other.get(), false, WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_EQ(r.offset, 0u);
  EXPECT_NEAR(static_cast<double>(readAll(r).size()) / 176400, 3.0, 0.03);
  wm_reader_close(r);
  wm_reader_close(r); // twice is harmless
  file = std::move(other);
}

} // namespace
} // namespace sondrix::testing
