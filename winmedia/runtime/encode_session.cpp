#include "winmedia/runtime/encode_session.h"
#include "winmedia/runtime/pcm_input.h"

#include "winmedia/runtime/av_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cstring>

namespace sondrix {

namespace {

constexpr int kLivePacketSize = 3200;
// The live muxer patches its header inside the I/O buffer, so that buffer must hold it all.
constexpr int kLiveIOBufferSize = 64 * 1024;
constexpr int kFileIOBufferSize = 32 * 1024;

av::CodecContext openEncoder(const EncodeTarget& target, bool globalHeader) {
  const AVCodec* codec = avcodec_find_encoder_by_name(target.encoderName.c_str());
  if (codec == nullptr || target.sampleRate == 0 || target.channels == 0)
    return nullptr;
  av::CodecContext ctx(avcodec_alloc_context3(codec));
  if (!ctx)
    return nullptr;
  ctx->bit_rate = target.bitrate;
  ctx->sample_rate = static_cast<int>(target.sampleRate);
  av_channel_layout_default(&ctx->ch_layout, target.channels);
  ctx->sample_fmt = codec->sample_fmts != nullptr ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
  ctx->time_base = AVRational{1, ctx->sample_rate};
  if (globalHeader)
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
    return nullptr;
  return ctx;
}

av::Frame makeFrame(const AVCodecContext& ctx) {
  av::Frame frame(av_frame_alloc());
  if (!frame)
    return nullptr;
  frame->nb_samples = ctx.frame_size;
  frame->format = ctx.sample_fmt;
  frame->sample_rate = ctx.sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &ctx.ch_layout) < 0 ||
      av_frame_get_buffer(frame.get(), 0) < 0)
    return nullptr;
  return frame;
}

// Owned interleaved-or-planar sample buffers for the resampler's output.
class SampleBuffers {
public:
  ~SampleBuffers() { release(); }
  bool reserve(int channels, int samples, AVSampleFormat format) {
    if (samples <= FCapacity)
      return true;
    release();
    if (av_samples_alloc_array_and_samples(&FData, nullptr, channels, samples, format, 0) < 0)
      return false;
    FCapacity = samples;
    return true;
  }
  std::uint8_t** data() const { return FData; }

private:
  void release() {
    if (FData != nullptr) {
      av_freep(&FData[0]);
      av_freep(&FData);
    }
    FCapacity = 0;
  }
  std::uint8_t** FData = nullptr;
  int FCapacity = 0;
};

} // namespace

bool wmProbeEncoder(const EncodeTarget& target, std::uint32_t* blockAlign) {
  av::CodecContext ctx = openEncoder(target, false);
  if (!ctx || ctx->frame_size <= 0 || ctx->block_align <= 0)
    return false;
  av::Frame frame = makeFrame(*ctx);
  av::Packet packet(av_packet_alloc());
  if (!frame || !packet)
    return false;
  // Full-scale noise is the hardest input: a format that cannot code it is not offered.
  std::uint32_t seed = 12345;
  const int channels = ctx->ch_layout.nb_channels;
  for (int i = 0; i < frame->nb_samples * channels; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float value = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f;
    if (av_sample_fmt_is_planar(ctx->sample_fmt)) {
      if (ctx->sample_fmt != AV_SAMPLE_FMT_FLTP)
        return false;
      reinterpret_cast<float*>(frame->data[i % channels])[i / channels] = value;
    } else {
      if (ctx->sample_fmt != AV_SAMPLE_FMT_FLT)
        return false;
      reinterpret_cast<float*>(frame->data[0])[i] = value;
    }
  }
  frame->pts = 0;
  if (avcodec_send_frame(ctx.get(), frame.get()) < 0 || avcodec_send_frame(ctx.get(), nullptr) < 0)
    return false;
  int produced = 0;
  for (;;) {
    const int rc = avcodec_receive_packet(ctx.get(), packet.get());
    if (rc == AVERROR_EOF)
      break;
    if (rc < 0)
      return false;
    ++produced;
    av_packet_unref(packet.get());
  }
  if (produced == 0)
    return false;
  *blockAlign = static_cast<std::uint32_t>(ctx->block_align);
  return true;
}

