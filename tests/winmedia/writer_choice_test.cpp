#include "winmedia/wma_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>

namespace sondrix {
namespace {

// A codec list given by the test: codecs of formats, each with its own values.
struct ScriptedFormat {
  ScriptedFormat(std::uint32_t bitrate_, std::uint32_t rate_, std::uint16_t channels_ = 2,
                 std::uint16_t bits_ = 16, GUID subtype_ = WMMEDIASUBTYPE_WMAudioV8,
                 std::optional<std::uint32_t> quality_ = std::nullopt, bool vbr_ = false)
      : bitrate(bitrate_), rate(rate_), channels(channels_), bits(bits_), subtype(subtype_),
        quality(quality_), vbr(vbr_) {}
  std::uint32_t bitrate;
  std::uint32_t rate;
  std::uint16_t channels;
  std::uint16_t bits;
  GUID subtype;
  std::optional<std::uint32_t> quality; // VBR formats only
  bool vbr;                             // listed only with VBR enumeration on
};

class TScriptedCodecInfo final : public IWMCodecInfo3 {
public:
  explicit TScriptedCodecInfo(std::vector<std::vector<ScriptedFormat>> codecs)
      : FCodecs(std::move(codecs)), FVBR(FCodecs.size(), false) {}

  bool refuseVBR = false;

  HRESULT GetCodecInfoCount(const GUID&, std::uint32_t* pcCodecs) override {
    *pcCodecs = static_cast<std::uint32_t>(FCodecs.size());
    return S_OK;
  }
  HRESULT GetCodecFormatCount(const GUID&, std::uint32_t codec, std::uint32_t* count) override {
    *count = static_cast<std::uint32_t>(listed(codec).size());
    return S_OK;
  }
  HRESULT GetCodecFormat(const GUID&, std::uint32_t codec, std::uint32_t format,
                         std::shared_ptr<IWMStreamConfig>* config) override {
    const auto formats = listed(codec);
    if (format >= formats.size())
      return E_INVALIDARG;
    const ScriptedFormat& f = formats[format];
    WM_MEDIA_TYPE type;
    type.majortype = WMMEDIATYPE_Audio;
    type.subtype = f.subtype;
    type.formattype = WMFORMAT_WaveFormatEx;
    type.format.wFormatTag = static_cast<std::uint16_t>(f.subtype.Data1);
    type.format.nChannels = f.channels;
    type.format.nSamplesPerSec = f.rate;
    type.format.wBitsPerSample = f.bits;
    type.format.nAvgBytesPerSec = f.bitrate / 8;
    *config = std::make_shared<TWMStreamConfig>(type, f.bitrate);
    return S_OK;
  }
  HRESULT GetCodecName(const GUID&, std::uint32_t, char16_t*, std::uint32_t*) override {
    return E_NOTIMPL;
  }
  HRESULT GetCodecFormatDesc(const GUID&, std::uint32_t, std::uint32_t,
                             std::shared_ptr<IWMStreamConfig>*, char16_t*,
                             std::uint32_t*) override {
    return E_NOTIMPL;
  }
  HRESULT GetCodecFormatProp(const GUID&, std::uint32_t codec, std::uint32_t format,
                             const char16_t* name, WMT_ATTR_DATATYPE* type, std::uint8_t* value,
                             std::uint32_t* size) override {
    const auto formats = listed(codec);
    if (format >= formats.size() || std::u16string_view(name) != g_wszVBRQuality ||
        !formats[format].quality)
      return E_INVALIDARG;
    *type = WMT_TYPE_DWORD;
    *size = 4;
    std::memcpy(value, &*formats[format].quality, 4);
    return S_OK;
  }
  HRESULT SetCodecEnumerationSetting(const GUID&, std::uint32_t codec, const char16_t* name,
                                     WMT_ATTR_DATATYPE, const std::uint8_t* value,
                                     std::uint32_t size) override {
    if (refuseVBR || codec >= FCodecs.size() || std::u16string_view(name) != g_wszVBREnabled ||
        size != 4)
      return E_INVALIDARG;
    std::uint32_t on = 0;
    std::memcpy(&on, value, 4);
    FVBR[codec] = on != 0;
    return S_OK;
  }

private:
  std::vector<ScriptedFormat> listed(std::uint32_t codec) const {
    std::vector<ScriptedFormat> result;
    if (codec >= FCodecs.size())
      return result;
    for (const auto& f : FCodecs[codec])
      if (f.vbr == FVBR[codec])
        result.push_back(f);
    return result;
  }

