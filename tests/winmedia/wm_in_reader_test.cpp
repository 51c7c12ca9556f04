// The inputs' own arithmetic and error paths, over a scripted stand-in for the runtime reader.

#include "wm_in_helpers.h"

#include "audio/au_exception.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace sondrix::testing {
namespace {

// One stereo 44.1 kHz 16-bit output with a queue of samples and a table of attributes.
class ScriptedReader final : public IWMSyncReader, public IWMHeaderInfo {
public:
  std::vector<std::vector<std::uint8_t>> samples;
  std::map<std::u16string, std::vector<std::uint8_t>> attributes;
  HRESULT readSamplesResult = S_OK;
  std::vector<std::uint64_t> ranges;
  int closes = 0;

  void setNumber(const std::u16string& name, std::uint64_t v, std::size_t bytes) {
    std::vector<std::uint8_t> b(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
      b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    attributes[name] = b;
  }

  HRESULT OpenStream(const std::shared_ptr<IStream>&) override {
    next = 0;
    return S_OK;
  }
  HRESULT Close() override {
    ++closes;
    return S_OK;
  }
  HRESULT GetOutputCount(std::uint32_t* n) override {
    *n = 1;
    return S_OK;
  }
  HRESULT GetOutputProps(std::uint32_t, std::shared_ptr<IWMOutputMediaProps>* p) override {
    *p = std::make_shared<TWMMediaProps>(type());
    return S_OK;
  }
  HRESULT SetOutputProps(std::uint32_t, const std::shared_ptr<IWMOutputMediaProps>&) override {
    return S_OK;
  }
  HRESULT GetOutputFormatCount(std::uint32_t, std::uint32_t* n) override {
    *n = 1;
    return S_OK;
  }
  HRESULT GetOutputFormat(std::uint32_t, std::uint32_t i,
                          std::shared_ptr<IWMOutputMediaProps>* p) override {
    if (i != 0)
      return E_INVALIDARG;
    *p = std::make_shared<TWMMediaProps>(type());
    return S_OK;
  }
  HRESULT SetOutputSetting(std::uint32_t, const std::u16string&, WMT_ATTR_DATATYPE,
                           const std::uint8_t*, std::uint16_t) override {
    return S_OK;
  }
  HRESULT GetStreamNumberForOutput(std::uint32_t, std::uint16_t* s) override {
    *s = 1;
    return S_OK;
  }
  HRESULT SetReadStreamSamples(std::uint16_t, bool) override { return readSamplesResult; }
  HRESULT GetNextSample(std::uint16_t, std::shared_ptr<INSSBuffer>* out, std::uint64_t*,
                        std::uint64_t*, std::uint32_t*, std::uint32_t*, std::uint16_t*) override {
    if (next >= samples.size())
      return NS_E_NO_MORE_SAMPLES;
    const auto& bytes = samples[next++];
    auto b = std::make_shared<TNSSBuffer>(static_cast<std::uint32_t>(bytes.size()));
    std::memcpy(b->Data().data(), bytes.data(), bytes.size());
    b->SetLength(static_cast<std::uint32_t>(bytes.size()));
    *out = b;
    return S_OK;
  }
  HRESULT SetRange(std::uint64_t start, std::int64_t) override {
    ranges.push_back(start);
    return S_OK;
  }
  HRESULT GetAttributeByName(std::uint16_t*, const std::u16string& name, WMT_ATTR_DATATYPE*,
                             std::uint8_t* value, std::uint16_t* length) override {
    const auto it = attributes.find(name);
    if (it == attributes.end())
      return ASF_E_NOTFOUND;
    const auto n = static_cast<std::uint16_t>(it->second.size());
    if (value != nullptr) {
      if (*length < n)
        return ASF_E_BUFFERTOOSMALL;
      std::memcpy(value, it->second.data(), n);
    }
    *length = n;
    return S_OK;
  }
  HRESULT SetAttribute(std::uint16_t, const std::u16string&, WMT_ATTR_DATATYPE, const std::uint8_t*,
                       std::uint16_t) override {
    return E_FAIL;
  }

private:
  static WM_MEDIA_TYPE type() {
    WM_MEDIA_TYPE t;
    t.majortype = WMMEDIATYPE_Audio;
    t.subtype = WMMEDIASUBTYPE_PCM;
    t.formattype = WMFORMAT_WaveFormatEx;
    t.format.wFormatTag = WAVE_FORMAT_PCM;
    t.format.nChannels = 2;
    t.format.nSamplesPerSec = 44100;
    t.format.wBitsPerSample = 16;
    t.format.nBlockAlign = 4;
    return t;
  }
  std::size_t next = 0;
};

// An input that opens the scripted reader on a small stream handed in.
template <class Base> class Scripted : public Base {
public:
  Scripted() { Base::SetStream(&stream); }
  std::shared_ptr<ScriptedReader> script = std::make_shared<ScriptedReader>();
  TMemoryStream stream{std::vector<std::uint8_t>(64, 0x55)};

  std::uint32_t readerOffset() const { return Base::reader.offset; }
  void getDataDirect(void*& buffer, std::uint32_t& bytes) { Base::DoGetData(buffer, bytes); }

protected:
  void openReader(TStream* s, bool highPrecision, std::uint8_t request) override {
    wmReaderOpenOn(Base::reader, script, s, highPrecision, request);
  }
};

template <class T> ComponentPtr<Scripted<T>> scripted(std::uint64_t duration) {
  auto in = MakeComponent<Scripted<T>>();
  if (duration > 0)
    in->script->setNumber(u"Duration", duration, 8);
  return in;
}

TEST(WMInArithmetic, LengthOfAStatedDuration) {
  // 234 seconds.
  auto wm = scripted<TWMIn>(2'340'000'000);
  EXPECT_EQ(wm->TotalSamples(), 10319400);
  EXPECT_EQ(wm->Size(), 41277600);
  EXPECT_EQ(wm->TotalTime(), 234u);
  auto mp3 = scripted<TMP3In>(2'340'000'000);
  EXPECT_EQ(mp3->TotalSamples(), 10334100);
  EXPECT_EQ(mp3->Size(), 41336400);
  // A fraction of a hundredth is rounded away before the length is worked out.
  auto odd = scripted<TWMIn>(12'345'678);
  EXPECT_EQ(odd->TotalSamples(), 54243); // 1.23 s, not 1.2346 s
}

TEST(WMInArithmetic, BitrateAndVbrAreTheStreamsAttributes) {
  auto in = scripted<TWMIn>(10'000'000);
  in->script->setNumber(u"Bitrate", 96000, 4);
  in->script->setNumber(u"IsVBR", 1, 4);
  EXPECT_EQ(in->Bitrate(), 96000u);
  EXPECT_TRUE(in->IsVBR());
  auto plain = scripted<TWMIn>(10'000'000);
  EXPECT_EQ(plain->Bitrate(), 0u);
  EXPECT_FALSE(plain->IsVBR());
}

TEST(WMInArithmetic, AnMp3WithoutDurationIsNotCutToTheCorrection) {
  auto in = scripted<TMP3In>(0);
  in->script->samples.assign(30, std::vector<std::uint8_t>(17640, 1)); // 3 seconds
  EXPECT_EQ(in->Size(), 0);
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(playThrough(*in).size(), 30u * 17640);
}

TEST(WMInArithmetic, ReadsNearTheEndAskForNoMoreThanIsLeft) {
  auto in = scripted<TWMIn>(100'000); // a hundredth: 441 frames, 1764 bytes
  in->script->samples.assign(2, std::vector<std::uint8_t>(4000, 7));
  in->Init();
  void* data = nullptr;
  std::uint32_t bytes = 1000;
  in->GetData(data, bytes);
  ASSERT_EQ(bytes, 1000u);
  bytes = 4096;
  in->getDataDirect(data, bytes);
  EXPECT_EQ(bytes, 764u);
  EXPECT_EQ(in->readerOffset(), 1764u) << "the reader handed out more than the input needs";
  in->Flush();
}

TEST(WMInArithmetic, SeeksGoToTheFramesOwnTime) {
  auto in = scripted<TMP3In>(40'000'000);
  in->SetStartSample(22050);
  in->Init();
  ASSERT_EQ(in->script->ranges.size(), 1u);
  EXPECT_EQ(in->script->ranges[0], 5'000'000u);
  // Relative to the range start, whatever the range's length.
  EXPECT_TRUE(in->Seek(44100 - 22050 + 441));
  ASSERT_EQ(in->script->ranges.size(), 2u);
  EXPECT_EQ(in->script->ranges[1], 10'100'000u);
  EXPECT_EQ(in->Position(), (44100 - 22050 + 441) * 4);
  in->Flush();
}

TEST(WMInArithmetic, AProtectedStreamIsRefusedAndReleased) {
  auto in = scripted<TWMIn>(10'000'000);
  in->script->readSamplesResult = NS_E_PROTECTED_CONTENT;
  in->stream.Seek(10, TSeekOrigin::soBeginning);
  try {
    in->SampleRate();
    FAIL() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "File is protected");
  }
  EXPECT_EQ(in->script->closes, 1);
  EXPECT_EQ(in->stream.Position(), 0);
  EXPECT_FALSE(in->Valid());
  try {
    in->Init();
    FAIL() << "no error";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "File is protected");
  }
  in->Flush();
  EXPECT_FALSE(in->IsBusy());
}

} // namespace
} // namespace sondrix::testing
