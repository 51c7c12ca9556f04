#include "pcm_converter.h"

#include "av_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <stdexcept>
#include <string>

namespace sondrix {
namespace {

// 24-bit samples have no packed FFmpeg format; they travel as 32-bit.
AVSampleFormat sampleFormatFor(std::uint32_t bits) {
  switch (bits) {
  case 8:
    return AV_SAMPLE_FMT_U8;
  case 16:
    return AV_SAMPLE_FMT_S16;
  case 24:
  case 32:
    return AV_SAMPLE_FMT_S32;
  case 128 + 32:
    return AV_SAMPLE_FMT_FLT;
  default:
    return AV_SAMPLE_FMT_NONE;
  }
}

void checkFormat(const PcmFormat& f) {
  if (sampleFormatFor(f.BitsPerSample) == AV_SAMPLE_FMT_NONE || f.Channels < 1 || f.Channels > 8 ||
      f.SampleRate < 1 || f.SampleRate > 768000)
    throw std::runtime_error("Unsupported PCM format: " + std::to_string(f.SampleRate) + " Hz, " +
                             std::to_string(f.Channels) + " channels, " +
                             std::to_string(f.BitsPerSample) + " bits");
}

} // namespace

struct PcmConverter::Impl {
  av::Resampler swr;
  std::vector<std::uint8_t> carry; // partial input frame
  std::vector<std::uint8_t> wide;  // 24-bit input widened to 32
  std::vector<std::uint8_t> narrowOut;
};

PcmConverter::PcmConverter(PcmFormat in, PcmFormat out)
    : FIn(in), FOut(out), FImpl(std::make_unique<Impl>()) {
  checkFormat(in);
  checkFormat(out);
  AVChannelLayout inLayout, outLayout;
  av_channel_layout_default(&inLayout, static_cast<int>(in.Channels));
  av_channel_layout_default(&outLayout, static_cast<int>(out.Channels));
  SwrContext* raw = nullptr;
  int err = swr_alloc_set_opts2(
      &raw, &outLayout, sampleFormatFor(out.BitsPerSample), static_cast<int>(out.SampleRate),
      &inLayout, sampleFormatFor(in.BitsPerSample), static_cast<int>(in.SampleRate), 0, nullptr);
  FImpl->swr.reset(raw);
  if (err >= 0 && in.Channels == 1 && out.Channels == 2) {
    // A mono track is heard at its own level on both sides, not 3 dB down.
    const double matrix[2] = {1.0, 1.0};
    err = swr_set_matrix(raw, matrix, 1);
  }
  if (err >= 0)
    err = swr_init(raw);
  if (err < 0)
    throw std::runtime_error("Cannot convert the PCM format");
}

PcmConverter::~PcmConverter() = default;

void PcmConverter::Convert(const std::uint8_t* data, std::size_t bytes,
                           std::vector<std::uint8_t>& out) {
  Impl& m = *FImpl;
  const std::size_t frame = FIn.FrameSize();
  // Join a partial frame left by the previous block.
  std::vector<std::uint8_t> joined;
  if (!m.carry.empty()) {
    joined = std::move(m.carry);
    m.carry.clear();
    joined.insert(joined.end(), data, data + bytes);
    data = joined.data();
    bytes = joined.size();
  }
  const std::size_t frames = bytes / frame;
  m.carry.assign(data + frames * frame, data + bytes);
  if (frames == 0)
    return;

  const std::uint8_t* input = data;
  if (FIn.BitsPerSample == 24) {
    const std::size_t samples = frames * FIn.Channels;
    m.wide.resize(samples * 4);
    for (std::size_t i = 0; i < samples; ++i) {
      m.wide[i * 4] = 0;
      m.wide[i * 4 + 1] = data[i * 3];
      m.wide[i * 4 + 2] = data[i * 3 + 1];
      m.wide[i * 4 + 3] = data[i * 3 + 2];
    }
    input = m.wide.data();
  }

  const int outCapacity = swr_get_out_samples(m.swr.get(), static_cast<int>(frames));
  if (outCapacity < 0)
    throw std::runtime_error("Cannot convert the PCM format");
  const std::size_t outFrameBytes =
      FOut.Channels *
      static_cast<std::size_t>(av_get_bytes_per_sample(sampleFormatFor(FOut.BitsPerSample)));
  const std::size_t start = out.size();
  std::vector<std::uint8_t>& target = FOut.BitsPerSample == 24 ? m.narrowOut : out;
  const std::size_t base = FOut.BitsPerSample == 24 ? 0 : start;
  target.resize(base + static_cast<std::size_t>(outCapacity) * outFrameBytes);
  std::uint8_t* outPtr = target.data() + base;
  const int got = swr_convert(m.swr.get(), &outPtr, outCapacity, &input, static_cast<int>(frames));
  if (got < 0)
    throw std::runtime_error("Cannot convert the PCM format");
  target.resize(base + static_cast<std::size_t>(got) * outFrameBytes);
  if (FOut.BitsPerSample == 24) {
    const std::size_t samples = static_cast<std::size_t>(got) * FOut.Channels;
    out.resize(start + samples * 3);
    for (std::size_t i = 0; i < samples; ++i) {
      out[start + i * 3] = m.narrowOut[i * 4 + 1];
      out[start + i * 3 + 1] = m.narrowOut[i * 4 + 2];
      out[start + i * 3 + 2] = m.narrowOut[i * 4 + 3];
    }
  }
}

void PcmConverter::Drain(std::vector<std::uint8_t>& out) {
  Impl& m = *FImpl;
  m.carry.clear();
  const int pending = swr_get_out_samples(m.swr.get(), 0);
  if (pending <= 0)
    return;
  const std::size_t outFrameBytes =
      FOut.Channels *
      static_cast<std::size_t>(av_get_bytes_per_sample(sampleFormatFor(FOut.BitsPerSample)));
  std::vector<std::uint8_t> tmp(static_cast<std::size_t>(pending) * outFrameBytes);
  std::uint8_t* outPtr = tmp.data();
  const int got = swr_convert(m.swr.get(), &outPtr, pending, nullptr, 0);
  if (got <= 0)
    return;
  tmp.resize(static_cast<std::size_t>(got) * outFrameBytes);
  if (FOut.BitsPerSample == 24) {
    const std::size_t samples = static_cast<std::size_t>(got) * FOut.Channels;
    for (std::size_t i = 0; i < samples; ++i) {
      out.push_back(tmp[i * 4 + 1]);
      out.push_back(tmp[i * 4 + 2]);
      out.push_back(tmp[i * 4 + 3]);
    }
  } else {
    out.insert(out.end(), tmp.begin(), tmp.end());
  }
}

} // namespace sondrix