  std::vector<std::vector<ScriptedFormat>> FCodecs;
  std::vector<bool> FVBR;
};

WAVEFORMATEX pcm(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  WAVEFORMATEX wfx;
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = channels;
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = bits;
  return wfx;
}

struct Chosen {
  std::uint32_t bitrate = 0;
  std::uint32_t rate = 0;
  std::uint16_t channels = 0;
  GUID subtype;
};

std::optional<Chosen> choose(TScriptedCodecInfo& info, const WAVEFORMATEX& desired,
                             std::uint32_t target, bool lossless = false, bool vbr = false) {
  std::shared_ptr<IWMStreamConfig> config;
  if (!wm_choose_codec_format(info, desired, target, lossless, vbr, config))
    return std::nullopt;
  EXPECT_NE(config, nullptr);
  Chosen c;
  WM_MEDIA_TYPE type;
  config->GetMediaType(&type);
  config->GetBitrate(&c.bitrate);
  c.rate = type.format.nSamplesPerSec;
  c.channels = type.format.nChannels;
  c.subtype = type.subtype;
  return c;
}

TEST(WriterFormatChoice, FartherRateNeverReplacesAMatchingChoice) {
  // The 48 kHz format is nearer in bitrate but farther in rate than the 96 kbit/s choice; the
  // 44.1 kHz one of that bitrate then is still nearer than 96 kbit/s and is taken.
  TScriptedCodecInfo info({{{96000, 44100}, {128000, 48000}, {128000, 44100}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 128000u);
  EXPECT_EQ(c->rate, 44100u);
}

TEST(WriterFormatChoice, FirstFormatOfTheNearestBitrateWinsWhateverItsRate) {
  TScriptedCodecInfo info({{{128000, 48000}, {128000, 44100}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->rate, 48000u);
}

TEST(WriterFormatChoice, NearerBitrateReplacesEarlierChoiceButEqualDistanceDoesNot) {
  TScriptedCodecInfo info({{{64000, 44100}, {96000, 44100}, {320000, 44100}, {160000, 44100}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 96000u); // 160000 is as far from 128000 as 96000

  TScriptedCodecInfo nearer({{{64000, 44100}, {96000, 44100}, {136000, 44100}}});
  const auto n = choose(nearer, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->bitrate, 136000u);
}

TEST(WriterFormatChoice, CandidateOfFartherRateIsNotChosen) {
  // The second format is nearer in bitrate but 22050 is farther from 44100 than 44100.
  TScriptedCodecInfo info({{{96000, 44100}, {128000, 22050}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 96000u);
  EXPECT_EQ(c->rate, 44100u);
}

TEST(WriterFormatChoice, NearerRateAtLaterBitrateWins) {
  TScriptedCodecInfo info({{{192000, 48000}, {160000, 44100}, {128000, 44100}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 128000u);
  EXPECT_EQ(c->rate, 44100u);
}

TEST(WriterFormatChoice, MonoFormatOfSameBitrateDoesNotBlockStereo) {
  TScriptedCodecInfo info({{{128000, 44100, 1}, {128000, 44100, 2}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->channels, 2);
  // And the other way round, for a mono source.
  const auto m = choose(info, pcm(1, 44100, 16), 128000);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->channels, 1);
}

TEST(WriterFormatChoice, NoFormatOfTheSourceChannelsOrBitsFails) {
  TScriptedCodecInfo info({{{128000, 44100, 1}, {96000, 44100, 2, 24}}});
  EXPECT_FALSE(choose(info, pcm(2, 44100, 16), 128000));
}

TEST(WriterFormatChoice, LaterCodecIsSearchedToo) {
  TScriptedCodecInfo info({{{128000, 44100, 1}}, {{64000, 44100, 2}}});
  const auto c = choose(info, pcm(2, 44100, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 64000u);
}

TEST(WriterFormatChoice, EqualRateDistanceLaterCandidateWins) {
  // 32000 and 48000 are both 8000 from 40000; the nearer bitrate makes the second a candidate.
  TScriptedCodecInfo info({{{96000, 32000}, {128000, 48000}}});
  const auto c = choose(info, pcm(2, 40000, 16), 128000);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->rate, 48000u);
}

TEST(WriterFormatChoice, LosslessFallsBackToFirstLosslessFormat) {
  const GUID lossless = WMMEDIASUBTYPE_WMAudio_Lossless;
  ScriptedFormat a{0, 44100, 6, 24, lossless, std::nullopt, true};
  ScriptedFormat b{0, 96000, 2, 24, lossless, std::nullopt, true};
  ScriptedFormat cbr{128000, 44100, 2, 16};
  TScriptedCodecInfo info({{cbr, a, b}});
  const auto c = choose(info, pcm(2, 44100, 16), 0, true, false);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->channels, 6);
  EXPECT_EQ(c->subtype, lossless);
}

TEST(WriterFormatChoice, LosslessPrefersMatchingFormat) {
  const GUID lossless = WMMEDIASUBTYPE_WMAudio_Lossless;
  TScriptedCodecInfo info({{{0, 48000, 6, 24, lossless, std::nullopt, true},
                            {0, 48000, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 90, true},
                            {0, 48000, 2, 16, lossless, std::nullopt, true},
                            {0, 44100, 2, 16, lossless, std::nullopt, true}}});
  const auto c = choose(info, pcm(2, 44100, 16), 0, true, false);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->channels, 2);
  EXPECT_EQ(c->rate, 44100u);
  EXPECT_EQ(c->subtype, lossless);
}

TEST(WriterFormatChoice, LosslessOrVBRWithoutSuchFormatsFails) {
  TScriptedCodecInfo info({{{128000, 44100}}});
  EXPECT_FALSE(choose(info, pcm(2, 44100, 16), 0, true, false));
  EXPECT_FALSE(choose(info, pcm(2, 44100, 16), 60, false, true));
}

TEST(WriterFormatChoice, CodecRefusingVBREnumerationIsSkipped) {
  TScriptedCodecInfo info({{{0, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 60, true}}});
  info.refuseVBR = true;
  EXPECT_FALSE(choose(info, pcm(2, 44100, 16), 60, false, true));
}

// In VBR mode the bitrate field only labels the formats here.
TEST(WriterFormatChoice, VBRNearestQualityOfMatchingFormats) {
  TScriptedCodecInfo info({{{1, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 90, true},
                            {2, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 50, true},
                            {3, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 10, true},
                            {4, 44100, 1, 16, WMMEDIASUBTYPE_WMAudioV8, 60, true}}});
  const auto c = choose(info, pcm(2, 44100, 16), 60, false, true);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 2u); // quality 50 is nearest among the stereo ones
}

TEST(WriterFormatChoice, VBRQualityIsNeverScaledAsKilobits) {
  TScriptedCodecInfo info({{{1, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 60, true},
                            {2, 44100, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 100, true}}});
  const auto c = choose(info, pcm(2, 44100, 16), wmEffectiveTarget(60, true), false, true);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bitrate, 1u);
}

TEST(WriterFormatChoice, VBRFormatOfOtherChannelsDoesNotBlockEqualQuality) {
  TScriptedCodecInfo info({{{0, 44100, 1, 16, WMMEDIASUBTYPE_WMAudioV8, 60, true},
                            {0, 48000, 2, 16, WMMEDIASUBTYPE_WMAudioV8, 60, true}}});
  const auto c = choose(info, pcm(2, 44100, 16), 60, false, true);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->channels, 2);
  EXPECT_EQ(c->rate, 48000u);
}

TEST(WriterTarget, KilobitsBelowThousandOutsideVBR) {
  EXPECT_EQ(wmEffectiveTarget(128, false), 128000u);
  EXPECT_EQ(wmEffectiveTarget(999, false), 999000u);
  EXPECT_EQ(wmEffectiveTarget(1000, false), 1000u);
  EXPECT_EQ(wmEffectiveTarget(128000, false), 128000u);
  EXPECT_EQ(wmEffectiveTarget(60, true), 60u);
}

} // namespace
} // namespace sondrix
