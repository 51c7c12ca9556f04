// CPU cost of the MP3 stream flavour: encodes SECONDS of a 440 Hz 44.1 kHz stereo 16-bit sine
// to constant-bitrate MP3 with TMp3Encoder (in 100 ms writes, as the chain hands them over),
// then has the ffmpeg tool encode the same tone with libmp3lame to a null output, and prints
// the CPU time (user + system) of each as a share of one core at real time.
//
// Usage: sondrix-mp3-bench [-s SECONDS] [-b KBPS]   (defaults: 3600 s, 128 kbit/s)

#include "bench_util.h"
#include "winmedia/runtime/mp3_encoder.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace {

using namespace sondrix;
using namespace sondrix::bench;

constexpr std::uint32_t kRate = 44100;
constexpr double kFrequency = 440.0;

// One second of the tone: 440 Hz has a whole number of periods in it, so it loops cleanly.
std::vector<std::uint8_t> oneSecond() {
  std::vector<std::uint8_t> pcm(kRate * 4);
  for (std::uint32_t i = 0; i < kRate; ++i) {
    const auto v = static_cast<std::int16_t>(
        std::lround(0.125 * 32767 * std::sin(2 * std::numbers::pi * kFrequency * i / kRate)));
    const auto u = static_cast<std::uint16_t>(v);
    for (int c = 0; c < 2; ++c) {
      pcm[i * 4 + c * 2] = static_cast<std::uint8_t>(u);
      pcm[i * 4 + c * 2 + 1] = static_cast<std::uint8_t>(u >> 8);
    }
  }
  return pcm;
}

} // namespace

int main(int argc, char** argv) {
  int seconds = 3600;
  std::uint32_t kbps = 128;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "-s")
      seconds = std::atoi(argv[i + 1]);
    else if (option == "-b")
      kbps = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
    else
      seconds = 0;
  }
  if (seconds <= 0 || kbps == 0 || argc % 2 == 0) {
    std::fprintf(stderr, "usage: sondrix-mp3-bench [-s SECONDS] [-b KBPS]\n");
    return 2;
  }

  WAVEFORMATEX wfx;
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = 2;
  wfx.nSamplesPerSec = kRate;
  wfx.wBitsPerSample = 16;
  wfx.nBlockAlign = 4;
  wfx.nAvgBytesPerSec = kRate * 4;
  const std::vector<std::uint8_t> second = oneSecond();
  const std::size_t block = second.size() / 10;
  std::vector<std::uint8_t> out;
  std::uint64_t bytes = 0;
  double ours = 0;
  try {
    TMp3Encoder encoder(wfx, kbps);
    const double start = threadCpu();
    for (int s = 0; s < seconds; ++s) {
      for (std::size_t at = 0; at < second.size(); at += block) {
        out.clear();
        encoder.Write(second.data() + at, block, out);
        bytes += out.size();
      }
    }
    out.clear();
    encoder.Finish(out);
    bytes += out.size();
    ours = threadCpu() - start;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TMp3Encoder failed: %s\n", e.what());
    return 1;
  }

  double theirs = 0;
  const std::string source =
      "sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds);
  if (runChild({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                source, "-ac", "2", "-c:a", "libmp3lame", "-b:a", std::to_string(kbps) + "k", "-f",
                "null", "-"},
               theirs) != 0) {
    std::fprintf(stderr, "ffmpeg could not encode the tone\n");
    return 1;
  }
  const double audio = seconds;
  std::printf("audio=%d s, %u kbit/s, 44.1 kHz stereo\n", seconds, kbps);
  std::printf("TMp3Encoder: %.2f s CPU, %.2f %% of a core at real time (%llu bytes)\n", ours,
              100 * ours / audio, static_cast<unsigned long long>(bytes));
  std::printf("ffmpeg tool: %.2f s CPU, %.2f %% of a core at real time\n", theirs,
              100 * theirs / audio);
  std::printf("ratio ours/ffmpeg: %.3f\n", ours / theirs);
  return 0;
}
