// The runtime's synchronous reader used directly, as the record uses it.

#include "fixtures.h"
#include "reader_helpers.h"

#include "winmedia/audio_stream.h"
#include "winmedia/runtime/sync_reader.h"
#include "winmedia/runtime/wm_runtime.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace sondrix::testing {
namespace {

class ReaderRuntime : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("reader-runtime");
    ToneOptions tone;
    tone.seconds = 3;
    tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    tone.metadata = {{"title", "Named"}, {"genre", ""}};
    makeToneFile(*dir / "tone.mp3", tone);
    tone.codecArgs = {"-c:a", "flac", "-sample_fmt", "s32"};
    makeToneFile(*dir / "deep.flac", tone);
    // An MP3 with a cover picture: the picture is an output of its own.
    const std::string cmd =
        "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i color=c=blue:s=32x32 "
        "-frames:v 1 '" +
        (*dir / "cover.png").string() +
        "' && ffmpeg -hide_banner -nostdin "
        "-loglevel error -y -i '" +
        (*dir / "tone.mp3").string() + "' -i '" + (*dir / "cover.png").string() +
        "' -map 1 -map 0 -c copy -id3v2_version 3 '" + (*dir / "cover.mp3").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  static void TearDownTestSuite() { dir.reset(); }

  void open(const std::string& name) {
    file = openFile(*dir / name);
    ASSERT_EQ(WMCreateSyncReader(nullptr, 0, &reader), S_OK);
    ASSERT_EQ(reader->OpenStream(std::make_shared<TAudioStream>(file.get())), S_OK);
  }

  std::uint32_t formatCount(std::uint32_t output) {
    std::uint32_t n = 0;
    EXPECT_EQ(reader->GetOutputFormatCount(output, &n), S_OK);
    return n;
  }
  void setBool(std::uint32_t output, const std::u16string& name, std::uint32_t v) {
    ASSERT_EQ(reader->SetOutputSetting(output, name, WMT_TYPE_BOOL,
                                       reinterpret_cast<const std::uint8_t*>(&v), 4),
              S_OK);
  }
  WM_MEDIA_TYPE current(std::uint32_t output) {
    std::shared_ptr<IWMOutputMediaProps> props;
    WM_MEDIA_TYPE t;
    EXPECT_EQ(reader->GetOutputProps(output, &props), S_OK);
    props->GetMediaType(&t);
    return t;
  }

  static std::unique_ptr<TempDir> dir;
  std::unique_ptr<THandleStream> file;
  std::shared_ptr<IWMSyncReader> reader;
};
std::unique_ptr<TempDir> ReaderRuntime::dir;

TEST_F(ReaderRuntime, NothingWorksBeforeOpenOrAfterClose) {
  ASSERT_EQ(WMCreateSyncReader(nullptr, 0, nullptr), E_POINTER);
  ASSERT_EQ(WMCreateSyncReader(nullptr, 0, &reader), S_OK);
  std::uint32_t n = 0;
  EXPECT_TRUE(FAILED(reader->GetOutputCount(&n)));
  std::shared_ptr<INSSBuffer> sample;
  EXPECT_TRUE(
      FAILED(reader->GetNextSample(1, &sample, nullptr, nullptr, nullptr, nullptr, nullptr)));
  EXPECT_TRUE(FAILED(reader->SetRange(0, 0)));
  EXPECT_EQ(reader->OpenStream(nullptr), E_POINTER);
  open("tone.mp3");
  EXPECT_EQ(reader->Close(), S_OK);
  EXPECT_TRUE(FAILED(reader->GetOutputCount(&n)));
  EXPECT_TRUE(
      FAILED(reader->GetNextSample(1, &sample, nullptr, nullptr, nullptr, nullptr, nullptr)));
  EXPECT_EQ(sample, nullptr);
}

