#include "base/text.h"
#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/wma_writer.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

namespace sondrix {
namespace {

using namespace writer_test;

class TErrorTarget : public TComponent {
public:
  std::vector<std::int32_t> reasons;
};

void recordError(TComponent* dest, std::int32_t reason) {
  static_cast<TErrorTarget*>(dest)->reasons.push_back(reason);
}

struct Source {
  std::uint32_t rate;
  std::uint16_t channels;
  std::uint16_t bits;
  double seconds;
};

// One whole run through the record routines, in the output's blocks of 80 ms.
void writeTone(wma_writer& record, const Source& source, std::uint32_t target) {
  wm_writer_use_target(record, source.channels, source.bits, target, false, false, source.rate);
  wm_writer_set_attribute(record, u"Author", u"Tone Artist");
  wm_writer_set_attribute(record, u"WM/AlbumTitle", u"Test Album");
  wm_writer_set_attribute(record, u"WM/Genre", u"Test Genre");
  wm_writer_set_attribute(record, u"WM/Year", u"2024");
  wm_writer_set_attribute(record, u"WM/Track", u"7");
  wm_writer_set_attribute(record, u"Title", u"Tone \u0422\u0435\u0441\u0442");
  wm_writer_set_attribute(record, u"Copyright", u"Nobody");
  wm_writer_begin(record);
  const auto pcm = tonePcm(source.rate, source.channels, source.bits, source.seconds, 1000, 0.5);
  const std::size_t block = source.channels * source.bits * source.rate / 100;
  for (std::size_t at = 0; at < pcm.size(); at += block)
    wm_writer_write(record, pcm.data() + at,
                    static_cast<std::uint32_t>(std::min(block, pcm.size() - at)));
  wm_writer_end_file(record);
}

class WriterFile : public ::testing::Test {
protected:
  std::filesystem::path write(const Source& source, std::uint32_t target,
                              const std::string& name = "out.wma") {
    const auto file = dir.path(name);
    wm_writer_open_file(record, toWide(file.string()), &owner, recordError);
    EXPECT_TRUE(record.Initialized);
    writeTone(record, source, target);
    EXPECT_FALSE(record.Initialized);
    EXPECT_EQ(record.writer, nullptr);
    EXPECT_EQ(record.file_sink, nullptr);
    return file;
  }

  // The format the choice makes for this source, as the file must show it.
  static void expectChosen(const Source& source, std::uint32_t target,
                           const std::map<std::string, std::string>& info) {
    WAVEFORMATEX desired;
    desired.wFormatTag = WAVE_FORMAT_PCM;
    desired.nChannels = source.channels;
    desired.nSamplesPerSec = source.rate;
    desired.wBitsPerSample = source.bits;
    std::shared_ptr<IWMStreamConfig> config;
    ASSERT_TRUE(
        wm_choose_codec_format(desired, wmEffectiveTarget(target, false), false, false, config));
    WM_MEDIA_TYPE type;
    config->GetMediaType(&type);
    EXPECT_EQ(info.at("sample_rate"), std::to_string(type.format.nSamplesPerSec));
    EXPECT_EQ(info.at("channels"), std::to_string(type.format.nChannels));
  }

  static void expectTone(const std::filesystem::path& file, const Source& source) {
    const auto samples = decodeS16(file, source.rate, source.channels);
    ASSERT_FALSE(samples.empty());
    const std::size_t skip = source.rate / 5; // the codec's start-up
    const double seconds = static_cast<double>(samples.size()) / source.channels / source.rate;
    EXPECT_NEAR(seconds, source.seconds, 0.2);
    EXPECT_NEAR(dominantFrequency(samples, source.channels, source.rate, skip), 1000.0, 15.0);
    EXPECT_NEAR(rms(samples, source.channels, skip), 0.5 / std::sqrt(2.0), 0.05);
  }

