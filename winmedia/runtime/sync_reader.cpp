#include "winmedia/runtime/sync_reader.h"

#include "winmedia/runtime/av_handles.h"
#include "winmedia/runtime/reader_decode.h"
#include "winmedia/runtime/reader_formats.h"
#include "winmedia/runtime/wm_runtime.h"

#include "base/text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace sondrix {

namespace {

constexpr int kIOBufferSize = 64 * 1024;
constexpr AVRational kTicks = {1, 10'000'000};

// Where FFmpeg's demuxer reads: the program's stream, offset so that the position at open is 0.
struct StreamIO {
  std::shared_ptr<IStream> stream;
  std::uint64_t origin = 0;

  static int read(void* opaque, std::uint8_t* buf, int size) {
    auto* io = static_cast<StreamIO*>(opaque);
    std::uint32_t got = 0;
    try {
      const HRESULT hr = io->stream->Read(buf, static_cast<std::uint32_t>(size), &got);
      if (FAILED(hr) && got == 0)
        return AVERROR_EOF;
    } catch (...) {
      return AVERROR(EIO);
    }
    return got == 0 ? AVERROR_EOF : static_cast<int>(got);
  }

  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* io = static_cast<StreamIO*>(opaque);
    try {
      whence &= ~AVSEEK_FORCE;
      if (whence == AVSEEK_SIZE) {
        STATSTG st;
        if (FAILED(io->stream->Stat(&st, 0)))
          return -1;
        return st.cbSize > io->origin ? static_cast<std::int64_t>(st.cbSize - io->origin) : 0;
      }
      std::uint64_t now = 0;
      HRESULT hr = STREAM_E_FAILED;
      if (whence == SEEK_SET) {
        // A container's sizes (Wave64, RF64) can put the target past any file: refuse it.
        std::int64_t target = 0;
        if (offset < 0 ||
            __builtin_add_overflow(static_cast<std::int64_t>(io->origin), offset, &target))
          return -1;
        hr = io->stream->Seek(target, STREAM_SEEK_SET, &now);
      } else if (whence == SEEK_CUR) {
        hr = io->stream->Seek(offset, STREAM_SEEK_CUR, &now);
      } else if (whence == SEEK_END) {
        hr = io->stream->Seek(offset, STREAM_SEEK_END, &now);
      }
      if (FAILED(hr) || now < io->origin)
        return -1;
      return static_cast<std::int64_t>(now - io->origin);
    } catch (...) {
      return -1;
    }
  }

  std::size_t readAt(std::uint64_t offset, std::uint8_t* buf, std::size_t count) {
    std::uint64_t now = 0;
    std::int64_t target = 0;
    if (__builtin_add_overflow(origin, offset, &target) ||
        FAILED(stream->Seek(target, STREAM_SEEK_SET, &now)))
      return 0;
    std::size_t done = 0;
    while (done < count) {
      std::uint32_t got = 0;
      if (FAILED(stream->Read(buf + done, static_cast<std::uint32_t>(count - done), &got)) ||
          got == 0)
        break;
      done += got;
    }
    return done;
  }
};

WM_MEDIA_TYPE pcmMediaType(const WAVEFORMATEX& format) {
  WM_MEDIA_TYPE t;
  t.majortype = WMMEDIATYPE_Audio;
  t.subtype = WMMEDIASUBTYPE_PCM;
  t.bFixedSizeSamples = true;
  t.bTemporalCompression = false;
  t.lSampleSize = format.nBlockAlign;
  t.formattype = WMFORMAT_WaveFormatEx;
  t.format = format;
  return t;
}

