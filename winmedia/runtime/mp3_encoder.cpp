#include "winmedia/runtime/mp3_encoder.h"

#include "winmedia/runtime/av_handles.h"
#include "winmedia/runtime/pcm_input.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <array>
#include <span>
#include <stdexcept>

namespace sondrix {

namespace {

constexpr char kInitError[] = "Failed to init MP3 encoder";
constexpr std::uint32_t kMinInputRate = 1000;
constexpr std::uint32_t kMaxInputRate = 384000;

constexpr std::array<std::uint32_t, 9> kSampleRates = {8000,  11025, 12000, 16000, 22050,
                                                       24000, 32000, 44100, 48000};
constexpr std::array<std::uint32_t, 14> kMpeg1Bitrates = {32,  40,  48,  56,  64,  80,  96,
                                                          112, 128, 160, 192, 224, 256, 320};
constexpr std::array<std::uint32_t, 14> kMpeg2Bitrates = {8,  16, 24, 32,  40,  48,  56,
                                                          64, 80, 96, 112, 128, 144, 160};
// LAME caps MPEG-2.5 (8 to 12 kHz) at 64 kbit/s and would quietly encode lower than asked.
constexpr std::array<std::uint32_t, 8> kMpeg25Bitrates = {8, 16, 24, 32, 40, 48, 56, 64};

// The MP3 rate nearest to `rate`; on a tie the higher one, which keeps more of the band.
std::uint32_t nearestSampleRate(std::uint32_t rate) {
  std::uint32_t best = kSampleRates.front();
  for (const std::uint32_t r : kSampleRates) {
    const auto distance = [rate](std::uint32_t x) { return x > rate ? x - rate : rate - x; };
    if (distance(r) <= distance(best))
      best = r;
  }
  return best;
}

// On a tie the lower one: a listener's link was sized for what was asked.
std::uint32_t nearestBitrate(std::uint32_t sampleRate, std::uint32_t bitrate) {
  const std::uint64_t wanted = bitrate < 1000 ? std::uint64_t{bitrate} * 1000 : bitrate;
  std::span<const std::uint32_t> table = kMpeg25Bitrates;
  if (sampleRate >= 32000)
    table = kMpeg1Bitrates;
  else if (sampleRate >= 16000)
    table = kMpeg2Bitrates;
  std::uint64_t best = std::uint64_t{table.front()} * 1000;
  for (const std::uint32_t kbps : table) {
    const std::uint64_t r = std::uint64_t{kbps} * 1000;
    const auto distance = [wanted](std::uint64_t x) {
      return x > wanted ? x - wanted : wanted - x;
    };
    if (distance(r) < distance(best))
      best = r;
  }
  return static_cast<std::uint32_t>(best);
}

// The packed format the resampler reads, and the encoder format that keeps its precision.
bool sampleFormats(const WAVEFORMATEX& wfx, AVSampleFormat* in, AVSampleFormat* encoder) {
  if (!inputSampleFormat(wfx, in))
    return false;
  *encoder = *in == AV_SAMPLE_FMT_FLT   ? AV_SAMPLE_FMT_FLTP
             : *in == AV_SAMPLE_FMT_S32 ? AV_SAMPLE_FMT_S32P
                                        : AV_SAMPLE_FMT_S16P;
  return true;
}

bool codecTakes(const AVCodec& codec, AVSampleFormat format) {
  if (codec.sample_fmts == nullptr)
    return false;
  for (const AVSampleFormat* f = codec.sample_fmts; *f != AV_SAMPLE_FMT_NONE; ++f)
    if (*f == format)
      return true;
  return false;
}

[[noreturn]] void fail(const char* what) {
  throw std::runtime_error(what);
}

} // namespace

struct TMp3Encoder::Impl {
  WAVEFORMATEX input;
  std::size_t frameBytes = 0; // of one interleaved input sample frame
  AVSampleFormat inputFormat = AV_SAMPLE_FMT_S16;
  std::uint32_t bitrate = 0;

  av::CodecContext codec;
  av::Resampler resampler;
  av::AudioFifo fifo;
  av::Frame frame;
  av::Packet packet;

  // The resampler's output, planar, reused across writes.
  std::uint8_t** converted = nullptr;
  int convertedCapacity = 0;

  std::vector<std::uint8_t> carry;   // a partial input sample frame from the last write
  std::vector<std::int32_t> widened; // 24-bit input as 32-bit
  std::int64_t nextPts = 0;          // in encoder samples
  bool finished = false;
  bool broken = false;

