// The encoding run itself: how the PCM handed in is cut up must not change what comes out.

#include "writer_test_util.h"

#include "winmedia/runtime/encode_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace sondrix {
namespace {

// A seekable file in memory.
class MemorySink : public IWMWriterSink {
public:
  bool IsRealTime() const override { return false; }
  HRESULT OnBeginWriting() override { return S_OK; }
  HRESULT Write(const std::uint8_t* data, std::size_t size) override {
    if (FAt + size > Bytes.size())
      Bytes.resize(FAt + size);
    std::memcpy(Bytes.data() + FAt, data, size);
    FAt += size;
    return S_OK;
  }
  std::int64_t Seek(std::int64_t offset, int whence) override {
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? static_cast<std::int64_t>(FAt)
                                                   : static_cast<std::int64_t>(Bytes.size());
    if (base + offset < 0)
      return -1;
    FAt = static_cast<std::size_t>(base + offset);
    return base + offset;
  }
  HRESULT OnEndWriting() override { return S_OK; }

  std::vector<std::uint8_t> Bytes;

private:
  std::size_t FAt = 0;
};

// The file a session makes of pcm (44.1 kHz stereo 16-bit) written in blocks of `block` bytes.
std::vector<std::uint8_t> encode(const std::vector<std::uint8_t>& pcm, std::size_t block) {
  EncodeSettings settings;
  settings.target = {"wmav2", 128000, 44100, 2};
  settings.input.wFormatTag = 1;
  settings.input.nChannels = 2;
  settings.input.nSamplesPerSec = 44100;
  settings.input.wBitsPerSample = 16;
  settings.input.nBlockAlign = 4;
  settings.input.nAvgBytesPerSec = 44100 * 4;
  auto sink = std::make_shared<MemorySink>();
  std::unique_ptr<TEncodeSession> session;
  EXPECT_EQ(TEncodeSession::Start(settings, {sink}, &session), S_OK);
  if (!session)
    return {};
  for (std::size_t at = 0; at < pcm.size(); at += block) {
    const std::size_t n = std::min(block, pcm.size() - at);
    EXPECT_EQ(session->Write(pcm.data() + at, n), S_OK);
  }
  EXPECT_EQ(session->Finish(), S_OK);
  return sink->Bytes;
}

TEST(EncodeSession, OneLargeWriteGivesWhatSmallBlocksGive) {
  // 50,000 frames: several of the session's own slices in one write.
  const auto pcm = writer_test::tonePcm(44100, 2, 16, 50000.0 / 44100, 440, 0.5);
  ASSERT_EQ(pcm.size(), 200000u);
  const auto small = encode(pcm, 4096);
  ASSERT_GT(small.size(), 10000u);
  EXPECT_TRUE(encode(pcm, pcm.size()) == small) << "the large write was encoded differently";
  // Odd blocks that tear frames give the same too.
  EXPECT_TRUE(encode(pcm, 65537) == small);
}

} // namespace
} // namespace sondrix
