#pragma once

// Decoding of one audio output to PCM. Runtime-internal: includes FFmpeg.

#include "winmedia/runtime/av_handles.h"
#include "winmedia/runtime/media_types.h"
#include "winmedia/runtime/reader_formats.h"

#include <cstdint>
#include <memory>

namespace sondrix {

enum class DecodeStep { Sample, NeedInput, Finished };

struct DecodedSample {
  std::shared_ptr<INSSBuffer> buffer;
  std::uint64_t time = 0;     // 100 ns, from the start of the media
  std::uint64_t duration = 0; // 100 ns
};

// One decoder and the converter to the output's current PCM format. Samples are stamped by
// counting converted frames from the last restart, so a straight read has no gaps or overlaps.
// Single-threaded, like the reader that owns it.
class ReaderDecoder {
public:
  // Empty when FFmpeg has no decoder for the stream or cannot open it.
  static std::unique_ptr<ReaderDecoder> open(AVStream* stream);
  ~ReaderDecoder() { av_channel_layout_uninit(&FSwrLayout); }
  ReaderDecoder(const ReaderDecoder&) = delete;
  ReaderDecoder& operator=(const ReaderDecoder&) = delete;

  ReaderSourceAudio source() const;
  // Samples after this are delivered in format; the running time goes on where it was.
  void setOutputFormat(const WAVEFORMATEX& format);
  // A packet that does not decode is skipped.
  void feed(const AVPacket* packet);
  void endOfInput();
  DecodeStep next(DecodedSample& sample);
  // The demuxer has moved to just before time: forget buffered data and drop what precedes it.
  void restartAt(std::uint64_t time);
  // Reading starts again from the beginning of the media, as after the open.
  void restartFromStart();
  // True until a frame decoded from the start has shown where the media's time 0 lies.
  bool needsOrigin() const { return FOriginPts == AV_NOPTS_VALUE; }
  // Shortens sample so that it ends at end.
  void trimToEnd(DecodedSample& sample, std::uint64_t end) const;

private:
  explicit ReaderDecoder(AVStream* stream) : FStream(stream) {}
  bool ensureResampler(const AVFrame& frame);
  bool convert(const AVFrame* frame, DecodedSample& sample);
  std::uint64_t timeAt(std::uint64_t samples) const;

  AVStream* FStream;
  av::CodecContext FCodec;
  av::Frame FFrame;
  av::Resampler FSwr;
  // What FSwr was built for.
  int FSwrFormat = -1;
  int FSwrRate = 0;
  AVChannelLayout FSwrLayout{};
  WAVEFORMATEX FFormat;
  std::uint64_t FBaseTime = 0;
  std::uint64_t FSamplesOut = 0;
  std::int64_t FDropUntil = -1; // 100 ns; -1 when nothing is to be dropped
  // Time stamp of the first frame decoded from the start: decoders with a delay (WMA) put it
  // after the stream's start, and a straight read counts from there.
  std::int64_t FOriginPts = AV_NOPTS_VALUE;
  bool FFromStart = true;
  bool FInputEnded = false;
  bool FFlushSent = false;
  bool FDrained = false;
  bool FSwrFlushed = false;
};

} // namespace sondrix