// An output the reader cannot decode still describes what it carries.
WM_MEDIA_TYPE compressedMediaType(const AVCodecParameters& par) {
  WM_MEDIA_TYPE t;
  if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
    t.majortype = WMMEDIATYPE_Audio;
    t.subtype = WMMEDIASUBTYPE_PCM;
    t.subtype.Data1 = par.codec_tag;
    t.formattype = WMFORMAT_WaveFormatEx;
    t.format.wFormatTag = static_cast<std::uint16_t>(par.codec_tag);
    t.format.nChannels = static_cast<std::uint16_t>(par.ch_layout.nb_channels);
    t.format.nSamplesPerSec = static_cast<std::uint32_t>(par.sample_rate);
    t.format.nAvgBytesPerSec = static_cast<std::uint32_t>(par.bit_rate / 8);
    t.format.nBlockAlign = static_cast<std::uint16_t>(par.block_align);
  } else if (par.codec_type == AVMEDIA_TYPE_VIDEO) {
    t.majortype = WMMEDIATYPE_Video;
  }
  t.bFixedSizeSamples = false;
  t.bTemporalCompression = true;
  return t;
}

bool sameFormat(const WAVEFORMATEX& a, const WAVEFORMATEX& b) {
  return a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
         a.wBitsPerSample == b.wBitsPerSample;
}

class TWMSyncReader final : public IWMSyncReader, public IWMHeaderInfo {
public:
  TWMSyncReader() : FPacket(av_packet_alloc()) {}
  ~TWMSyncReader() override { Close(); }
  TWMSyncReader(const TWMSyncReader&) = delete;
  TWMSyncReader& operator=(const TWMSyncReader&) = delete;

  HRESULT OpenStream(const std::shared_ptr<IStream>& pStream) override;
  HRESULT Close() override;
  HRESULT GetOutputCount(std::uint32_t* pcOutputs) override;
  HRESULT GetOutputProps(std::uint32_t dwOutputNum,
                         std::shared_ptr<IWMOutputMediaProps>* ppOutput) override;
  HRESULT SetOutputProps(std::uint32_t dwOutputNum,
                         const std::shared_ptr<IWMOutputMediaProps>& pOutput) override;
  HRESULT GetOutputFormatCount(std::uint32_t dwOutputNum, std::uint32_t* pcFormats) override;
  HRESULT GetOutputFormat(std::uint32_t dwOutputNum, std::uint32_t dwFormatNum,
                          std::shared_ptr<IWMOutputMediaProps>* ppProps) override;
  HRESULT SetOutputSetting(std::uint32_t dwOutputNum, const std::u16string& pszName,
                           WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                           std::uint16_t cbLength) override;
  HRESULT GetStreamNumberForOutput(std::uint32_t dwOutputNum, std::uint16_t* pwStreamNum) override;
  HRESULT SetReadStreamSamples(std::uint16_t wStreamNum, bool fCompressed) override;
  HRESULT GetNextSample(std::uint16_t wStreamNum, std::shared_ptr<INSSBuffer>* ppSample,
                        std::uint64_t* pcnsSampleTime, std::uint64_t* pcnsDuration,
                        std::uint32_t* pdwFlags, std::uint32_t* pdwOutputNum,
                        std::uint16_t* pwStreamNum) override;
  HRESULT SetRange(std::uint64_t cnsStartTime, std::int64_t cnsDuration) override;

  HRESULT GetAttributeByName(std::uint16_t* pwStreamNum, const std::u16string& pszName,
                             WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                             std::uint16_t* pcbLength) override;
  HRESULT SetAttribute(std::uint16_t, const std::u16string&, WMT_ATTR_DATATYPE, const std::uint8_t*,
                       std::uint16_t) override {
    return NS_E_INVALID_REQUEST;
  }

private:
  struct Output {
    AVStream* avStream = nullptr;
    std::unique_ptr<ReaderDecoder> decoder; // empty: not decodable audio
    ReaderSourceAudio source;
    bool discrete = false;
    std::uint32_t speakers = 0;
    std::vector<WAVEFORMATEX> formats;
    WM_MEDIA_TYPE current;
  };

  bool opened() const { return FFormat != nullptr; }
  HRESULT openOnce(const std::shared_ptr<IStream>& pStream);
  void refreshFormats(Output& out);
  Output* output(std::uint32_t n) { return n < FOutputs.size() ? &FOutputs[n] : nullptr; }
  void finishInput();
  bool attributeValue(std::uint16_t streamNum, const std::u16string& name, WMT_ATTR_DATATYPE& type,
                      std::vector<std::uint8_t>& value);