  ~Impl() { releaseConverted(); }

  void releaseConverted() {
    if (converted != nullptr) {
      av_freep(&converted[0]);
      av_freep(&converted);
    }
    convertedCapacity = 0;
  }

  bool reserveConverted(int samples) {
    if (samples <= convertedCapacity)
      return true;
    releaseConverted();
    if (av_samples_alloc_array_and_samples(&converted, nullptr, codec->ch_layout.nb_channels,
                                           samples, codec->sample_fmt, 0) < 0)
      return false;
    convertedCapacity = samples;
    return true;
  }

  bool open(const WAVEFORMATEX& wfx, std::uint32_t requestedBitrate) {
    input = wfx;
    AVSampleFormat encoderFormat = AV_SAMPLE_FMT_S16P;
    // Rates far outside MP3's are a broken header rather than audio worth resampling.
    if (!sampleFormats(input, &inputFormat, &encoderFormat) || input.nChannels < 1 ||
        input.nChannels > 2 || input.nSamplesPerSec < kMinInputRate ||
        input.nSamplesPerSec > kMaxInputRate)
      return false;
    frameBytes = static_cast<std::size_t>(input.nChannels) * (input.wBitsPerSample / 8);
    // A block alignment that disagrees with the sample layout means we would misread it.
    if (input.nBlockAlign != 0 && input.nBlockAlign != frameBytes)
      return false;

    const AVCodec* mp3 = avcodec_find_encoder_by_name("libmp3lame");
    if (mp3 == nullptr)
      return false;
    codec.reset(avcodec_alloc_context3(mp3));
    if (!codec)
      return false;
    const std::uint32_t rate = nearestSampleRate(input.nSamplesPerSec);
    bitrate = nearestBitrate(rate, requestedBitrate);
    codec->bit_rate = bitrate;
    codec->sample_rate = static_cast<int>(rate);
    av_channel_layout_default(&codec->ch_layout, input.nChannels);
    codec->sample_fmt = codecTakes(*mp3, encoderFormat) ? encoderFormat : mp3->sample_fmts[0];
    codec->time_base = AVRational{1, codec->sample_rate};
    // FFmpeg's wrapper already tells LAME to write no Xing/LAME info frame, and LAME writes
    // ID3 tags only when given some: the output is bare frames, as a live stream needs.
    if (avcodec_open2(codec.get(), mp3, nullptr) < 0 || codec->frame_size <= 0)
      return false;

    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &codec->ch_layout, codec->sample_fmt,
                                       codec->sample_rate, &codec->ch_layout, inputFormat,
                                       static_cast<int>(input.nSamplesPerSec), 0, nullptr);
    resampler.reset(swr);
    if (rc < 0 || swr_init(resampler.get()) < 0)
      return false;