TEST_F(ReaderRuntime, Mp3OutputOffersPcmNativeFirstAndRefusesOthers) {
  open("tone.mp3");
  std::uint32_t outputs = 0;
  ASSERT_EQ(reader->GetOutputCount(&outputs), S_OK);
  ASSERT_EQ(outputs, 1u);
  const WM_MEDIA_TYPE native = current(0);
  EXPECT_TRUE(native.majortype == WMMEDIATYPE_Audio);
  EXPECT_TRUE(native.subtype == WMMEDIASUBTYPE_PCM);
  EXPECT_TRUE(native.formattype == WMFORMAT_WaveFormatEx);
  EXPECT_EQ(native.format.nChannels, 2);
  EXPECT_EQ(native.format.nSamplesPerSec, 44100u);
  EXPECT_EQ(native.format.wBitsPerSample, 16);
  EXPECT_EQ(native.lSampleSize, 4u);

  const std::uint32_t count = formatCount(0);
  ASSERT_GT(count, 1u);
  std::shared_ptr<IWMOutputMediaProps> props;
  EXPECT_EQ(reader->GetOutputFormat(0, count, &props), E_INVALIDARG);
  EXPECT_EQ(reader->GetOutputFormat(1, 0, &props), E_INVALIDARG);

  // A format the output does not offer is refused, and the current one stays.
  ASSERT_EQ(reader->GetOutputFormat(0, 0, &props), S_OK);
  WM_MEDIA_TYPE wide = native;
  wide.format.nChannels = 6;
  props->SetMediaType(wide);
  EXPECT_EQ(reader->SetOutputProps(0, props), NS_E_INVALID_OUTPUT_FORMAT);
  EXPECT_EQ(current(0).format.nChannels, 2);
  // Another offered one is taken.
  ASSERT_EQ(reader->GetOutputFormat(0, count - 1, &props), S_OK);
  WM_MEDIA_TYPE last;
  props->GetMediaType(&last);
  EXPECT_EQ(reader->SetOutputProps(0, props), S_OK);
  EXPECT_EQ(current(0).format.nSamplesPerSec, last.format.nSamplesPerSec);
  EXPECT_EQ(current(0).format.nChannels, last.format.nChannels);

  std::uint32_t one = 1;
  EXPECT_EQ(reader->SetOutputSetting(0, u"NoSuchSetting", WMT_TYPE_BOOL,
                                     reinterpret_cast<const std::uint8_t*>(&one), 4),
            E_INVALIDARG);
  EXPECT_EQ(reader->SetOutputSetting(0, u"EnableDiscreteOutput", WMT_TYPE_BOOL,
                                     reinterpret_cast<const std::uint8_t*>(&one), 2),
            E_INVALIDARG);
  EXPECT_TRUE(FAILED(reader->SetReadStreamSamples(1, true)));
  EXPECT_EQ(reader->SetReadStreamSamples(1, false), S_OK);
  EXPECT_EQ(reader->SetReadStreamSamples(2, false), E_INVALIDARG);
}

TEST_F(ReaderRuntime, DiscreteOutputAddsTheDeepFormatAndTakingItAwayDropsIt) {
  open("deep.flac");
  const std::uint32_t plain = formatCount(0);
  EXPECT_EQ(current(0).format.wBitsPerSample, 16);
  setBool(0, u"EnableDiscreteOutput", 1);
  EXPECT_GT(formatCount(0), plain);
  std::shared_ptr<IWMOutputMediaProps> props;
  ASSERT_EQ(reader->GetOutputFormat(0, 0, &props), S_OK);
  ASSERT_EQ(reader->SetOutputProps(0, props), S_OK);
  EXPECT_EQ(current(0).format.wBitsPerSample, 24);
  EXPECT_EQ(current(0).format.nBlockAlign, 6);
  setBool(0, u"EnableDiscreteOutput", 0);
  EXPECT_EQ(formatCount(0), plain);
  EXPECT_EQ(current(0).format.wBitsPerSample, 16); // no longer offered, so back to native
}

TEST_F(ReaderRuntime, SampleTimesFollowEachOtherWithoutGaps) {
  open("tone.mp3");
  std::uint64_t expected = 0;
  std::uint64_t bytes = 0;
  int count = 0;
  for (;;) {
    std::shared_ptr<INSSBuffer> sample;
    std::uint64_t time = 0;
    std::uint64_t duration = 0;
    std::uint32_t flags = 7;
    std::uint32_t output = 9;
    std::uint16_t stream = 0;
    const HRESULT hr =
        reader->GetNextSample(1, &sample, &time, &duration, &flags, &output, &stream);
    if (hr == NS_E_NO_MORE_SAMPLES)
      break;
    ASSERT_EQ(hr, S_OK);
    std::uint32_t length = 0;
    sample->GetLength(&length);
    EXPECT_EQ(time, expected);
    EXPECT_NEAR(static_cast<double>(duration), length / 4 * 1e7 / 44100, 1.0);
    EXPECT_EQ(output, 0u);
    EXPECT_EQ(stream, 1);
    EXPECT_EQ(flags, 0u);
    expected = time + duration;
    bytes += length;
    ++count;
  }
  EXPECT_GT(count, 100);
  EXPECT_NEAR(static_cast<double>(expected), 3e7, 1e3);
  EXPECT_EQ(bytes, 3u * 176400);
}