  TempDir dir;
  TErrorTarget owner;
  wma_writer record;
};

TEST_F(WriterFile, StereoToneBecomesAWmaFileWithItsAttributes) {
  const Source source{44100, 2, 16, 3.0};
  const auto file = write(source, 128);
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("codec_name"), "wmav2");
  EXPECT_EQ(info.at("sample_rate"), "44100");
  EXPECT_EQ(info.at("channels"), "2");
  EXPECT_EQ(info.at("bit_rate"), "128000");
  EXPECT_NEAR(std::stod(info.at("duration")), 3.0, 0.2);
  EXPECT_EQ(info.at("tag:title"), "Tone \xD0\xA2\xD0\xB5\xD1\x81\xD1\x82");
  EXPECT_EQ(info.at("tag:artist"), "Tone Artist");
  EXPECT_EQ(info.at("tag:album"), "Test Album");
  EXPECT_EQ(info.at("tag:genre"), "Test Genre");
  EXPECT_EQ(info.at("tag:WM_Year"), "2024");
  EXPECT_EQ(info.at("tag:WM_Track"), "7");
  EXPECT_EQ(info.at("tag:copyright"), "Nobody");
  expectTone(file, source);
  EXPECT_TRUE(owner.reasons.empty());
}

TEST_F(WriterFile, MonoAt22kIsConvertedToTheChosenFormat) {
  const Source source{22050, 1, 16, 2.0};
  const auto file = write(source, 64);
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("codec_name"), "wmav2");
  expectChosen(source, 64, info);
  EXPECT_NEAR(std::stod(info.at("duration")), 2.0, 0.2);
  expectTone(file, source);
}

TEST_F(WriterFile, Input48kIsResampledWhereTheFormatNeedsIt) {
  const Source source{48000, 2, 16, 2.0};
  const auto file = write(source, 128000);
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  expectChosen(source, 128000, info);
  EXPECT_NEAR(std::stod(info.at("duration")), 2.0, 0.2);
  expectTone(file, source);
}

TEST_F(WriterFile, KilobitAndBitTargetsGiveTheSameBitrate) {
  const Source source{44100, 2, 16, 1.0};
  const auto kilo = probe(write(source, 128, "kilo.wma"));
  const auto bits = probe(write(source, 128000, "bits.wma"));
  ASSERT_FALSE(kilo.empty());
  ASSERT_FALSE(bits.empty());
  EXPECT_EQ(kilo.at("bit_rate"), "128000");
  EXPECT_EQ(bits.at("bit_rate"), "128000");
  // 999 is kilobits (nearest is the highest bitrate); 1000 is bits per second, and nothing
  // is near enough to that to be chosen.
  const auto high = probe(write(source, 999, "high.wma"));
  ASSERT_FALSE(high.empty());
  EXPECT_GE(std::stoi(high.at("bit_rate")), 256000);
  wm_writer_open_file(record, toWide(dir.path("low.wma").string()), &owner, recordError);
  ASSERT_TRUE(record.Initialized);
  try {
    wm_writer_use_target(record, 2, 16, 1000, false, false, 44100);
    ADD_FAILURE() << "1000 bit/s found a format";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to init codec");
  }
  wm_writer_end_file(record);
}

TEST_F(WriterFile, FormatByIndexIsTheListedFormat) {
  std::shared_ptr<IWMProfileManager> manager;
  ASSERT_EQ(WMCreateProfileManager(&manager), S_OK);
  std::vector<std::u16string> formats;
  wm_list_codec_formats(0, false, formats);
  ASSERT_GT(formats.size(), 3u);
  const std::int32_t index = 3;
  std::shared_ptr<IWMStreamConfig> config;
  ASSERT_EQ(manager->GetCodecFormat(WMMEDIATYPE_Audio, 0, index, &config), S_OK);
  WM_MEDIA_TYPE type;
  std::uint32_t bitrate = 0;
  config->GetMediaType(&type);
  config->GetBitrate(&bitrate);

  const auto file = dir.path("indexed.wma");
  wm_writer_open_file(record, toWide(file.string()), &owner, recordError);
  ASSERT_TRUE(record.Initialized);
  wm_writer_use_codec_format(record, 2, 16, index, 0, false, 44100);
  EXPECT_EQ(record.BytesPerSecond, 176400u);
  wm_writer_begin(record);
  const auto pcm = tonePcm(44100, 2, 16, 1.0, 1000, 0.5);
  wm_writer_write(record, pcm.data(), static_cast<std::uint32_t>(pcm.size()));
  wm_writer_end_file(record);
  const auto info = probe(file);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("sample_rate"), std::to_string(type.format.nSamplesPerSec));
  EXPECT_EQ(info.at("channels"), std::to_string(type.format.nChannels));
  EXPECT_EQ(info.at("bit_rate"), std::to_string(bitrate));
}

