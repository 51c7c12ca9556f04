#include "winmedia/audio_stream.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <unistd.h>

namespace sondrix {
namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<std::uint8_t>(i);
  return v;
}

class FailingStream final : public TStream {
public:
  std::int64_t Read(void*, std::int64_t) override { throw std::runtime_error("medium gone"); }
  std::int64_t Write(const void*, std::int64_t) override { throw std::runtime_error("full"); }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { throw std::runtime_error("gone"); }
};

class PipeLikeStream final : public TStream {
public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t count) override { return count; }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return -1; }
};

TEST(ReaderAudioStream, ReadReportsCountAndFailsOnlyWhenNothingCameBack) {
  TMemoryStream mem(counting(10));
  TAudioStream s(&mem);
  std::uint8_t buf[8] = {};
  std::uint32_t got = 99;
  EXPECT_EQ(s.Read(buf, 8, &got), S_OK);
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(buf[7], 7);
  EXPECT_EQ(s.Read(buf, 8, &got), S_OK);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buf[1], 9);
  EXPECT_EQ(s.Read(buf, 8, &got), STREAM_E_FAILED);
  EXPECT_EQ(got, 0u);
}

TEST(ReaderAudioStream, SeekMovesFromEachOriginAndReportsThePosition) {
  TMemoryStream mem(counting(100));
  TAudioStream s(&mem);
  std::uint64_t pos = 0;
  EXPECT_EQ(s.Seek(30, STREAM_SEEK_SET, &pos), S_OK);
  EXPECT_EQ(pos, 30u);
  EXPECT_EQ(s.Seek(5, STREAM_SEEK_CUR, &pos), S_OK);
  EXPECT_EQ(pos, 35u);
  EXPECT_EQ(s.Seek(-10, STREAM_SEEK_END, &pos), S_OK);
  EXPECT_EQ(pos, 90u);
  EXPECT_EQ(s.Seek(0, STREAM_SEEK_SET, nullptr), S_OK);
  std::uint8_t b = 0;
  s.Seek(42, STREAM_SEEK_SET, nullptr);
  s.Read(&b, 1, nullptr);
  EXPECT_EQ(b, 42);
  EXPECT_EQ(s.Seek(0, 3, &pos), STREAM_E_FAILED);
  EXPECT_EQ(s.Seek(-1, STREAM_SEEK_SET, &pos), STREAM_E_FAILED);
}

TEST(ReaderAudioStream, PositionsBeyond4GiBAreNotTruncated) {
  TMemoryStream mem;
  TAudioStream s(&mem);
  std::uint64_t pos = 0;
  const std::int64_t far = (std::int64_t{1} << 32) + 30;
  ASSERT_EQ(s.Seek(far, STREAM_SEEK_SET, &pos), S_OK);
  EXPECT_EQ(pos, static_cast<std::uint64_t>(far));
}

TEST(ReaderAudioStream, StatGivesTheSizeAndLeavesOtherFields) {
  TMemoryStream mem(counting(77));
  TAudioStream s(&mem);
  STATSTG st;
  st.type = 5;
  st.grfLocksSupported = 3;
  ASSERT_EQ(s.Stat(&st, 0), S_OK);
  EXPECT_EQ(st.cbSize, 77u);
  EXPECT_EQ(st.grfLocksSupported, 0u);
  EXPECT_EQ(st.type, 5u);
}

TEST(ReaderAudioStream, WriteAndSetSizeReachTheFile) {
  char name[] = "/tmp/reader-audio-stream-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  unlink(name);
  THandleStream file(fd);
  TAudioStream s(&file);
  const std::uint8_t data[5] = {1, 2, 3, 4, 5};
  std::uint32_t written = 0;
  EXPECT_EQ(s.Write(data, 5, &written), S_OK);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(s.SetSize(2), S_OK);
  EXPECT_EQ(file.Size(), 2);
  TMemoryStream mem;
  TAudioStream m(&mem);
  EXPECT_EQ(m.SetSize(10), STREAM_E_FAILED); // a memory stream has no size to set
}

TEST(ReaderAudioStream, ErrorsOfTheMediumBecomeFailureCodes) {
  FailingStream bad;
  TAudioStream s(&bad);
  std::uint8_t buf[4];
  std::uint32_t n = 7;
  EXPECT_EQ(s.Read(buf, 4, &n), STREAM_E_FAILED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(s.Write(buf, 4, &n), STREAM_E_FAILED);
  std::uint64_t pos = 0;
  EXPECT_EQ(s.Seek(0, STREAM_SEEK_SET, &pos), STREAM_E_FAILED);
  STATSTG st;
  EXPECT_EQ(s.Stat(&st, 0), STREAM_E_FAILED);
}

TEST(ReaderAudioStream, AStreamThatCannotSeekSaysSo) {
  PipeLikeStream pipe;
  TAudioStream s(&pipe);
  std::uint64_t pos = 12345;
  EXPECT_EQ(s.Seek(0, STREAM_SEEK_CUR, &pos), STREAM_E_FAILED);
  EXPECT_EQ(pos, 12345u);
  STATSTG st;
  EXPECT_EQ(s.Stat(&st, 0), STREAM_E_FAILED);
}

TEST(ReaderAudioStream, UnsupportedOperationsFail) {
  TMemoryStream mem(counting(4));
  TAudioStream s(&mem);
  auto other = std::make_shared<TAudioStream>(&mem);
  std::shared_ptr<IStream> clone = other;
  EXPECT_EQ(s.Clone(&clone), STREAM_E_FAILED);
  EXPECT_EQ(clone, nullptr);
  EXPECT_EQ(s.Commit(0), STREAM_E_FAILED);
  EXPECT_EQ(s.Revert(), STREAM_E_FAILED);
  EXPECT_EQ(s.LockRegion(0, 1, 0), STREAM_E_FAILED);
  EXPECT_EQ(s.UnlockRegion(0, 1, 0), STREAM_E_FAILED);
  EXPECT_EQ(s.CopyTo(other.get(), 1, nullptr, nullptr), STREAM_E_FAILED);
  TAudioStream unassigned;
  std::uint32_t n = 0;
  std::uint8_t b;
  EXPECT_EQ(unassigned.Read(&b, 1, &n), STREAM_E_FAILED);
  unassigned.AssignStream(&mem);
  EXPECT_EQ(unassigned.Read(&b, 1, &n), S_OK);
}

} // namespace
} // namespace sondrix