TEST_F(ReaderRuntime, RangeStartsAtItsTimeAndStopsAfterItsDuration) {
  open("tone.mp3");
  ASSERT_EQ(reader->SetRange(10'000'000, 5'000'000), S_OK);
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  std::uint64_t bytes = 0;
  for (bool atStart = true;; atStart = false) {
    std::shared_ptr<INSSBuffer> sample;
    std::uint64_t time = 0;
    std::uint64_t duration = 0;
    if (reader->GetNextSample(0, &sample, &time, &duration, nullptr, nullptr, nullptr) != S_OK)
      break;
    if (atStart)
      first = time;
    std::uint32_t length = 0;
    sample->GetLength(&length);
    bytes += length;
    end = time + duration;
  }
  EXPECT_EQ(first, 10'000'000u);
  EXPECT_EQ(end, 15'000'000u);
  EXPECT_EQ(bytes, 44100u / 2 * 4);
  EXPECT_EQ(reader->SetRange(0, -1), E_INVALIDARG);
}

TEST_F(ReaderRuntime, AttributesAnswerSizeQueriesAndShortBuffers) {
  open("tone.mp3");
  auto header = std::dynamic_pointer_cast<IWMHeaderInfo>(reader);
  ASSERT_NE(header, nullptr);
  std::uint16_t stream = 0;
  WMT_ATTR_DATATYPE type = WMT_TYPE_DWORD;
  std::uint16_t length = 0;
  ASSERT_EQ(header->GetAttributeByName(&stream, u"Title", &type, nullptr, &length), S_OK);
  EXPECT_EQ(type, WMT_TYPE_STRING);
  EXPECT_EQ(length, 12); // "Named" and the null, two bytes each
  std::uint8_t small[4];
  std::uint16_t smallLength = sizeof small;
  EXPECT_EQ(header->GetAttributeByName(&stream, u"Title", &type, small, &smallLength),
            ASF_E_BUFFERTOOSMALL);
  EXPECT_EQ(smallLength, 12);
  std::uint8_t value[12];
  ASSERT_EQ(header->GetAttributeByName(&stream, u"Title", &type, value, &length), S_OK);
  EXPECT_EQ(value[0], 'N');
  EXPECT_EQ(value[1], 0);
  EXPECT_EQ(value[10], 0);
  EXPECT_EQ(value[11], 0);

  EXPECT_EQ(header->GetAttributeByName(&stream, u"WM/Composer", &type, nullptr, &length),
            ASF_E_NOTFOUND);
  std::uint8_t duration[8] = {};
  length = 8;
  ASSERT_EQ(header->GetAttributeByName(&stream, u"Duration", &type, duration, &length), S_OK);
  EXPECT_EQ(type, WMT_TYPE_QWORD);
  std::uint64_t ticks = 0;
  for (int i = 7; i >= 0; --i)
    ticks = (ticks << 8) | duration[i];
  EXPECT_EQ(ticks, 30'000'000u);
  length = 4;
  std::uint8_t flag[4] = {9, 9, 9, 9};
  ASSERT_EQ(header->GetAttributeByName(&stream, u"Is_Protected", &type, flag, &length), S_OK);
  EXPECT_EQ(type, WMT_TYPE_BOOL);
  EXPECT_EQ(flag[0] | flag[1] | flag[2] | flag[3], 0);
  EXPECT_TRUE(FAILED(header->SetAttribute(0, u"Title", WMT_TYPE_STRING, value, 12)));
}

TEST_F(ReaderRuntime, ACoverPictureIsAnOutputThatTheRecordPassesOver) {
  open("cover.mp3");
  std::uint32_t outputs = 0;
  ASSERT_EQ(reader->GetOutputCount(&outputs), S_OK);
  ASSERT_EQ(outputs, 2u);
  const std::uint32_t audio = current(0).majortype == WMMEDIATYPE_Audio ? 0 : 1;
  const std::uint32_t picture = 1 - audio;
  EXPECT_TRUE(current(audio).majortype == WMMEDIATYPE_Audio);
  EXPECT_TRUE(current(picture).majortype == WMMEDIATYPE_Video);
  EXPECT_EQ(formatCount(picture), 0u);
  EXPECT_GT(formatCount(audio), 0u);
  std::shared_ptr<INSSBuffer> sample;
  EXPECT_EQ(reader->GetNextSample(static_cast<std::uint16_t>(picture + 1), &sample, nullptr,
                                  nullptr, nullptr, nullptr, nullptr),
            E_INVALIDARG);

  auto stream = openFile(*dir / "cover.mp3");
  wma_sync_reader r;
  wm_reader_open(r, stream.get(), false, WM_CHANNELS_NATIVE);
  ASSERT_TRUE(r.has_audio);
  EXPECT_EQ(r.output, audio);
  EXPECT_EQ(r.stream, audio + 1);
  EXPECT_NEAR(static_cast<double>(readAll(r).size()) / 176400, 3.0, 0.03);
  EXPECT_EQ(wm_reader_text_attribute(r, u"Title"), u"Named");
  wm_reader_close(r);
}

} // namespace
} // namespace sondrix::testing
