// The reader record's own algorithms, run against a scripted stand-in for the runtime reader.

#include "winmedia/wma_sync_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace sondrix {
namespace {

WM_MEDIA_TYPE audioType(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
  WM_MEDIA_TYPE t;
  t.majortype = WMMEDIATYPE_Audio;
  t.subtype = WMMEDIASUBTYPE_PCM;
  t.formattype = WMFORMAT_WaveFormatEx;
  t.format.wFormatTag = WAVE_FORMAT_PCM;
  t.format.nChannels = channels;
  t.format.nSamplesPerSec = rate;
  t.format.wBitsPerSample = bits;
  t.format.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
  return t;
}

struct Setting {
  std::uint32_t output;
  std::u16string name;
  std::uint32_t value;
};

// Scripted runtime reader: outputs with a native type and format list, a queue of samples,
// and a table of attributes. Records what the record asked of it.
class FakeReader final : public IWMSyncReader, public IWMHeaderInfo {
public:
  struct Output {
    WM_MEDIA_TYPE native;
    std::vector<WM_MEDIA_TYPE> formats;
  };
  std::vector<Output> outputs;
  std::vector<std::vector<std::uint8_t>> samples;
  std::map<std::u16string, std::vector<std::uint8_t>> attributes;
  std::uint64_t acceptFrom = 0; // OpenStream fails unless the stream stands here
  HRESULT readSamplesResult = S_OK;

  std::vector<std::uint64_t> openPositions;
  std::vector<Setting> settings;
  std::vector<std::pair<std::uint32_t, WM_MEDIA_TYPE>> chosen;
  std::vector<std::uint64_t> ranges;
  int closes = 0;
  std::size_t nextSample = 0;

  HRESULT OpenStream(const std::shared_ptr<IStream>& s) override {
    std::uint64_t pos = 0;
    s->Seek(0, STREAM_SEEK_CUR, &pos);
    openPositions.push_back(pos);
    return pos == acceptFrom ? S_OK : NS_E_INVALID_DATA;
  }
  HRESULT Close() override {
    ++closes;
    return S_OK;
  }
  HRESULT GetOutputCount(std::uint32_t* n) override {
    *n = static_cast<std::uint32_t>(outputs.size());
    return S_OK;
  }
  HRESULT GetOutputProps(std::uint32_t o, std::shared_ptr<IWMOutputMediaProps>* p) override {
    *p = std::make_shared<TWMMediaProps>(outputs.at(o).native);
    return S_OK;
  }
  HRESULT SetOutputProps(std::uint32_t o, const std::shared_ptr<IWMOutputMediaProps>& p) override {
    WM_MEDIA_TYPE t;
    p->GetMediaType(&t);
    chosen.emplace_back(o, t);
    return S_OK;
  }
  HRESULT GetOutputFormatCount(std::uint32_t o, std::uint32_t* n) override {
    *n = static_cast<std::uint32_t>(outputs.at(o).formats.size());
    return S_OK;
  }
  HRESULT GetOutputFormat(std::uint32_t o, std::uint32_t i,
                          std::shared_ptr<IWMOutputMediaProps>* p) override {
    if (i >= outputs.at(o).formats.size())
      return E_INVALIDARG;
    *p = std::make_shared<TWMMediaProps>(outputs.at(o).formats[i]);
    return S_OK;
  }
  HRESULT SetOutputSetting(std::uint32_t o, const std::u16string& name, WMT_ATTR_DATATYPE,
                           const std::uint8_t* v, std::uint16_t len) override {
    std::uint32_t value = 0;
    EXPECT_EQ(len, 4);
    std::memcpy(&value, v, 4);
    settings.push_back({o, name, value});
    return S_OK;
  }
  HRESULT GetStreamNumberForOutput(std::uint32_t o, std::uint16_t* s) override {
    *s = static_cast<std::uint16_t>(o + 1);
    return S_OK;
  }
  HRESULT SetReadStreamSamples(std::uint16_t, bool compressed) override {
    EXPECT_FALSE(compressed);
    return readSamplesResult;
  }
  HRESULT GetNextSample(std::uint16_t, std::shared_ptr<INSSBuffer>* out, std::uint64_t*,
                        std::uint64_t*, std::uint32_t*, std::uint32_t*, std::uint16_t*) override {
    if (nextSample >= samples.size())
      return NS_E_NO_MORE_SAMPLES;
    const auto& bytes = samples[nextSample++];
    auto b = std::make_shared<TNSSBuffer>(static_cast<std::uint32_t>(bytes.size()));
    if (!bytes.empty())
      std::memcpy(b->Data().data(), bytes.data(), bytes.size());
    b->SetLength(static_cast<std::uint32_t>(bytes.size()));
    *out = b;
    return S_OK;
  }
  HRESULT SetRange(std::uint64_t start, std::int64_t) override {
    ranges.push_back(start);
    return S_OK;
  }
  HRESULT GetAttributeByName(std::uint16_t* stream, const std::u16string& name, WMT_ATTR_DATATYPE*,
                             std::uint8_t* value, std::uint16_t* length) override {
    EXPECT_EQ(*stream, 0);
    const auto it = attributes.find(name);
    if (it == attributes.end())
      return ASF_E_NOTFOUND;
    const auto needed = static_cast<std::uint16_t>(it->second.size());
    if (value != nullptr && *length < needed)
      return ASF_E_BUFFERTOOSMALL;
    if (value != nullptr)
      std::memcpy(value, it->second.data(), needed);
    *length = needed;
    return S_OK;
  }
  HRESULT SetAttribute(std::uint16_t, const std::u16string&, WMT_ATTR_DATATYPE, const std::uint8_t*,
                       std::uint16_t) override {
    return E_NOTIMPL;
  }