  // Destroyed in reverse: the demuxer before the I/O context it reads through.
  std::unique_ptr<StreamIO> FIO;
  av::IOContext FIOContext;
  av::InputFormatContext FFormat;
  av::Packet FPacket;
  std::vector<Output> FOutputs;
  bool FEndOfInput = false;
  Mp3InfoHeader FMp3; // of an MP3 stream
  bool FOriginProbed = false;
  std::int64_t FRangeEnd = 0; // 100 ns; 0 runs to the end
};

HRESULT TWMSyncReader::OpenStream(const std::shared_ptr<IStream>& pStream) {
  Close();
  if (pStream == nullptr)
    return E_POINTER;
  if (FPacket == nullptr)
    return E_OUTOFMEMORY;
  const HRESULT hr = openOnce(pStream);
  if (FAILED(hr))
    Close();
  return hr;
}

HRESULT TWMSyncReader::openOnce(const std::shared_ptr<IStream>& pStream) {
  FIO = std::make_unique<StreamIO>();
  FIO->stream = pStream;
  std::uint64_t origin = 0;
  const bool seekable = SUCCEEDED(pStream->Seek(0, STREAM_SEEK_CUR, &origin));
  FIO->origin = origin;
  // Looked at before the demuxer reads, which assumes it alone moves the stream.
  Mp3InfoHeader mp3;
  if (seekable) {
    mp3 = readMp3InfoHeader([this](std::uint64_t off, std::uint8_t* buf, std::size_t n) {
      return FIO->readAt(off, buf, n);
    });
    if (FAILED(pStream->Seek(static_cast<std::int64_t>(origin), STREAM_SEEK_SET, nullptr)))
      return NS_E_INVALID_DATA;
  }

  auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIOBufferSize));
  if (buffer == nullptr)
    return E_OUTOFMEMORY;
  FIOContext.reset(avio_alloc_context(buffer, kIOBufferSize, 0, FIO.get(), &StreamIO::read, nullptr,
                                      seekable ? &StreamIO::seek : nullptr));
  if (FIOContext == nullptr) {
    av_free(buffer);
    return E_OUTOFMEMORY;
  }
  AVFormatContext* ctx = avformat_alloc_context();
  if (ctx == nullptr)
    return E_OUTOFMEMORY;
  ctx->pb = FIOContext.get();
  // The stream is the whole input: a format that names other files or URLs (a streaming
  // playlist, a concatenation list) must not make FFmpeg open them on a file's say-so.
  ctx->io_open = [](AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
  };
  // On failure FFmpeg frees the context itself.
  if (avformat_open_input(&ctx, nullptr, nullptr, nullptr) < 0)
    return NS_E_INVALID_DATA;
  FFormat.reset(ctx);
  if (avformat_find_stream_info(ctx, nullptr) < 0 || ctx->nb_streams == 0)
    return NS_E_INVALID_DATA;

  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    Output out;
    out.avStream = ctx->streams[i];
    const AVCodecParameters& par = *out.avStream->codecpar;
    out.current = compressedMediaType(par);
    if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
      out.decoder = ReaderDecoder::open(out.avStream);
      if (out.decoder != nullptr) {
        out.source = out.decoder->source();
        refreshFormats(out);
      }
    } else {
      out.avStream->discard = AVDISCARD_ALL;
    }
    FOutputs.push_back(std::move(out));
  }

  if (std::strcmp(ctx->iformat->name, "mp3") == 0)
    FMp3 = mp3;
  return S_OK;
}

HRESULT TWMSyncReader::Close() {
  FOutputs.clear();
  FFormat.reset();
  FIOContext.reset();
  FIO.reset();
  FEndOfInput = false;
  FMp3 = Mp3InfoHeader{};
  FOriginProbed = false;
  FRangeEnd = 0;
  return S_OK;
}

