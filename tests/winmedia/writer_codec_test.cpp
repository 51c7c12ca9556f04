#include "base/text.h"
#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/wma_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace sondrix {
namespace {

std::vector<std::u16string> formatsOf(std::int32_t codec, bool vbr = false) {
  std::vector<std::u16string> list;
  wm_list_codec_formats(codec, vbr, list);
  return list;
}

TEST(WriterCodecs, ListsWindowsMediaAudioEncodersNewestFirst) {
  std::vector<std::u16string> codecs{u"kept"};
  wm_list_codecs(codecs);
  ASSERT_GE(codecs.size(), 2u); // appended, not replaced
  EXPECT_EQ(codecs[0], u"kept");
  EXPECT_EQ(toNarrow(codecs[1]), "Windows Media Audio 2");
  for (const auto& name : codecs)
    EXPECT_EQ(name.find(u'\0'), std::u16string::npos);
}

TEST(WriterCodecs, FormatsAreReadableAndIncludeTheStationDefault) {
  const auto formats = formatsOf(0);
  ASSERT_FALSE(formats.empty());
  const std::regex shape(R"(\d+ kbps, \d+ kHz, (mono|stereo))");
  for (const auto& desc : formats)
    EXPECT_TRUE(std::regex_match(toNarrow(desc), shape)) << toNarrow(desc);
  for (const char* expected :
       {"128 kbps, 44 kHz, stereo", "64 kbps, 22 kHz, mono", "192 kbps, 48 kHz, stereo"})
    EXPECT_NE(std::find(formats.begin(), formats.end(), toWide(expected)), formats.end())
        << expected;
  // No duplicates.
  auto sorted = formats;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}

TEST(WriterCodecs, VBRAndOutOfRangeListNothing) {
  EXPECT_TRUE(formatsOf(0, true).empty());
  EXPECT_TRUE(formatsOf(99).empty());
  EXPECT_TRUE(formatsOf(-1).empty());
}

TEST(WriterCodecs, FormatsAreSixteenBitWmaWithTheirBitrate) {
  std::shared_ptr<IWMProfileManager> manager;
  ASSERT_EQ(WMCreateProfileManager(&manager), S_OK);
  std::uint32_t codecs = 0;
  ASSERT_EQ(manager->GetCodecInfoCount(WMMEDIATYPE_Audio, &codecs), S_OK);
  for (std::uint32_t c = 0; c < codecs; ++c) {
    std::uint32_t count = 0;
    ASSERT_EQ(manager->GetCodecFormatCount(WMMEDIATYPE_Audio, c, &count), S_OK);
    ASSERT_GT(count, 0u);
    for (std::uint32_t f = 0; f < count; ++f) {
      std::shared_ptr<IWMStreamConfig> config;
      ASSERT_EQ(manager->GetCodecFormat(WMMEDIATYPE_Audio, c, f, &config), S_OK);
      WM_MEDIA_TYPE type;
      std::uint32_t bitrate = 0;
      config->GetMediaType(&type);
      config->GetBitrate(&bitrate);
      EXPECT_EQ(type.majortype, WMMEDIATYPE_Audio);
      EXPECT_EQ(type.formattype, WMFORMAT_WaveFormatEx);
      EXPECT_EQ(type.format.wBitsPerSample, 16);
      EXPECT_EQ(type.format.nAvgBytesPerSec * 8, bitrate);
      EXPECT_GT(type.format.nBlockAlign, 0);
      EXPECT_LE(type.format.nSamplesPerSec, 48000u);
      EXPECT_TRUE(type.format.nChannels == 1 || type.format.nChannels == 2);
      // The description names the same format.
      std::uint32_t length = 0;
      ASSERT_EQ(manager->GetCodecFormatDesc(WMMEDIATYPE_Audio, c, f, nullptr, nullptr, &length),
                S_OK);
      std::u16string desc(length, u'\0');
      ASSERT_EQ(manager->GetCodecFormatDesc(WMMEDIATYPE_Audio, c, f, nullptr, desc.data(), &length),
                S_OK);
      EXPECT_EQ(toNarrow(desc.c_str()).rfind(std::to_string(bitrate / 1000) + " kbps, ", 0), 0u);
    }
    // Past the end there is nothing.
    std::shared_ptr<IWMStreamConfig> none;
    EXPECT_NE(manager->GetCodecFormat(WMMEDIATYPE_Audio, c, count, &none), S_OK);
    EXPECT_EQ(none, nullptr);
  }
}

TEST(WriterCodecs, TooSmallNameBufferIsRefusedWithTheNeededSize) {
  std::shared_ptr<IWMProfileManager> manager;
  ASSERT_EQ(WMCreateProfileManager(&manager), S_OK);
  std::uint32_t length = 0;
  ASSERT_EQ(manager->GetCodecName(WMMEDIATYPE_Audio, 0, nullptr, &length), S_OK);
  std::u16string small(3, u'x');
  std::uint32_t smallLength = 3;
  EXPECT_EQ(manager->GetCodecName(WMMEDIATYPE_Audio, 0, small.data(), &smallLength),
            WMCODEC_E_BUFFERTOOSMALL);
  EXPECT_EQ(smallLength, length);
  EXPECT_EQ(small, u"xxx");
}

TEST(WriterCodecs, EnumerationSettingIsPerManager) {
  std::shared_ptr<IWMProfileManager> a;
  std::shared_ptr<IWMProfileManager> b;
  ASSERT_EQ(WMCreateProfileManager(&a), S_OK);
  ASSERT_EQ(WMCreateProfileManager(&b), S_OK);
  const std::uint8_t yes[4] = {1, 0, 0, 0};
  ASSERT_EQ(
      a->SetCodecEnumerationSetting(WMMEDIATYPE_Audio, 0, g_wszVBREnabled, WMT_TYPE_BOOL, yes, 4),
      S_OK);
  std::uint32_t countA = 1;
  std::uint32_t countB = 0;
  a->GetCodecFormatCount(WMMEDIATYPE_Audio, 0, &countA);
  b->GetCodecFormatCount(WMMEDIATYPE_Audio, 0, &countB);
  EXPECT_EQ(countA, 0u);
  EXPECT_GT(countB, 0u);
}

TEST(WriterProfiles, AddStreamCopiesAndRefusesBadNumbers) {
  std::shared_ptr<IWMProfileManager> manager;
  ASSERT_EQ(WMCreateProfileManager(&manager), S_OK);
  std::shared_ptr<IWMProfile> profile;
  ASSERT_EQ(manager->CreateEmptyProfile(WMT_VER_9_0, &profile), S_OK);
  std::shared_ptr<IWMStreamConfig> config;
  ASSERT_EQ(manager->GetCodecFormat(WMMEDIATYPE_Audio, 0, 0, &config), S_OK);

  EXPECT_NE(profile->AddStream(config), S_OK); // stream number 0
  config->SetStreamNumber(1);
  config->SetStreamName(u"NAAudioStream");
  EXPECT_EQ(profile->AddStream(config), S_OK);
  EXPECT_NE(profile->AddStream(config), S_OK); // number already used
  config->SetStreamNumber(64);
  EXPECT_NE(profile->AddStream(config), S_OK);

  std::uint32_t count = 0;
  profile->GetStreamCount(&count);
  ASSERT_EQ(count, 1u);
  std::shared_ptr<IWMStreamConfig> stored;
  ASSERT_EQ(profile->GetStream(0, &stored), S_OK);
  std::uint16_t number = 0;
  std::u16string name;
  stored->GetStreamNumber(&number);
  stored->GetStreamName(&name);
  EXPECT_EQ(number, 1); // a copy: later changes to the config do not reach it
  EXPECT_EQ(name, u"NAAudioStream");
  EXPECT_NE(profile->AddStream(nullptr), S_OK);
}

} // namespace
} // namespace sondrix