  std::vector<Setting> settingsNamed(const std::u16string& name) const {
    std::vector<Setting> out;
    for (const Setting& s : settings)
      if (s.name == name)
        out.push_back(s);
    return out;
  }
};

std::vector<std::uint8_t> le(std::uint64_t v, int bytes) {
  std::vector<std::uint8_t> out;
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

std::vector<std::uint8_t> text(const std::u16string& s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

class ReaderRecord : public ::testing::Test {
protected:
  std::shared_ptr<FakeReader> fake = std::make_shared<FakeReader>();
  TMemoryStream file{std::vector<std::uint8_t>(100, 0)};
  wma_sync_reader r;

  void open(std::uint8_t request, bool highPrecision = false) {
    wmReaderOpenOn(r, fake, &file, highPrecision, request);
  }
};

TEST_F(ReaderRecord, NativeRequestKeepsTheDeepestFormatOfTheNativeLayout) {
  for (auto bitsOrder :
       {std::vector<std::uint16_t>{24, 8, 16}, std::vector<std::uint16_t>{8, 16, 24}}) {
    fake = std::make_shared<FakeReader>();
    std::vector<WM_MEDIA_TYPE> formats{audioType(2, 48000, 32), audioType(1, 44100, 32)};
    for (std::uint16_t b : bitsOrder)
      formats.push_back(audioType(2, 44100, b));
    fake->outputs = {{audioType(2, 44100, 16), formats}};
    open(WM_CHANNELS_NATIVE);
    ASSERT_TRUE(r.has_audio);
    EXPECT_EQ(r.channels, 2);
    EXPECT_EQ(r.SampleRate, 44100);
    EXPECT_EQ(r.BitsPerSample, 24);
    ASSERT_FALSE(fake->chosen.empty());
    EXPECT_EQ(fake->chosen.back().second.format.wBitsPerSample, 24);
    EXPECT_EQ(fake->chosen.back().second.format.nSamplesPerSec, 44100u);
  }
}

TEST_F(ReaderRecord, NativeRequestWithoutMatchingFormatHasNoAudio) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(1, 44100, 16), audioType(2, 22050, 16)}}};
  fake->samples = {{1, 2, 3, 4}};
  open(WM_CHANNELS_NATIVE);
  EXPECT_NE(r.reader, nullptr);
  EXPECT_FALSE(r.has_audio);
  EXPECT_TRUE(fake->chosen.empty());
  EXPECT_EQ(r.HeaderInfo, nullptr);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 100;
  wm_reader_read(r, data, bytes); // no stream was chosen, so nothing is read from any
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(fake->nextSample, 0u);
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"");
}

TEST_F(ReaderRecord, LargestRequestTakesTheBiggestFormatAndSetsNoSpeakerConfig) {
  fake->outputs = {{audioType(2, 44100, 16),
                    {audioType(2, 44100, 16), audioType(2, 44100, 8), audioType(1, 44100, 16),
                     audioType(2, 22050, 16)}}};
  open(WM_CHANNELS_LARGEST, true);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.SampleRate, 44100);
  EXPECT_EQ(r.BitsPerSample, 16);
  EXPECT_EQ(fake->chosen.size(), 1u);
  EXPECT_TRUE(fake->settingsNamed(u"SpeakerConfig").empty());
  const auto discrete = fake->settingsNamed(u"EnableDiscreteOutput");
  ASSERT_EQ(discrete.size(), 1u);
  EXPECT_EQ(discrete[0].value, 1u);
}