void TWMSyncReader::refreshFormats(Output& out) {
  out.formats = readerOutputFormats(out.source, out.discrete, out.speakers);
  if (out.formats.empty())
    return;
  const bool stillOffered =
      out.current.formattype == WMFORMAT_WaveFormatEx &&
      out.current.subtype == WMMEDIASUBTYPE_PCM &&
      std::any_of(out.formats.begin(), out.formats.end(),
                  [&](const WAVEFORMATEX& f) { return sameFormat(f, out.current.format); });
  if (!stillOffered) {
    out.current = pcmMediaType(out.formats.front());
    out.decoder->setOutputFormat(out.formats.front());
  }
}

HRESULT TWMSyncReader::GetOutputCount(std::uint32_t* pcOutputs) {
  if (pcOutputs == nullptr)
    return E_POINTER;
  if (!opened())
    return NS_E_INVALID_REQUEST;
  *pcOutputs = static_cast<std::uint32_t>(FOutputs.size());
  return S_OK;
}

HRESULT TWMSyncReader::GetOutputProps(std::uint32_t dwOutputNum,
                                      std::shared_ptr<IWMOutputMediaProps>* ppOutput) {
  if (ppOutput == nullptr)
    return E_POINTER;
  Output* out = output(dwOutputNum);
  if (out == nullptr)
    return E_INVALIDARG;
  *ppOutput = std::make_shared<TWMMediaProps>(out->current);
  return S_OK;
}

HRESULT TWMSyncReader::SetOutputProps(std::uint32_t dwOutputNum,
                                      const std::shared_ptr<IWMOutputMediaProps>& pOutput) {
  Output* out = output(dwOutputNum);
  if (out == nullptr || pOutput == nullptr)
    return E_INVALIDARG;
  WM_MEDIA_TYPE t;
  if (FAILED(pOutput->GetMediaType(&t)))
    return E_INVALIDARG;
  if (!(t.majortype == WMMEDIATYPE_Audio) || !(t.subtype == WMMEDIASUBTYPE_PCM) ||
      !(t.formattype == WMFORMAT_WaveFormatEx))
    return NS_E_INVALID_OUTPUT_FORMAT;
  const auto it = std::find_if(out->formats.begin(), out->formats.end(),
                               [&](const WAVEFORMATEX& f) { return sameFormat(f, t.format); });
  if (it == out->formats.end())
    return NS_E_INVALID_OUTPUT_FORMAT;
  out->current = pcmMediaType(*it);
  out->decoder->setOutputFormat(*it);
  return S_OK;
}

HRESULT TWMSyncReader::GetOutputFormatCount(std::uint32_t dwOutputNum, std::uint32_t* pcFormats) {
  if (pcFormats == nullptr)
    return E_POINTER;
  Output* out = output(dwOutputNum);
  if (out == nullptr)
    return E_INVALIDARG;
  *pcFormats = static_cast<std::uint32_t>(out->formats.size());
  return S_OK;
}

HRESULT TWMSyncReader::GetOutputFormat(std::uint32_t dwOutputNum, std::uint32_t dwFormatNum,
                                       std::shared_ptr<IWMOutputMediaProps>* ppProps) {
  if (ppProps == nullptr)
    return E_POINTER;
  Output* out = output(dwOutputNum);
  if (out == nullptr || dwFormatNum >= out->formats.size())
    return E_INVALIDARG;
  *ppProps = std::make_shared<TWMMediaProps>(pcmMediaType(out->formats[dwFormatNum]));
  return S_OK;
}

HRESULT TWMSyncReader::SetOutputSetting(std::uint32_t dwOutputNum, const std::u16string& pszName,
                                        WMT_ATTR_DATATYPE Type, const std::uint8_t* pValue,
                                        std::uint16_t cbLength) {
  Output* out = output(dwOutputNum);
  if (out == nullptr || pValue == nullptr)
    return E_INVALIDARG;
  if (cbLength != 4 || (Type != WMT_TYPE_BOOL && Type != WMT_TYPE_DWORD))
    return E_INVALIDARG;
  std::uint32_t value = 0;
  std::memcpy(&value, pValue, 4);
  if (pszName == u"EnableDiscreteOutput")
    out->discrete = value != 0;
  else if (pszName == u"SpeakerConfig")
    out->speakers = value;
  else
    return E_INVALIDARG;
  if (out->decoder != nullptr)
    refreshFormats(*out);
  return S_OK;
}

