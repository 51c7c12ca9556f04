#pragma once

// One owning handle per FFmpeg object. Only code under winmedia/runtime includes this.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

#include <memory>

namespace sondrix::av {

struct InputFormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputFormatFreer {
  void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
struct CodecContextFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct AudioFifoFreer {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
// The context's buffer may have been replaced by FFmpeg, so free whatever it holds now.
struct IOContextFreer {
  void operator()(AVIOContext* io) const {
    if (io != nullptr)
      av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

using InputFormatContext = std::unique_ptr<AVFormatContext, InputFormatCloser>;
using OutputFormatContext = std::unique_ptr<AVFormatContext, OutputFormatFreer>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Resampler = std::unique_ptr<SwrContext, SwrFreer>;
using AudioFifo = std::unique_ptr<AVAudioFifo, AudioFifoFreer>;
using IOContext = std::unique_ptr<AVIOContext, IOContextFreer>;

} // namespace sondrix::av