TEST_F(WriterFile, IndexOutOfRangeLeavesNoProfileSoBeginFails) {
  for (const auto& [format, codec, vbr] :
       {std::tuple{0, 99, false}, std::tuple{100000, 0, false}, std::tuple{0, 0, true}}) {
    wm_writer_open_file(record, toWide(dir.path("never.wma").string()), &owner, recordError);
    ASSERT_TRUE(record.Initialized);
    wm_writer_use_codec_format(record, 2, 16, format, codec, vbr, 44100);
    try {
      wm_writer_begin(record);
      ADD_FAILURE() << "began without a profile";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "Filed to set data writer, possible reason: required WMA codec not installed.");
    }
    wm_writer_end_file(record);
  }
}

TEST_F(WriterFile, NoFormatForTheSourceRaisesFailedToInitCodec) {
  wm_writer_open_file(record, toWide(dir.path("x.wma").string()), &owner, recordError);
  ASSERT_TRUE(record.Initialized);
  for (const auto& [channels, bits] : {std::pair<std::uint16_t, std::uint16_t>{2, 24}, {6, 16}}) {
    try {
      wm_writer_use_target(record, channels, bits, 128, false, false, 44100);
      ADD_FAILURE() << "a format was chosen";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Failed to init codec");
    }
  }
  // Lossless and VBR find nothing here either.
  EXPECT_THROW(wm_writer_use_target(record, 2, 16, 0, false, true, 44100), std::runtime_error);
  EXPECT_THROW(wm_writer_use_target(record, 2, 16, 60, true, false, 44100), std::runtime_error);
  wm_writer_end_file(record);
}

TEST_F(WriterFile, UnwritablePathLeavesTheRecordUninitialised) {
  wm_writer_open_file(record, toWide(dir.path("missing/dir/out.wma").string()), &owner,
                      recordError);
  EXPECT_FALSE(record.Initialized);
  EXPECT_EQ(record.writer, nullptr);
  EXPECT_EQ(record.file_sink, nullptr);
  EXPECT_EQ(record.ErrorCallback, nullptr);
  EXPECT_EQ(record.Owner, &owner); // stored before the failure
  wm_writer_open_file(record, u"", &owner, recordError);
  EXPECT_FALSE(record.Initialized);
}

TEST_F(WriterFile, DiskErrorReachesTheErrorHookAndFailsTheRun) {
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full";
  wm_writer_open_file(record, u"/dev/full", &owner, recordError);
  ASSERT_TRUE(record.Initialized);
  wm_writer_use_target(record, 2, 16, 128, false, false, 44100);
  bool failed = false;
  try {
    wm_writer_begin(record);
    const auto pcm = tonePcm(44100, 2, 16, 1.0, 1000, 0.5);
    wm_writer_write(record, pcm.data(), static_cast<std::uint32_t>(pcm.size()));
  } catch (const std::runtime_error&) {
    failed = true;
  }
  EXPECT_TRUE(failed);
  ASSERT_FALSE(owner.reasons.empty());
  EXPECT_EQ(owner.reasons[0], WMT_ERROR);
  wm_writer_end_file(record);
  EXPECT_FALSE(record.Initialized);
}

TEST_F(WriterFile, ReopeningARecordStartsAFreshRun) {
  const Source source{44100, 2, 16, 1.0};
  write(source, 128, "first.wma");
  record.TotalTime = 42;
  const auto second = write(source, 96, "second.wma");
  const auto info = probe(second);
  ASSERT_FALSE(info.empty());
  EXPECT_EQ(info.at("bit_rate"), "96000");
  EXPECT_NEAR(std::stod(info.at("duration")), 1.0, 0.2);
}

} // namespace
} // namespace sondrix