HRESULT TWMSyncReader::GetStreamNumberForOutput(std::uint32_t dwOutputNum,
                                                std::uint16_t* pwStreamNum) {
  if (pwStreamNum == nullptr)
    return E_POINTER;
  if (output(dwOutputNum) == nullptr)
    return E_INVALIDARG;
  *pwStreamNum = static_cast<std::uint16_t>(dwOutputNum + 1);
  return S_OK;
}

HRESULT TWMSyncReader::SetReadStreamSamples(std::uint16_t wStreamNum, bool fCompressed) {
  if (wStreamNum == 0 || output(wStreamNum - 1U) == nullptr)
    return E_INVALIDARG;
  return fCompressed ? NS_E_INVALID_REQUEST : S_OK;
}

void TWMSyncReader::finishInput() {
  FEndOfInput = true;
  for (Output& out : FOutputs)
    if (out.decoder != nullptr)
      out.decoder->endOfInput();
}

HRESULT TWMSyncReader::GetNextSample(std::uint16_t wStreamNum,
                                     std::shared_ptr<INSSBuffer>* ppSample,
                                     std::uint64_t* pcnsSampleTime, std::uint64_t* pcnsDuration,
                                     std::uint32_t* pdwFlags, std::uint32_t* pdwOutputNum,
                                     std::uint16_t* pwStreamNum) {
  if (ppSample == nullptr)
    return E_POINTER;
  ppSample->reset();
  if (!opened())
    return NS_E_INVALID_REQUEST;
  const auto wanted = [&](std::size_t i) {
    return FOutputs[i].decoder != nullptr && (wStreamNum == 0 || wStreamNum == i + 1);
  };
  bool any = false;
  for (std::size_t i = 0; i < FOutputs.size(); ++i)
    any = any || wanted(i);
  if (!any)
    return E_INVALIDARG;

  for (;;) {
    bool allDone = true;
    for (std::size_t i = 0; i < FOutputs.size(); ++i) {
      if (!wanted(i))
        continue;
      ReaderDecoder& dec = *FOutputs[i].decoder;
      DecodedSample sample;
      const DecodeStep step = dec.next(sample);
      if (step == DecodeStep::Sample) {
        if (FRangeEnd > 0 && sample.time >= static_cast<std::uint64_t>(FRangeEnd))
          return NS_E_NO_MORE_SAMPLES;
        if (FRangeEnd > 0)
          dec.trimToEnd(sample, static_cast<std::uint64_t>(FRangeEnd));
        *ppSample = std::move(sample.buffer);
        if (pcnsSampleTime != nullptr)
          *pcnsSampleTime = sample.time;
        if (pcnsDuration != nullptr)
          *pcnsDuration = sample.duration;
        if (pdwFlags != nullptr)
          *pdwFlags = 0;
        if (pdwOutputNum != nullptr)
          *pdwOutputNum = static_cast<std::uint32_t>(i);
        if (pwStreamNum != nullptr)
          *pwStreamNum = static_cast<std::uint16_t>(i + 1);
        return S_OK;
      }
      if (step != DecodeStep::Finished)
        allDone = false;
    }
    if (allDone)
      return NS_E_NO_MORE_SAMPLES;
    if (FEndOfInput) {
      // Every decoder has been told; they drain on the next pass.
      continue;
    }
    const int r = av_read_frame(FFormat.get(), FPacket.get());
    if (r < 0) {
      finishInput();
      continue;
    }
    const auto index = static_cast<std::size_t>(FPacket->stream_index);
    if (index < FOutputs.size() && wanted(index))
      FOutputs[index].decoder->feed(FPacket.get());
    av_packet_unref(FPacket.get());
  }
}