TEST_F(ReaderRecord, SurroundRequestsSetSpeakerConfigAndWantThatChannelCount) {
  for (std::uint8_t request : {WM_CHANNELS_5DOT1, WM_CHANNELS_7DOT1}) {
    fake = std::make_shared<FakeReader>();
    fake->outputs = {{audioType(8, 48000, 16),
                      {audioType(8, 48000, 16), audioType(6, 48000, 16), audioType(2, 48000, 16)}}};
    open(request);
    const auto speakers = fake->settingsNamed(u"SpeakerConfig");
    ASSERT_EQ(speakers.size(), 1u);
    EXPECT_EQ(speakers[0].value, request);
    ASSERT_TRUE(r.has_audio);
    EXPECT_EQ(r.channels, request);
    EXPECT_EQ(fake->settingsNamed(u"EnableDiscreteOutput").at(0).value, 0u);
  }
}

TEST_F(ReaderRecord, LaterOutputsOverrideAndNonAudioOutputsAreSkipped) {
  WM_MEDIA_TYPE picture;
  picture.majortype = WMMEDIATYPE_Video;
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}},
                   {picture, {audioType(2, 44100, 16)}},
                   {audioType(1, 22050, 16), {audioType(1, 22050, 16)}}};
  open(WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.output, 2u);
  EXPECT_EQ(r.stream, 3);
  EXPECT_EQ(r.channels, 1);
  EXPECT_EQ(r.SampleRate, 22050);
  for (const Setting& s : fake->settings)
    EXPECT_NE(s.output, 1u);
}

TEST_F(ReaderRecord, AnOutputWithoutMatchingFormatDoesNotChangeTheChosenLayout) {
  // The second output's native layout has no format of its own: the first output stays
  // chosen, and so must its channels and rate.
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}},
                   {audioType(1, 22050, 16), {audioType(2, 44100, 8)}}};
  open(WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.output, 0u);
  EXPECT_EQ(r.channels, 2);
  EXPECT_EQ(r.SampleRate, 44100);
  EXPECT_EQ(r.BitsPerSample, 16);
}

TEST_F(ReaderRecord, ARejectedStartIsRetriedFromByte30) {
  fake->acceptFrom = 30;
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  open(WM_CHANNELS_NATIVE);
  EXPECT_EQ(fake->openPositions, (std::vector<std::uint64_t>{0, 30}));
  ASSERT_NE(r.reader, nullptr);
  EXPECT_TRUE(r.has_audio);
}

TEST_F(ReaderRecord, ASecondRejectionLeavesNoReader) {
  fake->acceptFrom = 31;
  open(WM_CHANNELS_NATIVE);
  EXPECT_EQ(fake->openPositions.size(), 2u);
  EXPECT_EQ(r.reader, nullptr);
  EXPECT_FALSE(r.has_audio);
  EXPECT_EQ(wm_reader_format_count(r, false), 0u);
  wm_reader_set_format(r, false, 0);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 64;
  wm_reader_read(r, data, bytes);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(data, nullptr);
}

TEST_F(ReaderRecord, ANullStreamOrReaderOpensNothing) {
  wmReaderOpenOn(r, fake, nullptr, false, 0);
  EXPECT_EQ(r.reader, nullptr);
  wmReaderOpenOn(r, nullptr, &file, false, 0);
  EXPECT_EQ(r.reader, nullptr);
  EXPECT_TRUE(fake->openPositions.empty());
}

TEST_F(ReaderRecord, ReadsHandOutTheRestOfTheHeldSampleThenFetchTheNext) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->samples = {{1, 2, 3, 4, 5, 6}, {}, {7, 8}};
  open(WM_CHANNELS_NATIVE);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 4;
  wm_reader_read(r, data, bytes);
  ASSERT_EQ(bytes, 4u);
  EXPECT_EQ(std::vector<std::uint8_t>(data, data + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));
  const std::uint8_t* first = data;
  bytes = 100;
  wm_reader_read(r, data, bytes);
  ASSERT_EQ(bytes, 2u);
  EXPECT_EQ(data, first + 4); // handed out in place
  EXPECT_EQ(data[0], 5);
  bytes = 100;
  wm_reader_read(r, data, bytes); // the empty sample is passed over
  ASSERT_EQ(bytes, 2u);
  EXPECT_EQ(data[0], 7);
  EXPECT_EQ(data[1], 8);
  bytes = 100;
  wm_reader_read(r, data, bytes);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(data, nullptr);
}

TEST_F(ReaderRecord, SeekSetsTheRangeAndDropsTheHeldSample) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->samples = {{1, 2, 3, 4}, {9, 9}};
  open(WM_CHANNELS_NATIVE);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 2;
  wm_reader_read(r, data, bytes);
  wm_reader_seek(r, 1234);
  EXPECT_EQ(fake->ranges, (std::vector<std::uint64_t>{123400000}));
  bytes = 100;
  wm_reader_read(r, data, bytes);
  ASSERT_EQ(bytes, 2u);
  EXPECT_EQ(data[0], 9); // not the 3, 4 left over from before the seek
}

