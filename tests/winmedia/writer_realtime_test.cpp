#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/wma_writer.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>

namespace sondrix {
namespace {

// A live sink such as the network one: it takes bytes and cannot seek.
class TLiveSink final : public IWMWriterSink {
public:
  bool IsRealTime() const override { return true; }
  HRESULT OnBeginWriting() override {
    std::lock_guard lock(FLock);
    ++begun;
    return S_OK;
  }
  HRESULT Write(const std::uint8_t* data, std::size_t size) override {
    std::lock_guard lock(FLock);
    if (begun == 0)
      ++writesBeforeBegin;
    bytes.insert(bytes.end(), data, data + size);
    return S_OK;
  }
  std::int64_t Seek(std::int64_t, int) override {
    std::lock_guard lock(FLock);
    ++seeks;
    return -1;
  }
  HRESULT OnEndWriting() override {
    std::lock_guard lock(FLock);
    ++ended;
    return S_OK;
  }
  std::size_t size() {
    std::lock_guard lock(FLock);
    return bytes.size();
  }

  std::vector<std::uint8_t> bytes;
  int begun = 0;
  int ended = 0;
  int seeks = 0;
  int writesBeforeBegin = 0;

private:
  std::mutex FLock;
};

constexpr std::array<std::uint8_t, 16> kHeaderGuid = {
    0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr std::array<std::uint8_t, 16> kFilePropertiesGuid = {
    0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::size_t kDataObjectHead = 50;

std::uint64_t le(const std::uint8_t* p, int size) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i)
    v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

TEST(WriterRealTime, LiveStreamHasBroadcastHeaderFixedPacketsAndIsPaced) {
  auto sink = std::make_shared<TLiveSink>();
  wma_writer record;
  ASSERT_EQ(WMCreateWriter(nullptr, &record.writer), S_OK);
  auto advanced = std::dynamic_pointer_cast<IWMWriterAdvanced>(record.writer);
  ASSERT_NE(advanced, nullptr);
  ASSERT_EQ(advanced->AddSink(sink), S_OK);
  wm_writer_use_target(record, 2, 16, 128, false, false, 44100);
  wm_writer_set_attribute(record, u"Title", u"Live");

  const auto pcm = writer_test::tonePcm(44100, 2, 16, 2.0, 1000, 0.5);
  const std::size_t block = 14112; // 80 ms
  const auto start = std::chrono::steady_clock::now();
  wm_writer_begin(record);
  const std::size_t afterHeader = sink->size();
  std::size_t halfway = 0;
  for (std::size_t at = 0; at < pcm.size(); at += block) {
    wm_writer_write(record, pcm.data() + at,
                    static_cast<std::uint32_t>(std::min(block, pcm.size() - at)));
    if (at < pcm.size() / 2)
      halfway = sink->size();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(record.writer->EndWriting(), S_OK);

  // 2 s of sound may run at most about half a second ahead of real time.
  EXPECT_GE(seconds, 1.45);
  // Packets leave while writing goes on, not only at the end.
  EXPECT_GT(halfway, afterHeader);

  EXPECT_EQ(sink->begun, 1);
  EXPECT_EQ(sink->ended, 1);
  EXPECT_EQ(sink->seeks, 0);
  EXPECT_EQ(sink->writesBeforeBegin, 0);

  const auto& bytes = sink->bytes;
  ASSERT_GT(bytes.size(), 30u);
  ASSERT_TRUE(std::equal(kHeaderGuid.begin(), kHeaderGuid.end(), bytes.begin()));
  const std::uint64_t headerSize = le(&bytes[16], 8);
  ASSERT_LT(headerSize + kDataObjectHead, bytes.size());
  EXPECT_LE(afterHeader, bytes.size());
  EXPECT_GE(afterHeader, headerSize + kDataObjectHead); // the header went out at begin

  const auto props = std::search(bytes.begin(), bytes.begin() + static_cast<long>(headerSize),
                                 kFilePropertiesGuid.begin(), kFilePropertiesGuid.end());
  ASSERT_NE(props, bytes.begin() + static_cast<long>(headerSize));
  const std::uint8_t* fp = &*props;
  EXPECT_EQ(le(fp + 40, 8), 0u); // file size unknown
  EXPECT_EQ(le(fp + 88, 4) & 1, 1u) << "broadcast flag";
  const std::uint64_t packetSize = le(fp + 92, 4);
  EXPECT_EQ(packetSize, 3200u);
  EXPECT_EQ(le(fp + 96, 4), packetSize);

  const std::size_t payload = bytes.size() - headerSize - kDataObjectHead;
  EXPECT_EQ(payload % packetSize, 0u);
  // 2 s at 128 kbit/s is 32 000 bytes: ten packets or a few more.
  EXPECT_GE(payload / packetSize, 10u);
  for (std::size_t at = headerSize + kDataObjectHead; at + packetSize <= bytes.size();
       at += packetSize)
    ASSERT_EQ(bytes[at], 0x82) << "packet at " << at; // error-correction flags open a packet

  // And a player makes the tone of it.
  writer_test::TempDir dir;
  const auto file = dir.path("live.asf");
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  const auto samples = writer_test::decodeS16(file, 44100, 2);
  EXPECT_NEAR(static_cast<double>(samples.size()) / 2 / 44100, 2.0, 0.2);
  EXPECT_NEAR(writer_test::dominantFrequency(samples, 2, 44100, 8820), 1000.0, 15.0);
}

TEST(WriterRealTime, SinksCannotChangeWhileWriting) {
  auto sink = std::make_shared<TLiveSink>();
  auto other = std::make_shared<TLiveSink>();
  wma_writer record;
  ASSERT_EQ(WMCreateWriter(nullptr, &record.writer), S_OK);
  auto advanced = std::dynamic_pointer_cast<IWMWriterAdvanced>(record.writer);
  EXPECT_NE(record.writer->BeginWriting(), S_OK); // no profile, no sink
  ASSERT_EQ(advanced->AddSink(sink), S_OK);
  EXPECT_NE(advanced->AddSink(sink), S_OK);
  wm_writer_use_target(record, 1, 16, 64, false, false, 22050);
  wm_writer_begin(record);
  EXPECT_NE(advanced->AddSink(other), S_OK);
  EXPECT_NE(advanced->RemoveSink(sink), S_OK);
  EXPECT_EQ(record.writer->EndWriting(), S_OK);
  EXPECT_NE(record.writer->EndWriting(), S_OK);
  EXPECT_EQ(advanced->RemoveSink(sink), S_OK);
  EXPECT_NE(advanced->RemoveSink(sink), S_OK);
  EXPECT_EQ(sink->ended, 1);
}

TEST(WriterRealTime, AbandonedWriterStillEndsItsSinks) {
  auto sink = std::make_shared<TLiveSink>();
  {
    wma_writer record;
    ASSERT_EQ(WMCreateWriter(nullptr, &record.writer), S_OK);
    std::dynamic_pointer_cast<IWMWriterAdvanced>(record.writer)->AddSink(sink);
    wm_writer_use_target(record, 2, 16, 128, false, false, 44100);
    wm_writer_begin(record);
    const auto pcm = writer_test::tonePcm(44100, 2, 16, 0.2, 440, 0.5);
    wm_writer_write(record, pcm.data(), static_cast<std::uint32_t>(pcm.size()));
  }
  EXPECT_EQ(sink->ended, 1);
  EXPECT_GT(sink->size(), 3200u);
}

} // namespace
} // namespace sondrix
