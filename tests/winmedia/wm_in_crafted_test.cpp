// Files whose headers claim impossible sizes: the numbers saturate or are refused, never wrap
// (these run under UndefinedBehaviorSanitizer in the sanitizer build).

#include "fixtures.h"
#include "wm_in_helpers.h"

#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace sondrix::testing {
namespace {

class Bytes {
public:
  Bytes& tag(const char* t) {
    for (int i = 0; i < 4; ++i)
      FData.push_back(static_cast<std::uint8_t>(t[i]));
    return *this;
  }
  Bytes& le(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      FData.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
    FData.insert(FData.end(), bytes);
    return *this;
  }
  Bytes& tone(std::uint32_t frames) {
    for (std::uint32_t i = 0; i < frames; ++i) {
      const auto v = static_cast<std::uint16_t>((i % 100) * 300);
      le(v, 2).le(v, 2);
    }
    return *this;
  }
  // 16-bit stereo 44.1 kHz PCM.
  Bytes& pcmFormat() { return le(1, 2).le(2, 2).le(44100, 4).le(44100 * 4, 4).le(4, 2).le(16, 2); }
  const std::vector<std::uint8_t>& data() const { return FData; }

private:
  std::vector<std::uint8_t> FData;
};

class WMInCrafted : public ::testing::Test {
protected:
  void SetUp() override { dir = std::make_unique<TempDir>("wm-in-crafted"); }
  // The run of the file: what it delivers, and its stated length in seconds.
  std::pair<std::size_t, std::uint32_t> play(const char* name, const std::vector<std::uint8_t>& b) {
    writeBytes(*dir / name, b);
    in->SetFileName((*dir / name).string());
    EXPECT_TRUE(in->Valid());
    const std::uint32_t seconds = in->TotalTime();
    return {playThrough(*in).size(), seconds};
  }

  std::unique_ptr<TempDir> dir;
  ComponentPtr<TMP3In> in = MakeComponent<TMP3In>();
};

TEST_F(WMInCrafted, AnRf64ThatClaimsEightyQuadrillionFramesPlaysWhatItHolds) {
  const std::uint64_t frames = 80'000'000'000'000'000;
  Bytes b;
  b.tag("RF64").le(0xFFFFFFFF, 4).tag("WAVE");
  b.tag("ds64").le(28, 4).le(frames * 4 + 36, 8).le(frames * 4, 8).le(frames, 8).le(0, 4);
  b.tag("fmt ").le(16, 4).pcmFormat();
  b.tag("data").le(0xFFFFFFFF, 4).tone(4410);
  const auto [bytes, seconds] = play("huge.wav", b.data());
  EXPECT_EQ(bytes, 4410u * 4);
  (void)seconds; // any length but a wrapped one; UBSan watches the arithmetic
}

TEST_F(WMInCrafted, AnMp3WhoseXingHeaderClaimsFourBillionFramesKeepsALongLength) {
  ToneOptions tone;
  tone.seconds = 1;
  tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
  makeToneFile(*dir / "tone.mp3", tone);
  auto b = readBytes(*dir / "tone.mp3");
  const char* const names[] = {"Xing", "Info"};
  std::size_t at = std::string::npos;
  for (const char* name : names) {
    const auto it = std::search(b.begin(), b.end(), name, name + 4);
    if (it != b.end())
      at = static_cast<std::size_t>(it - b.begin());
  }
  ASSERT_NE(at, std::string::npos) << "the encoder wrote no Xing header";
  ASSERT_TRUE(b[at + 7] & 1) << "no frame count in it";
  std::fill(b.begin() + static_cast<std::ptrdiff_t>(at) + 8,
            b.begin() + static_cast<std::ptrdiff_t>(at) + 12, 0xFF);
  const auto [bytes, seconds] = play("claims.mp3", b);
  // 0xFFFFFFFF frames of 1152 samples are 3.5 years: at least the longest length kept.
  EXPECT_GE(seconds, std::numeric_limits<std::uint32_t>::max() / 100);
  EXPECT_GT(bytes, 44100u * 4 / 2);
}

// The "riff", "wave", "fmt ", "data" GUIDs of Wave64 share one tail after their four letters.
Bytes& w64Chunk(Bytes& b, const char* name, std::uint64_t size) {
  b.tag(name);
  if (std::strcmp(name, "riff") == 0)
    b.raw({0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00});
  else
    b.raw({0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});
  return b.le(size, 8);
}

TEST_F(WMInCrafted, AWave64WithSizesNearTheLargestPlaysWhatItHoldsOrIsRefused) {
  constexpr std::uint64_t kLargest = std::numeric_limits<std::int64_t>::max();
  const struct {
    std::uint64_t riff, data;
    bool plays;
  } rows[] = {{kLargest - 40, 24 + 441 * 4, true},
              {kLargest, kLargest, false},
              {std::numeric_limits<std::uint64_t>::max(), kLargest, false},
              {24 + 64 + 40 + 24 + 441 * 4, kLargest, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.riff) + " / " + std::to_string(row.data));
    Bytes b;
    // Junk in front makes the reader retry past it, so every seek is offset from there.
    for (int i = 0; i < 30; ++i)
      b.le(0, 1);
    w64Chunk(b, "riff", row.riff);
    b.tag("wave").raw({0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});
    w64Chunk(b, "fmt ", 40).pcmFormat();
    w64Chunk(b, "data", row.data).tone(441);
    writeBytes(*dir / "w64.wav", b.data());
    in->SetFileName((*dir / "w64.wav").string());
    EXPECT_EQ(in->Valid(), row.plays);
    try {
      EXPECT_EQ(playThrough(*in).size(), row.plays ? 441u * 4 : 0u);
      EXPECT_TRUE(row.plays) << "a run started";
    } catch (const std::exception& e) {
      EXPECT_FALSE(row.plays) << e.what();
      EXPECT_EQ(std::string(e.what()), TWMIn::kNotMediaText);
      in->Flush();
    }
  }
}

} // namespace
} // namespace sondrix::testing
