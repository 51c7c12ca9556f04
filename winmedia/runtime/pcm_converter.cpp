#include "pcm_converter.h"

#include "av_handles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
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

std::string describe(const PcmFormat& f) {
  return std::to_string(f.SampleRate) + " Hz, " + std::to_string(f.Channels) + " channels, " +
         std::to_string(f.BitsPerSample) + " bits";
}

void checkFormat(const PcmFormat& f) {
  if (f.SampleRate < PcmConverter::kMinRate)
    throw std::runtime_error(unplayableRateText(f.SampleRate));
  if (sampleFormatFor(f.BitsPerSample) == AV_SAMPLE_FMT_NONE || f.Channels < 1 ||
      f.Channels > PcmConverter::kMaxChannels || f.SampleRate > PcmConverter::kMaxRate)
    throw std::runtime_error("Unsupported PCM format: " + describe(f));
}

// Channels past the named layouts have no positions to mix by: each goes to one side in turn,
// scaled so that the sides cannot clip.
std::vector<double> foldMatrix(std::uint32_t in, std::uint32_t out) {
  std::vector<double> matrix(std::size_t{in} * out, 0.0);
  const std::uint32_t perSide = (in + out - 1) / out;
  for (std::uint32_t c = 0; c < in; ++c)
    matrix[std::size_t{c % out} * in + c] = 1.0 / perSide;
  return matrix;
}

// Input frames per swr_convert call, so that no call's output exceeds kMaxSliceFrames.
std::size_t sliceFrames(const PcmFormat& in, const PcmFormat& out) {
  const std::uint64_t frames =
      std::uint64_t{PcmConverter::kMaxSliceFrames} * in.SampleRate / out.SampleRate;
  return static_cast<std::size_t>(
      std::clamp<std::uint64_t>(frames, 1, PcmConverter::kMaxSliceFrames));
}

} // namespace

std::string unplayableRateText(std::uint32_t rate) {
  return "Unplayable sample rate: " + std::to_string(rate) + " Hz (below " +
         std::to_string(PcmConverter::kMinRate) + " Hz)";
}

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
  } else if (err >= 0 && in.Channels > kNamedLayoutChannels && out.Channels < in.Channels) {
    const std::vector<double> matrix = foldMatrix(in.Channels, out.Channels);
    err = swr_set_matrix(raw, matrix.data(), static_cast<int>(in.Channels));
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

  const std::size_t outFrameBytes =
      FOut.Channels *
      static_cast<std::size_t>(av_get_bytes_per_sample(sampleFormatFor(FOut.BitsPerSample)));
  const std::size_t start = out.size();
  std::vector<std::uint8_t>& target = FOut.BitsPerSample == 24 ? m.narrowOut : out;
  const std::size_t base = FOut.BitsPerSample == 24 ? 0 : start;
  target.resize(base);
  const std::size_t inFrameBytes =
      FIn.Channels *
      static_cast<std::size_t>(av_get_bytes_per_sample(sampleFormatFor(FIn.BitsPerSample)));
  const std::size_t slice = sliceFrames(FIn, FOut);
  std::size_t got = 0;
  for (std::size_t done = 0; done < frames;) {
    const int n = static_cast<int>(std::min(slice, frames - done));
    const int capacity = swr_get_out_samples(m.swr.get(), n);
    if (capacity < 0)
      throw std::runtime_error("Cannot convert the PCM format");
    target.resize(base + (got + static_cast<std::size_t>(capacity)) * outFrameBytes);
    std::uint8_t* outPtr = target.data() + base + got * outFrameBytes;
    const std::uint8_t* from = input + done * inFrameBytes;
    const int converted = swr_convert(m.swr.get(), &outPtr, capacity, &from, n);
    if (converted < 0)
      throw std::runtime_error("Cannot convert the PCM format");
    got += static_cast<std::size_t>(converted);
    done += static_cast<std::size_t>(n);
  }
  target.resize(base + got * outFrameBytes);
  if (FOut.BitsPerSample == 24) {
    const std::size_t samples = got * FOut.Channels;
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
