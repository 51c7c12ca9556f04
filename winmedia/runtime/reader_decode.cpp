#include "winmedia/runtime/reader_decode.h"

#include <algorithm>
#include <cstring>

namespace sondrix {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr AVRational kTicks = {1, kTicksPerSecond};

AVSampleFormat sampleFormatFor(std::uint32_t bits) {
  if (bits == 8)
    return AV_SAMPLE_FMT_U8;
  if (bits == 16)
    return AV_SAMPLE_FMT_S16;
  return AV_SAMPLE_FMT_S32; // 24-bit is packed from the top three bytes
}

std::uint32_t containerBytes(std::uint32_t bits) {
  return bits == 24 ? 4 : bits / 8;
}

} // namespace

std::unique_ptr<ReaderDecoder> ReaderDecoder::open(AVStream* stream) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr)
    return nullptr;
  std::unique_ptr<ReaderDecoder> d(new ReaderDecoder(stream));
  d->FCodec.reset(avcodec_alloc_context3(codec));
  d->FFrame.reset(av_frame_alloc());
  if (d->FCodec == nullptr || d->FFrame == nullptr)
    return nullptr;
  if (avcodec_parameters_to_context(d->FCodec.get(), stream->codecpar) < 0)
    return nullptr;
  d->FCodec->pkt_timebase = stream->time_base;
  d->FCodec->thread_count = 1;
  if (avcodec_open2(d->FCodec.get(), codec, nullptr) < 0)
    return nullptr;
  if (d->FCodec->ch_layout.nb_channels <= 0 || d->FCodec->sample_rate <= 0)
    return nullptr;
  return d;
}

ReaderSourceAudio ReaderDecoder::source() const {
  ReaderSourceAudio s;
  s.channels = static_cast<std::uint32_t>(FCodec->ch_layout.nb_channels);
  s.sampleRate = static_cast<std::uint32_t>(FCodec->sample_rate);
  const AVCodecDescriptor* desc = avcodec_descriptor_get(FCodec->codec_id);
  s.lossy = desc == nullptr || (desc->props & AV_CODEC_PROP_LOSSLESS) == 0;
  int depth = FStream->codecpar->bits_per_raw_sample;
  if (depth <= 0)
    depth = FCodec->bits_per_raw_sample;
  if (depth <= 0)
    depth = FStream->codecpar->bits_per_coded_sample;
  if (depth <= 0)
    depth = av_get_bytes_per_sample(FCodec->sample_fmt) * 8;
  s.depth = static_cast<std::uint32_t>(std::max(depth, 8));
  return s;
}

void ReaderDecoder::setOutputFormat(const WAVEFORMATEX& format) {
  FBaseTime = timeAt(FSamplesOut);
  FSamplesOut = 0;
  FFormat = format;
  FSwr.reset();
}

std::uint64_t ReaderDecoder::timeAt(std::uint64_t samples) const {
  if (FFormat.nSamplesPerSec == 0)
    return FBaseTime;
  return FBaseTime +
         static_cast<std::uint64_t>(av_rescale(static_cast<std::int64_t>(samples), kTicksPerSecond,
                                               FFormat.nSamplesPerSec));
}

void ReaderDecoder::feed(const AVPacket* packet) {
  if (FInputEnded)
    return;
  avcodec_send_packet(FCodec.get(), packet);
}

void ReaderDecoder::endOfInput() {
  FInputEnded = true;
}

void ReaderDecoder::restartFromStart() {
  restartAt(0);
  FDropUntil = -1;
  FFromStart = true;
}

void ReaderDecoder::restartAt(std::uint64_t time) {
  avcodec_flush_buffers(FCodec.get());
  FFromStart = false;
  FSwr.reset();
  FBaseTime = time;
  FSamplesOut = 0;
  FDropUntil = static_cast<std::int64_t>(time);
  FInputEnded = false;
  FFlushSent = false;
  FDrained = false;
  FSwrFlushed = false;
}

bool ReaderDecoder::ensureResampler(const AVFrame& frame) {
  AVChannelLayout in{};
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame.ch_layout.nb_channels <= 0)
    av_channel_layout_default(&in,
                              std::max(frame.ch_layout.nb_channels, FCodec->ch_layout.nb_channels));
  else
    av_channel_layout_copy(&in, &frame.ch_layout);
  if (FSwr != nullptr && FSwrFormat == frame.format && FSwrRate == frame.sample_rate &&
      av_channel_layout_compare(&in, &FSwrLayout) == 0) {
    av_channel_layout_uninit(&in);
    return true;
  }
  FSwr.reset();
  AVChannelLayout out{};
  av_channel_layout_default(&out, FFormat.nChannels);
  SwrContext* s = nullptr;
  const int r = swr_alloc_set_opts2(
      &s, &out, sampleFormatFor(FFormat.wBitsPerSample), static_cast<int>(FFormat.nSamplesPerSec),
      &in, static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
  av_channel_layout_uninit(&out);
  av::Resampler swr(s);
  if (r < 0 || swr == nullptr || swr_init(swr.get()) < 0) {
    av_channel_layout_uninit(&in);
    return false;
  }
  FSwr = std::move(swr);
  FSwrFormat = frame.format;
  FSwrRate = frame.sample_rate;
  av_channel_layout_uninit(&FSwrLayout);
  FSwrLayout = in; // takes over what in holds
  return true;
}