    fifo.reset(av_audio_fifo_alloc(codec->sample_fmt, codec->ch_layout.nb_channels,
                                   codec->frame_size * 2));
    frame.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (!fifo || !frame || !packet)
      return false;
    frame->nb_samples = codec->frame_size;
    frame->format = codec->sample_fmt;
    frame->sample_rate = codec->sample_rate;
    return av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) >= 0 &&
           av_frame_get_buffer(frame.get(), 0) >= 0;
  }

  // libmp3lame hands out one whole frame per packet.
  void drainPackets(std::vector<std::uint8_t>& out) {
    for (;;) {
      const int rc = avcodec_receive_packet(codec.get(), packet.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
        return;
      if (rc < 0)
        fail("MP3 encoding failed");
      out.insert(out.end(), packet->data, packet->data + packet->size);
      av_packet_unref(packet.get());
    }
  }

  // Encodes the FIFO's whole frames; at the end also the last partial one.
  void encodeFifo(bool final, std::vector<std::uint8_t>& out) {
    const int frameSize = codec->frame_size;
    const bool smallLast = (codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    while (av_audio_fifo_size(fifo.get()) >= frameSize ||
           (final && av_audio_fifo_size(fifo.get()) > 0)) {
      if (av_frame_make_writable(frame.get()) < 0)
        fail("MP3 encoder out of memory");
      const int n =
          av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), frameSize);
      if (n <= 0)
        fail("MP3 encoder lost samples");
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
      if (avcodec_send_frame(codec.get(), frame.get()) < 0)
        fail("MP3 encoding failed");
      drainPackets(out);
    }
  }

  // Converts `frames` whole input sample frames into the FIFO (null: flush the resampler).
  void convert(const std::uint8_t* data, int frames) {
    const std::uint8_t* in = data;
    if (data != nullptr && input.wBitsPerSample == 24) {
      in = widen24(data, static_cast<std::size_t>(frames) * input.nChannels, widened);
    }
    for (;;) {
      const int room = swr_get_out_samples(resampler.get(), data != nullptr ? frames : 0);
      if (room < 0)
        fail("MP3 encoder could not convert samples");
      if (room == 0)
        return;
      if (!reserveConverted(room))
        fail("MP3 encoder out of memory");
      const std::uint8_t* planes[1] = {in};
      const int got = swr_convert(resampler.get(), converted, room,
                                  data != nullptr ? planes : nullptr, data != nullptr ? frames : 0);
      if (got < 0)
        fail("MP3 encoder could not convert samples");
      if (got > 0 &&
          av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(converted), got) < got)
        fail("MP3 encoder out of memory");
      // Input is taken in one call; a flush may need several.
      if (data != nullptr || got == 0)
        return;
    }
  }

  void encodeFrames(const std::uint8_t* data, std::size_t frames, std::vector<std::uint8_t>& out) {
    // Bounded slices keep the conversion buffers small whatever the caller hands in.
    constexpr std::size_t kSlice = 4096;
    while (frames > 0) {
      const std::size_t n = std::min(frames, kSlice);
      convert(data, static_cast<int>(n));
      encodeFifo(false, out);
      data += n * frameBytes;
      frames -= n;
    }
  }

  void write(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
    if (!carry.empty()) {
      const std::size_t take = std::min(size, frameBytes - carry.size());
      carry.insert(carry.end(), data, data + take);
      data += take;
      size -= take;
      if (carry.size() < frameBytes)
        return;
      encodeFrames(carry.data(), 1, out);
      carry.clear();
    }
    const std::size_t whole = size / frameBytes;
    encodeFrames(data, whole, out);
    carry.assign(data + whole * frameBytes, data + size);
  }

  void finish(std::vector<std::uint8_t>& out) {
    // A partial sample frame is dropped: padding it would invent a sample from half of one.
    carry.clear();
    convert(nullptr, 0);
    encodeFifo(true, out);
    // Nothing was heard, so nothing is sent: a flush alone would make frames of silence.
    if (nextPts == 0)
      return;
    if (avcodec_send_frame(codec.get(), nullptr) < 0)
      fail("MP3 encoding failed");
    drainPackets(out);
  }

  // Runs one step; on failure out keeps only what it had, and the encoder refuses more work
  // (its state is unknown, so later frames could not be trusted).
  template <typename Step> void guarded(std::vector<std::uint8_t>& out, Step step) {
    if (broken)
      fail("MP3 encoder failed earlier");
    const std::size_t before = out.size();
    try {
      step();
    } catch (...) {
      broken = true;
      out.resize(before);
      throw;
    }
  }
};

TMp3Encoder::TMp3Encoder(const WAVEFORMATEX& input, std::uint32_t bitrate)
    : FImpl(std::make_unique<Impl>()) {
  if (!FImpl->open(input, bitrate))
    fail(kInitError);
}

TMp3Encoder::~TMp3Encoder() = default;

void TMp3Encoder::Write(const std::uint8_t* data, std::size_t size,
                        std::vector<std::uint8_t>& out) {
  if (FImpl->finished)
    fail("MP3 encoder already finished");
  if (size == 0)
    return;
  if (data == nullptr)
    fail("MP3 encoder given no data");
  FImpl->guarded(out, [&] { FImpl->write(data, size, out); });
}

void TMp3Encoder::Finish(std::vector<std::uint8_t>& out) {
  if (FImpl->finished)
    return;
  FImpl->guarded(out, [&] { FImpl->finish(out); });
  FImpl->finished = true;
}

std::uint32_t TMp3Encoder::Bitrate() const {
  return FImpl->bitrate;
}

std::uint32_t TMp3Encoder::SampleRate() const {
  return static_cast<std::uint32_t>(FImpl->codec->sample_rate);
}

std::uint16_t TMp3Encoder::Channels() const {
  return static_cast<std::uint16_t>(FImpl->codec->ch_layout.nb_channels);
}

} // namespace sondrix
