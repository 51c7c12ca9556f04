#include "base/text.h"
#include "winmedia/runtime/file_sink.h"
#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/wma_writer.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <ostream>

namespace sondrix {
namespace {

using namespace writer_test;

// Float samples of a tone, interleaved, as little-endian bytes.
std::vector<std::uint8_t> floatTone(std::uint32_t rate, std::uint16_t channels, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<std::uint8_t> bytes(frames * channels * 4);
  for (std::size_t i = 0; i < frames; ++i) {
    const float v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
    for (std::uint16_t c = 0; c < channels; ++c)
      std::memcpy(&bytes[(i * channels + c) * 4], &v, 4);
  }
  return bytes;
}

struct InputCase {
  const char* name;
  std::uint16_t tag;
  std::uint16_t bits;
  std::uint16_t channels;
  std::uint32_t rate;
  std::size_t chunk; // bytes per WriteSample; not a whole number of frames on purpose
  std::uint16_t streamChannels = 2;
};

void PrintTo(const InputCase& c, std::ostream* os) {
  *os << c.name;
}

class WriterInput : public ::testing::TestWithParam<InputCase> {};

// The writer takes any PCM on its input and converts it for the encoder; writes that split
// frames lose nothing.
TEST_P(WriterInput, AnyPcmLayoutEncodesTheSameTone) {
  const InputCase& c = GetParam();
  TempDir dir;
  const auto file = dir.path("in.wma");

  std::shared_ptr<IWMWriter> writer;
  std::shared_ptr<IWMWriterFileSink> sink;
  ASSERT_EQ(WMCreateWriter(nullptr, &writer), S_OK);
  ASSERT_EQ(WMCreateWriterFileSink(&sink), S_OK);
  ASSERT_EQ(sink->Open(toWide(file.string())), S_OK);
  ASSERT_EQ(std::dynamic_pointer_cast<IWMWriterAdvanced>(writer)->AddSink(sink), S_OK);

  wma_writer record;
  record.writer = writer;
  wm_writer_use_target(record, c.streamChannels, 16, 128, false, false, 44100);

  std::shared_ptr<IWMInputMediaProps> props;
  ASSERT_EQ(writer->GetInputProps(0, &props), S_OK);
  WM_MEDIA_TYPE type;
  props->GetMediaType(&type);
  type.format.wFormatTag = c.tag;
  type.format.nChannels = c.channels;
  type.format.nSamplesPerSec = c.rate;
  type.format.wBitsPerSample = c.bits;
  type.format.nBlockAlign = static_cast<std::uint16_t>(c.channels * c.bits / 8);
  type.format.nAvgBytesPerSec = type.format.nBlockAlign * c.rate;
  props->SetMediaType(type);
  ASSERT_EQ(writer->SetInputProps(0, props), S_OK);

  const auto pcm = c.tag == 3 ? floatTone(c.rate, c.channels, 2.0)
                              : tonePcm(c.rate, c.channels, c.bits, 2.0, 1000, 0.5);
  ASSERT_EQ(writer->BeginWriting(), S_OK);
  std::int64_t time = 0;
  for (std::size_t at = 0; at < pcm.size(); at += c.chunk) {
    const std::size_t n = std::min(c.chunk, pcm.size() - at);
    std::shared_ptr<INSSBuffer> sample;
    ASSERT_EQ(writer->AllocateSample(static_cast<std::uint32_t>(n), &sample), S_OK);
    std::uint8_t* data = nullptr;
    sample->GetBuffer(&data);
    std::memcpy(data, pcm.data() + at, n);
    sample->SetLength(static_cast<std::uint32_t>(n));
    time += static_cast<std::int64_t>(n) * 10000000 / type.format.nAvgBytesPerSec;
    ASSERT_EQ(writer->WriteSample(0, time, 0, sample), S_OK);
  }
  ASSERT_EQ(writer->EndWriting(), S_OK);

  const auto info = probe(file);
  ASSERT_FALSE(info.empty()) << c.name;
  EXPECT_EQ(info.at("sample_rate"), "44100");
  EXPECT_EQ(info.at("channels"), std::to_string(c.streamChannels));
  const std::uint16_t out = c.streamChannels;
  const auto samples = decodeS16(file, 44100, out);
  EXPECT_NEAR(static_cast<double>(samples.size()) / out / 44100, 2.0, 0.2) << c.name;
  EXPECT_NEAR(dominantFrequency(samples, out, 44100, 8820), 1000.0, 15.0) << c.name;
  // Same level whatever the channel layouts on both sides.
  EXPECT_NEAR(rms(samples, out, 8820), 0.5 / std::sqrt(2.0), 0.05) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Layouts, WriterInput,
                         ::testing::Values(InputCase{"s16", 1, 16, 2, 44100, 1001},
                                           InputCase{"s24", 1, 24, 2, 44100, 1000},
                                           InputCase{"u8mono", 1, 8, 1, 44100, 333},
                                           InputCase{"s32at32k", 1, 32, 2, 32000, 4099},
                                           InputCase{"float96k", 3, 32, 1, 96000, 7777},
                                           InputCase{"stereoToMono", 1, 16, 2, 44100, 882, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WriterInputProps, MalformedPcmIsRefused) {
  std::shared_ptr<IWMWriter> writer;
  ASSERT_EQ(WMCreateWriter(nullptr, &writer), S_OK);
  std::shared_ptr<IWMInputMediaProps> props;
  EXPECT_NE(writer->GetInputProps(0, &props), S_OK); // no profile, no input
  wma_writer record;
  record.writer = writer;
  wm_writer_use_target(record, 2, 16, 128, false, false, 44100);
  std::uint32_t inputs = 0;
  writer->GetInputCount(&inputs);
  EXPECT_EQ(inputs, 1u);
  ASSERT_EQ(writer->GetInputProps(0, &props), S_OK);
  WM_MEDIA_TYPE good;
  props->GetMediaType(&good);
  EXPECT_EQ(good.format.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(record.BytesPerSecond, 176400u);

  auto refused = [&](auto change) {
    WM_MEDIA_TYPE type = good;
    change(type);
    props->SetMediaType(type);
    return writer->SetInputProps(0, props) != S_OK;
  };
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.format.wBitsPerSample = 12; }));
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.format.nChannels = 0; }));
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.format.nSamplesPerSec = 0; }));
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.format.nBlockAlign = 3; }));
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.format.wFormatTag = 0x161; }));
  EXPECT_TRUE(refused([](WM_MEDIA_TYPE& t) { t.formattype = GUID{}; }));
  EXPECT_FALSE(refused([](WM_MEDIA_TYPE&) {}));
  EXPECT_NE(writer->SetInputProps(1, props), S_OK);
}

} // namespace
} // namespace sondrix