std::string wmMuxerMetadataKey(const std::string& attributeName) {
  // The ASF muxer puts these four into its content description object by their generic
  // names and writes every other key as an extended attribute under the name given.
  if (attributeName == "Title")
    return "title";
  if (attributeName == "Author")
    return "author";
  if (attributeName == "Copyright")
    return "copyright";
  if (attributeName == "Description")
    return "comment";
  return attributeName;
}

struct TEncodeSession::Impl {
  std::vector<std::shared_ptr<IWMWriterSink>> sinks;
  HRESULT sinkError = S_OK;
  bool live = false;
  // Live: bytes after the header go out in whole packets only. The muxer ends a
  // non-seekable stream with a 12-byte end-of-stream chunk that is no packet; it stays here.
  std::vector<std::uint8_t> partialPacket;
  std::int64_t position = 0; // of the byte stream, for the seek callback

  av::CodecContext codec;
  av::OutputFormatContext muxer;
  av::IOContext io;
  av::Resampler resampler;
  av::AudioFifo fifo;
  av::Frame frame;
  av::Packet packet;
  AVStream* stream = nullptr;
  SampleBuffers converted;

  WAVEFORMATEX input;
  AVSampleFormat inputFormat = AV_SAMPLE_FMT_S16;
  std::vector<std::uint8_t> carry;   // a partial input frame left from the last write
  std::vector<std::int32_t> widened; // 24-bit input as 32-bit
  std::int64_t nextPts = 0;          // in encoder samples
  bool headerWritten = false;
  bool finished = false;

  HRESULT resultOf(int averror) const {
    if (FAILED(sinkError))
      return sinkError;
    if (averror == AVERROR(ENOMEM))
      return E_OUTOFMEMORY;
    if (averror == AVERROR(EINVAL))
      return E_INVALIDARG;
    return E_FAIL;
  }

  static int writePacket(void* opaque, std::uint8_t* buf, int size) {
    auto* self = static_cast<Impl*>(opaque);
    if (self->live && self->headerWritten) {
      auto& partial = self->partialPacket;
      partial.insert(partial.end(), buf, buf + size);
      const std::size_t whole = partial.size() / kLivePacketSize * kLivePacketSize;
      if (whole > 0 && !self->forward(partial.data(), whole))
        return AVERROR(EIO);
      partial.erase(partial.begin(), partial.begin() + static_cast<std::ptrdiff_t>(whole));
    } else if (!self->forward(buf, static_cast<std::size_t>(size))) {
      return AVERROR(EIO);
    }
    self->position += size;
    return size;
  }

  bool forward(const std::uint8_t* data, std::size_t size) {
    for (const auto& sink : sinks) {
      const HRESULT hr = sink->Write(data, size);
      if (FAILED(hr)) {
        sinkError = hr;
        return false;
      }
    }
    return true;
  }