TEST_F(ReaderRecord, DurationIsRoundedToHundredthsHalvesToEven) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->attributes[u"Duration"] = le(2'345'670'000ULL, 8);
  open(WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.duration, 2'345'670'000LL);
  EXPECT_EQ(wm_reader_duration(r), 23457u);
  r.duration = 250'000; // 2.5 hundredths
  EXPECT_EQ(wm_reader_duration(r), 2u);
  r.duration = 350'000;
  EXPECT_EQ(wm_reader_duration(r), 4u);
  r.duration = 349'999;
  EXPECT_EQ(wm_reader_duration(r), 3u);
}

TEST_F(ReaderRecord, AbsentAttributesReadAsZeroAndEmpty) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  open(WM_CHANNELS_NATIVE);
  EXPECT_EQ(r.duration, 0);
  EXPECT_EQ(wm_reader_bitrate(r), 0u);
  EXPECT_FALSE(wm_reader_is_vbr(r));
  EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"");
}

TEST_F(ReaderRecord, AttributesAreReadFromTheHeader) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->attributes[u"Bitrate"] = le(128000, 4);
  fake->attributes[u"IsVBR"] = le(1, 4);
  fake->attributes[u"Title"] = text(u"Лето");
  fake->attributes[u"WM/Genre"] = text(u"");
  fake->attributes[u"Author"] = {u'A', 0, u'b', 0, 0, 0, u'x', 0}; // text stops at the null
  open(WM_CHANNELS_NATIVE);
  EXPECT_EQ(wm_reader_bitrate(r), 128000u);
  EXPECT_TRUE(wm_reader_is_vbr(r));
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Лето");
  EXPECT_EQ(wm_reader_text_attribute(r, u"WM/Genre"), u"");
  EXPECT_EQ(wm_reader_text_attribute(r, u"Author"), u"Ab");
}

TEST_F(ReaderRecord, ProtectedContentIsReported) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->readSamplesResult = NS_E_PROTECTED_CONTENT;
  open(WM_CHANNELS_NATIVE);
  EXPECT_TRUE(r._protected);
  fake->readSamplesResult = E_FAIL;
  open(WM_CHANNELS_NATIVE);
  EXPECT_FALSE(r._protected);
}

TEST_F(ReaderRecord, FormatCountAndSetFormatWorkOnTheChosenOutput) {
  fake->outputs = {{audioType(2, 44100, 16),
                    {audioType(2, 44100, 16), audioType(2, 44100, 8), audioType(1, 22050, 16)}}};
  open(WM_CHANNELS_NATIVE);
  fake->settings.clear();
  EXPECT_EQ(wm_reader_format_count(r, true), 3u);
  ASSERT_EQ(fake->settings.size(), 1u);
  EXPECT_EQ(fake->settings[0].name, u"EnableDiscreteOutput");
  EXPECT_EQ(fake->settings[0].value, 1u);
  wm_reader_set_format(r, false, 2);
  std::uint16_t ch = 0;
  std::uint16_t bits = 0;
  std::uint32_t rate = 0;
  wm_reader_audio_format(r, ch, bits, rate);
  EXPECT_EQ(ch, 1);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(rate, 22050u);
  EXPECT_EQ(fake->chosen.back().second.format.nSamplesPerSec, 22050u);
  wm_reader_set_format(r, false, 7); // out of range: nothing changes
  wm_reader_audio_format(r, ch, bits, rate);
  EXPECT_EQ(rate, 22050u);
}

TEST_F(ReaderRecord, CloseReleasesEverythingAndReopenStartsClean) {
  fake->outputs = {{audioType(2, 44100, 16), {audioType(2, 44100, 16)}}};
  fake->samples = {{1, 2}};
  open(WM_CHANNELS_NATIVE);
  std::uint8_t* data = nullptr;
  std::uint32_t bytes = 1;
  wm_reader_read(r, data, bytes);
  const std::weak_ptr<FakeReader> weak = fake;
  wm_reader_close(r);
  EXPECT_EQ(fake->closes, 1);
  EXPECT_EQ(r.reader, nullptr);
  EXPECT_EQ(r.buffer, nullptr);
  EXPECT_EQ(r.HeaderInfo, nullptr);
  EXPECT_EQ(r.AuStream, nullptr);
  fake.reset();
  EXPECT_TRUE(weak.expired());
}

} // namespace
} // namespace sondrix
