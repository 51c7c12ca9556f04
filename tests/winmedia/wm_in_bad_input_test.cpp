// Files that hold no playable audio, or that go away: a clear answer, never a crash.

#include "fixtures.h"
#include "wm_in_helpers.h"

#include "audio/au_exception.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace sondrix::testing {
namespace {

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320 & (0 - (c & 1)));
  }
  return ~c;
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void chunk(std::vector<std::uint8_t>& png, const char* type,
           const std::vector<std::uint8_t>& data) {
  putBe32(png, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  putBe32(png, crc32(body.data(), body.size()));
}

// A genuine 4x4 grey PNG (an uncompressed deflate block inside zlib).
std::vector<std::uint8_t> tinyPng() {
  std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> ihdr;
  putBe32(ihdr, 4);
  putBe32(ihdr, 4);
  ihdr.insert(ihdr.end(), {8, 0, 0, 0, 0}); // 8-bit greyscale
  chunk(png, "IHDR", ihdr);
  std::vector<std::uint8_t> raw;
  for (int row = 0; row < 4; ++row)
    raw.insert(raw.end(), {0, 0x80, 0x80, 0x80, 0x80});
  std::vector<std::uint8_t> z{0x78, 0x01, 0x01};
  const auto len = static_cast<std::uint16_t>(raw.size());
  z.insert(z.end(), {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8),
                     static_cast<std::uint8_t>(~len), static_cast<std::uint8_t>(~len >> 8)});
  z.insert(z.end(), raw.begin(), raw.end());
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  putBe32(z, (b << 16) | a);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", {});
  return png;
}

std::vector<std::uint8_t> randomBytes(std::size_t n) {
  std::mt19937 gen(20240607);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v)
    b = static_cast<std::uint8_t>(gen());
  return v;
}

class WMInBadInput : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("wm-in-bad");
    ToneOptions tone;
    tone.seconds = 4;
    tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    makeToneFile(*dir / "good.mp3", tone);
  }
  static void TearDownTestSuite() { dir.reset(); }

  // No audio: Valid is False, and a run refuses to start with the reason.
  void expectNoAudio(const std::filesystem::path& path, const std::string& reason) {
    in->SetFileName(path.string());
    EXPECT_FALSE(in->Valid());
    EXPECT_FALSE(in->HasAudio());
    EXPECT_EQ(in->TotalTime(), 0u);
    expectError([&] { in->Init(); }, reason);
    in->Flush();
    EXPECT_FALSE(in->IsBusy());
    EXPECT_FALSE(in->Valid());
  }

  static void expectError(const std::function<void()>& call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no error, expected: " << text;
    } catch (const EAuException& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  }

  static std::unique_ptr<TempDir> dir;
  ComponentPtr<TMP3In> in = MakeComponent<TMP3In>();
};
std::unique_ptr<TempDir> WMInBadInput::dir;

TEST_F(WMInBadInput, FilesWithoutAudio) {
  writeBytes(*dir / "empty.mp3", {});
  expectNoAudio(*dir / "empty.mp3", TWMIn::kEmptyFileText);
  writeBytes(*dir / "noise.mp3", randomBytes(64 * 1024));
  expectNoAudio(*dir / "noise.mp3", TWMIn::kNotMediaText);
  writeBytes(*dir / "picture.mp3", tinyPng());
  expectNoAudio(*dir / "picture.mp3", TWMIn::kNoAudioText);
}

TEST_F(WMInBadInput, AFolderIsRefusedAtOpen) {
  std::filesystem::create_directory(*dir / "folder.mp3");
  in->SetFileName((*dir / "folder.mp3").string());
  EXPECT_FALSE(in->Valid());
  expectError([&] { in->Init(); }, std::generic_category().message(EISDIR));
  in->Flush();
  EXPECT_FALSE(in->IsBusy());
}

TEST_F(WMInBadInput, ATruncatedMp3PlaysWhatIsThere) {
  const auto whole = readBytes(*dir / "good.mp3");
  writeBytes(*dir / "cut.mp3", {whole.begin(), whole.begin() + whole.size() * 2 / 5});
  in->SetFileName((*dir / "cut.mp3").string());
  ASSERT_TRUE(in->Valid());
  const auto pcm = playThrough(*in);
  const double seconds = static_cast<double>(pcm.size()) / 4 / 44100;
  EXPECT_GT(seconds, 1.2);
  EXPECT_LT(seconds, 2.0);
}

TEST_F(WMInBadInput, AMissingFileGivesTheSystemsText) {
  const std::string missing = std::generic_category().message(ENOENT);
  in->SetFileName((*dir / "nothing-here.mp3").string());
  EXPECT_FALSE(in->Valid());
  expectError([&] { in->SampleRate(); }, missing);
  expectError([&] { in->Init(); }, missing);
  in->Flush();
  EXPECT_FALSE(in->IsBusy());
}

TEST_F(WMInBadInput, AFileDeletedWhileOpenPlaysToTheEndThenCannotReopen) {
  std::filesystem::copy_file(*dir / "good.mp3", *dir / "doomed.mp3");
  in->SetFileName((*dir / "good.mp3").string());
  const auto expected = playThrough(*in);
  in->SetFileName((*dir / "doomed.mp3").string());
  ASSERT_TRUE(in->Valid());
  in->Init();
  std::filesystem::remove(*dir / "doomed.mp3");
  EXPECT_EQ(readToEnd(*in), expected);
  in->Flush();
  EXPECT_FALSE(in->Valid());
  expectError([&] { in->Init(); }, std::generic_category().message(ENOENT));
  in->Flush();
}

TEST_F(WMInBadInput, WithoutANameNothingOpens) {
  EXPECT_EQ(in->FormatsCount(), 0);
  EXPECT_FALSE(in->Valid());
  expectError([&] { in->SampleRate(); }, "File name is not assigned");
  expectError([&] { in->Init(); }, "The file name is not assigned");
  in->Flush();
  // A name given afterwards opens normally.
  in->SetFileName((*dir / "good.mp3").string());
  EXPECT_GE(in->FormatsCount(), 1);
  EXPECT_TRUE(in->Valid());
}

TEST_F(WMInBadInput, AStreamWithoutAudioIsLeftAtItsStart) {
  TMemoryStream stream(randomBytes(4096));
  in->SetStream(&stream);
  EXPECT_FALSE(in->Valid());
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(in->SampleRate(), 0u);
  EXPECT_EQ(stream.Position(), 0);
}

} // namespace
} // namespace sondrix::testing