  static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<Impl*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
      return -1;
    std::int64_t result = -1;
    for (const auto& sink : self->sinks) {
      result = sink->Seek(offset, whence);
      if (result < 0)
        return AVERROR(EIO);
    }
    self->position = result;
    return result;
  }

  HRESULT open(const EncodeSettings& settings) {
    input = settings.input;
    live = settings.live;
    if (!inputSampleFormat(input, &inputFormat) || input.nChannels == 0 ||
        input.nSamplesPerSec == 0)
      return E_INVALIDARG;

    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "asf", nullptr) < 0 || oc == nullptr)
      return E_FAIL;
    muxer.reset(oc);

    codec = openEncoder(settings.target, (muxer->oformat->flags & AVFMT_GLOBALHEADER) != 0);
    if (!codec)
      return E_INVALIDARG;

    const int ioSize = settings.live ? kLiveIOBufferSize : kFileIOBufferSize;
    auto* ioBuffer = static_cast<unsigned char*>(av_malloc(ioSize));
    if (ioBuffer == nullptr)
      return E_OUTOFMEMORY;
    io.reset(avio_alloc_context(ioBuffer, ioSize, 1, this, nullptr, &Impl::writePacket,
                                settings.live ? nullptr : &Impl::seek));
    if (!io) {
      av_free(ioBuffer);
      return E_OUTOFMEMORY;
    }
    muxer->pb = io.get();
    if (settings.live) {
      muxer->flags |= AVFMT_FLAG_FLUSH_PACKETS;
      if (av_opt_set_int(muxer->priv_data, "packet_size", kLivePacketSize, 0) < 0)
        return E_FAIL;
    }

    stream = avformat_new_stream(muxer.get(), nullptr);
    if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0)
      return E_FAIL;
    stream->time_base = codec->time_base;

    for (const auto& [name, value] : settings.attributes)
      av_dict_set(&muxer->metadata, wmMuxerMetadataKey(name).c_str(), value.c_str(), 0);

    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, input.nChannels);
    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &codec->ch_layout, codec->sample_fmt,
                                       codec->sample_rate, &inLayout, inputFormat,
                                       static_cast<int>(input.nSamplesPerSec), 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    resampler.reset(swr);
    if (rc < 0 || !setMixMatrix(input.nChannels, codec->ch_layout.nb_channels) ||
        swr_init(resampler.get()) < 0)
      return E_INVALIDARG;

    fifo.reset(av_audio_fifo_alloc(codec->sample_fmt, codec->ch_layout.nb_channels,
                                   std::max(codec->frame_size, 1) * 2));
    frame = makeFrame(*codec);
    packet.reset(av_packet_alloc());
    if (!fifo || !frame || !packet)
      return E_OUTOFMEMORY;

    for (const auto& sink : sinks) {
      const HRESULT hr = sink->OnBeginWriting();
      if (FAILED(hr))
        return hr;
    }
    const int wrc = avformat_write_header(muxer.get(), nullptr);
    if (wrc < 0)
      return resultOf(wrc);
    headerWritten = true;
    avio_flush(io.get());
    return FAILED(sinkError) ? sinkError : S_OK;
  }

  // Mono is heard at full level on every channel, and stereo folds to mono as the mean, so a
  // track keeps its loudness whatever the stream's layout. Other layouts use the default mix.
  bool setMixMatrix(int in, int out) {
    if (in == out || (in != 1 && !(in == 2 && out == 1)))
      return true;
    std::vector<double> matrix(static_cast<std::size_t>(in * out));
    for (int o = 0; o < out; ++o)
      for (int i = 0; i < in; ++i)
        matrix[static_cast<std::size_t>(o * in + i)] = 1.0 / in;
    return swr_set_matrix(resampler.get(), matrix.data(), in) >= 0;
  }

  HRESULT drainPackets() {
    for (;;) {
      int rc = avcodec_receive_packet(codec.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
        return S_OK;
      if (rc < 0)
        return resultOf(rc);
      av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
      packet->stream_index = stream->index;
      rc = av_interleaved_write_frame(muxer.get(), packet.get());
      av_packet_unref(packet.get());
      if (rc < 0)
        return resultOf(rc);
    }
  }

  // Encodes whole frames from the FIFO; at the end also the last partial one.
  HRESULT encodeFifo(bool final) {
    const int frameSize = codec->frame_size;
    const bool smallLast = (codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    while (av_audio_fifo_size(fifo.get()) >= frameSize ||
           (final && av_audio_fifo_size(fifo.get()) > 0)) {
      if (av_frame_make_writable(frame.get()) < 0)
        return E_OUTOFMEMORY;
      const int n =
          av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), frameSize);
      if (n < 0)
        return E_FAIL;
      frame->nb_samples = frameSize;
      if (n < frameSize) {
        if (smallLast)
          frame->nb_samples = n;
        else
          av_samples_set_silence(frame->data, n, frameSize - n, codec->ch_layout.nb_channels,
                                 codec->sample_fmt);
      }
      frame->pts = nextPts;
      nextPts += frame->nb_samples;
      const int rc = avcodec_send_frame(codec.get(), frame.get());
      if (rc < 0)
        return resultOf(rc);
      const HRESULT hr = drainPackets();
      if (FAILED(hr))
        return hr;
    }
    return S_OK;
  }

  // Converts `frames` whole input frames (null = flush the resampler).
  HRESULT convert(const std::uint8_t* data, int frames) {
    const std::uint8_t* in = data;
    if (data != nullptr && input.wBitsPerSample == 24) {
      in = widen24(data, static_cast<std::size_t>(frames) * input.nChannels, widened);
    }
    for (;;) {
      const int room = swr_get_out_samples(resampler.get(), data != nullptr ? frames : 0);
      if (room < 0)
        return E_FAIL;
      if (room == 0)
        return S_OK;
      if (!converted.reserve(codec->ch_layout.nb_channels, room, codec->sample_fmt))
        return E_OUTOFMEMORY;
      const std::uint8_t* inPlanes[1] = {in};
      const int got =
          swr_convert(resampler.get(), converted.data(), room, data != nullptr ? inPlanes : nullptr,
                      data != nullptr ? frames : 0);
      if (got < 0)
        return E_FAIL;
      if (got > 0 &&
          av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(converted.data()), got) < got)
        return E_OUTOFMEMORY;
      // Input is consumed in one call; a flush may need several.
      if (data != nullptr || got == 0)
        return S_OK;
    }
  }

  HRESULT write(const std::uint8_t* data, std::size_t size) {
    if (finished || !headerWritten)
      return NS_E_INVALID_REQUEST;
    const std::size_t frameBytes =
        static_cast<std::size_t>(input.nChannels) * (input.wBitsPerSample / 8);
    if (!carry.empty() || size % frameBytes != 0) {
      carry.insert(carry.end(), data, data + size);
      const std::size_t whole = carry.size() / frameBytes * frameBytes;
      std::vector<std::uint8_t> rest(carry.begin() + static_cast<std::ptrdiff_t>(whole),
                                     carry.end());
      carry.resize(whole);
      std::vector<std::uint8_t> block;
      block.swap(carry);
      carry.swap(rest);
      return writeFrames(block.data(), block.size() / frameBytes);
    }
    return writeFrames(data, size / frameBytes);
  }

  HRESULT writeFrames(const std::uint8_t* data, std::size_t frames) {
    // Bounded slices keep the resampler's output buffer small.
    constexpr std::size_t kSlice = 16384;
    const std::size_t frameBytes =
        static_cast<std::size_t>(input.nChannels) * (input.wBitsPerSample / 8);
    while (frames > 0) {
      const std::size_t n = std::min(frames, kSlice);
      HRESULT hr = convert(data, static_cast<int>(n));
      if (SUCCEEDED(hr))
        hr = encodeFifo(false);
      if (FAILED(hr))
        return hr;
      data += n * frameBytes;
      frames -= n;
    }
    return S_OK;
  }

  HRESULT finish() {
    if (finished || !headerWritten)
      return NS_E_INVALID_REQUEST;
    finished = true;
    HRESULT hr = convert(nullptr, 0);
    if (SUCCEEDED(hr))
      hr = encodeFifo(true);
    if (SUCCEEDED(hr)) {
      const int rc = avcodec_send_frame(codec.get(), nullptr);
      hr = rc < 0 ? resultOf(rc) : drainPackets();
    }
    if (SUCCEEDED(hr)) {
      const int rc = av_write_trailer(muxer.get());
      if (rc < 0)
        hr = resultOf(rc);
    }
    avio_flush(io.get());
    if (SUCCEEDED(hr) && FAILED(sinkError))
      hr = sinkError;
    return hr;
  }
};

TEncodeSession::TEncodeSession(std::unique_ptr<Impl> impl) : FImpl(std::move(impl)) {}

TEncodeSession::~TEncodeSession() {
  // The muxer must let go of the I/O context before that is freed.
  if (FImpl && FImpl->muxer)
    FImpl->muxer->pb = nullptr;
}

HRESULT TEncodeSession::Start(const EncodeSettings& settings,
                              std::vector<std::shared_ptr<IWMWriterSink>> sinks,
                              std::unique_ptr<TEncodeSession>* session) {
  auto impl = std::make_unique<Impl>();
  impl->sinks = std::move(sinks);
  auto result = std::make_unique<TEncodeSession>(std::move(impl));
  const HRESULT hr = result->FImpl->open(settings);
  if (FAILED(hr))
    return hr;
  *session = std::move(result);
  return S_OK;
}

HRESULT TEncodeSession::Write(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return S_OK;
  return FImpl->write(data, size);
}

HRESULT TEncodeSession::Finish() {
  return FImpl->finish();
}

} // namespace sondrix