HRESULT TWMSyncReader::SetRange(std::uint64_t cnsStartTime, std::int64_t cnsDuration) {
  if (!opened())
    return NS_E_INVALID_REQUEST;
  if (cnsDuration < 0)
    return E_INVALIDARG;
  if (cnsStartTime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / 2))
    return E_INVALIDARG;
  const auto start = static_cast<std::int64_t>(cnsStartTime);
  AVFormatContext* ctx = FFormat.get();
  const std::int64_t origin = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
  if (!FOriginProbed) {
    // Time 0 is where a straight read starts; learn it before the first jump elsewhere.
    FOriginProbed = true;
    if (avformat_seek_file(ctx, -1, std::numeric_limits<std::int64_t>::min(), origin, origin, 0) >=
        0) {
      FEndOfInput = false;
      for (Output& out : FOutputs)
        if (out.decoder != nullptr)
          out.decoder->restartFromStart();
      for (std::size_t i = 0; i < FOutputs.size(); ++i) {
        std::shared_ptr<INSSBuffer> ignored;
        if (FOutputs[i].decoder != nullptr && FOutputs[i].decoder->needsOrigin())
          GetNextSample(static_cast<std::uint16_t>(i + 1), &ignored, nullptr, nullptr, nullptr,
                        nullptr, nullptr);
      }
    }
  }
  // Decoding starts a little early so that the decoder's state (overlap, bit reservoir) is
  // built up by the target; the lead-in is dropped.
  constexpr std::int64_t kPreroll = 5'000'000;
  const std::int64_t target =
      origin + av_rescale_q(std::max<std::int64_t>(start - kPreroll, 0), kTicks, AV_TIME_BASE_Q);
  if (avformat_seek_file(ctx, -1, std::numeric_limits<std::int64_t>::min(), target, target, 0) <
          0 &&
      av_seek_frame(ctx, -1, target, AVSEEK_FLAG_BACKWARD) < 0)
    return E_FAIL;
  FEndOfInput = false;
  FRangeEnd = cnsDuration > 0 ? start + cnsDuration : 0;
  for (Output& out : FOutputs)
    if (out.decoder != nullptr)
      out.decoder->restartAt(static_cast<std::uint64_t>(start));
  return S_OK;
}