// Converts a decoded frame (or, with frame null, what the resampler still holds) into sample.
// False when nothing came out.
bool ReaderDecoder::convert(const AVFrame* frame, DecodedSample& sample) {
  if (frame != nullptr ? !ensureResampler(*frame) : FSwr == nullptr)
    return false;
  const int inSamples = frame != nullptr ? frame->nb_samples : 0;
  const int maxOut = swr_get_out_samples(FSwr.get(), inSamples);
  if (maxOut <= 0)
    return false;
  const std::uint32_t channels = FFormat.nChannels;
  const std::uint32_t unit = containerBytes(FFormat.wBitsPerSample);
  auto buffer = std::make_shared<TNSSBuffer>(static_cast<std::uint32_t>(maxOut) * channels * unit);
  std::uint8_t* dst = buffer->Data().data();
  const int n = swr_convert(
      FSwr.get(), &dst, maxOut,
      frame != nullptr ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr,
      inSamples);
  if (n <= 0)
    return false;
  auto count = static_cast<std::uint32_t>(n);
  if (FFormat.wBitsPerSample == 24) {
    // Packing forward never overtakes the reading position.
    for (std::uint32_t i = 0; i < count * channels; ++i)
      std::memmove(dst + i * 3, dst + i * 4 + 1, 3);
  }
  const std::uint32_t align = FFormat.nBlockAlign;

  const std::int64_t pts = frame != nullptr ? frame->best_effort_timestamp : AV_NOPTS_VALUE;
  if (FFromStart && FOriginPts == AV_NOPTS_VALUE)
    FOriginPts = pts;
  if (FDropUntil >= 0) {
    if (pts == AV_NOPTS_VALUE) {
      FDropUntil = -1;
    } else {
      const std::int64_t start = FOriginPts != AV_NOPTS_VALUE            ? FOriginPts
                                 : FStream->start_time != AV_NOPTS_VALUE ? FStream->start_time
                                                                         : 0;
      const std::int64_t frameTime = av_rescale_q(pts - start, FStream->time_base, kTicks);
      const std::int64_t late = FDropUntil - frameTime;
      if (late <= 0) {
        // The demuxer landed after the target: stamp what really comes.
        FBaseTime = static_cast<std::uint64_t>(std::max<std::int64_t>(frameTime, 0));
        FDropUntil = -1;
      } else {
        const auto drop =
            static_cast<std::uint64_t>(av_rescale(late, FFormat.nSamplesPerSec, kTicksPerSecond));
        if (drop >= count)
          return false;
        std::memmove(dst, dst + drop * align, (count - drop) * align);
        count -= static_cast<std::uint32_t>(drop);
        FDropUntil = -1;
      }
    }
  }

  buffer->SetLength(count * align);
  sample.time = timeAt(FSamplesOut);
  FSamplesOut += count;
  sample.duration = timeAt(FSamplesOut) - sample.time;
  sample.buffer = std::move(buffer);
  return true;
}

DecodeStep ReaderDecoder::next(DecodedSample& sample) {
  int errors = 0;
  while (!FDrained) {
    const int r = avcodec_receive_frame(FCodec.get(), FFrame.get());
    if (r == 0) {
      const bool produced = convert(FFrame.get(), sample);
      av_frame_unref(FFrame.get());
      if (produced)
        return DecodeStep::Sample;
      continue;
    }
    if (r == AVERROR(EAGAIN)) {
      if (!FInputEnded)
        return DecodeStep::NeedInput;
      if (FFlushSent) {
        FDrained = true;
        break;
      }
      avcodec_send_packet(FCodec.get(), nullptr);
      FFlushSent = true;
      continue;
    }
    // A broken frame is skipped; a decoder that only fails is finished.
    if (r == AVERROR_EOF || ++errors > 64)
      FDrained = true;
  }
  if (!FSwrFlushed) {
    FSwrFlushed = true;
    FDropUntil = -1;
    if (FSwr != nullptr && convert(nullptr, sample))
      return DecodeStep::Sample;
  }
  return DecodeStep::Finished;
}

void ReaderDecoder::trimToEnd(DecodedSample& sample, std::uint64_t end) const {
  if (sample.time + sample.duration <= end || sample.buffer == nullptr)
    return;
  const auto keep = static_cast<std::uint32_t>(av_rescale(
      static_cast<std::int64_t>(end - sample.time), FFormat.nSamplesPerSec, kTicksPerSecond));
  sample.buffer->SetLength(keep * FFormat.nBlockAlign);
  sample.duration = end - sample.time;
}

} // namespace sondrix