bool TWMSyncReader::attributeValue(std::uint16_t streamNum, const std::u16string& name,
                                   WMT_ATTR_DATATYPE& type, std::vector<std::uint8_t>& value) {
  AVFormatContext* ctx = FFormat.get();
  const auto putNumber = [&](std::uint64_t v, std::size_t bytes, WMT_ATTR_DATATYPE t) {
    value.resize(bytes);
    for (std::size_t i = 0; i < bytes; ++i)
      value[i] = static_cast<std::uint8_t>(v >> (8 * i));
    type = t;
    return true;
  };
  if (name == u"Duration") {
    // The demuxer counts the encoder's delay and padding, which the decoder leaves out.
    if (FMp3.playedSamples() > 0 && FMp3.sampleRate > 0)
      return putNumber(
          static_cast<std::uint64_t>(av_rescale(static_cast<std::int64_t>(FMp3.playedSamples()),
                                                10'000'000, FMp3.sampleRate)),
          8, WMT_TYPE_QWORD);
    if (ctx->duration == AV_NOPTS_VALUE || ctx->duration <= 0)
      return false;
    return putNumber(
        static_cast<std::uint64_t>(av_rescale_q(ctx->duration, AV_TIME_BASE_Q, kTicks)), 8,
        WMT_TYPE_QWORD);
  }
  if (name == u"Bitrate") {
    // The audio's own rate; the container's includes its overhead.
    std::int64_t rate = 0;
    for (const Output& out : FOutputs)
      if (out.decoder != nullptr && out.avStream->codecpar->bit_rate > 0)
        rate += out.avStream->codecpar->bit_rate;
    if (rate <= 0)
      rate = ctx->bit_rate;
    if (rate <= 0)
      return false;
    return putNumber(static_cast<std::uint32_t>(std::min<std::int64_t>(rate, 0xFFFFFFFF)), 4,
                     WMT_TYPE_DWORD);
  }
  if (name == u"IsVBR")
    return putNumber(FMp3.vbr ? 1 : 0, 4, WMT_TYPE_BOOL);
  if (name == u"Is_Protected")
    return putNumber(0, 4, WMT_TYPE_BOOL);

  struct TextAttribute {
    std::u16string_view name;
    std::array<const char*, 2> keys;
  };
  static constexpr std::array<TextAttribute, 7> kTexts{{
      {u"Author", {"artist", "author"}},
      {u"Title", {"title", nullptr}},
      {u"WM/AlbumTitle", {"album", nullptr}},
      {u"WM/Genre", {"genre", nullptr}},
      {u"WM/Track", {"track", "WM/TrackNumber"}},
      {u"WM/Year", {"date", "year"}},
      {u"Copyright", {"copyright", nullptr}},
  }};
  const auto it = std::find_if(kTexts.begin(), kTexts.end(),
                               [&](const TextAttribute& a) { return a.name == name; });
  if (it == kTexts.end())
    return false;
  std::vector<const AVDictionary*> dicts;
  if (streamNum == 0) {
    dicts.push_back(ctx->metadata);
    // Some containers keep the tags on the audio stream.
    for (const Output& out : FOutputs)
      if (out.decoder != nullptr)
        dicts.push_back(out.avStream->metadata);
  } else if (const Output* out = output(streamNum - 1U)) {
    dicts.push_back(out->avStream->metadata);
  }
  const std::string wmName = toNarrow(name);
  const AVDictionaryEntry* found = nullptr;
  for (const AVDictionary* d : dicts) {
    for (const char* key : it->keys)
      if (found == nullptr && key != nullptr)
        found = av_dict_get(d, key, nullptr, 0);
    if (found == nullptr)
      found = av_dict_get(d, wmName.c_str(), nullptr, 0);
    if (found != nullptr)
      break;
  }
  if (found == nullptr)
    return false;
  std::u16string text = toWide(found->value);
  // A WORD carries the length: longer texts are cut at a character boundary.
  constexpr std::size_t kMaxChars = 0xFFFF / 2 - 1;
  if (text.size() > kMaxChars)
    text.resize(kMaxChars);
  value.clear();
  for (char16_t c : text) {
    value.push_back(static_cast<std::uint8_t>(c & 0xFF));
    value.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  value.push_back(0);
  value.push_back(0);
  type = WMT_TYPE_STRING;
  return true;
}

HRESULT TWMSyncReader::GetAttributeByName(std::uint16_t* pwStreamNum, const std::u16string& pszName,
                                          WMT_ATTR_DATATYPE* pType, std::uint8_t* pValue,
                                          std::uint16_t* pcbLength) {
  if (pwStreamNum == nullptr || pcbLength == nullptr)
    return E_POINTER;
  if (!opened())
    return NS_E_INVALID_REQUEST;
  WMT_ATTR_DATATYPE type = WMT_TYPE_DWORD;
  std::vector<std::uint8_t> value;
  if (!attributeValue(*pwStreamNum, pszName, type, value))
    return ASF_E_NOTFOUND;
  if (pType != nullptr)
    *pType = type;
  const auto needed = static_cast<std::uint16_t>(value.size());
  if (pValue == nullptr) {
    *pcbLength = needed;
    return S_OK;
  }
  if (*pcbLength < needed) {
    *pcbLength = needed;
    return ASF_E_BUFFERTOOSMALL;
  }
  std::memcpy(pValue, value.data(), value.size());
  *pcbLength = needed;
  return S_OK;
}

} // namespace

HRESULT WMCreateSyncReader(void* /*pUnkCert*/, std::uint32_t /*dwRights*/,
                           std::shared_ptr<IWMSyncReader>* ppSyncReader) {
  if (ppSyncReader == nullptr)
    return E_POINTER;
  ppSyncReader->reset();
  if (!WMRuntimeLoaded())
    return E_FAIL;
  *ppSyncReader = std::make_shared<TWMSyncReader>();
  return S_OK;
}

} // namespace sondrix
