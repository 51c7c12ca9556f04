// Decodes one long MP3 through TMP3In into a null consumer and with the ffmpeg tool, several
// times, and prints the CPU time (user + system) of each and their ratio.
//
// Usage: sondrix-decode-bench [-n REPETITIONS] [-s SECONDS] [FILE.mp3]
// Without FILE, a SECONDS-long (default 600) stereo 44.1 kHz 128k MP3 is generated with the
// ffmpeg tool into a temporary directory, removed at the end.

#include "bench_util.h"
#include "winmedia/mp3_in.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sondrix::bench;

// One whole run through the input, as an output's worker pulls it: 80 ms blocks.
double decodeOurs(const std::string& file, std::uint64_t& bytes) {
  auto in = sondrix::MakeComponent<sondrix::TMP3In>();
  in->SetFileName(file);
  const double start = threadCpu();
  in->Init();
  const std::uint32_t block =
      in->SampleRate() * in->Channels() * (in->BitsPerSample() / 8) / 1000 * 80;
  std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(block, 4));
  bytes = 0;
  std::uint8_t sink = 0;
  for (bool eof = false; !eof;) {
    const std::uint32_t n =
        in->FillBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()), eof);
    bytes += n;
    if (n > 0)
      sink ^= buffer[n - 1];
  }
  in->Flush();
  const double used = threadCpu() - start;
  // Keeps the consumer's reads from being optimised away.
  if (sink == 0x5A && bytes == 1)
    std::puts("");
  return used;
}

} // namespace

int main(int argc, char** argv) {
  BenchInput input;
  if (const int status = prepareBenchInput(argc, argv, "decode", input); status >= 0)
    return status;
  const int repetitions = input.Repetitions;
  const std::string& file = input.File;

  std::vector<double> ours, theirs;
  std::uint64_t bytes = 0;
  int status = 0;
  for (int r = 0; r < repetitions; ++r) {
    ours.push_back(decodeOurs(file, bytes));
    double cpu = 0;
    if (runChild({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", file, "-f",
                  "s16le", "-y", "/dev/null"},
                 cpu) != 0) {
      std::fprintf(stderr, "ffmpeg could not decode %s\n", file.c_str());
      status = 1;
      break;
    }
    theirs.push_back(cpu);
    std::printf("run %d: TMP3In %.3f s CPU (%.1f s of audio), ffmpeg %.3f s CPU, ratio %.3f\n",
                r + 1, ours.back(), static_cast<double>(bytes) / 176400.0, theirs.back(),
                ours.back() / theirs.back());
    std::fflush(stdout);
  }
  if (status == 0) {
    const double a = median(ours);
    const double b = median(theirs);
    std::printf("median: TMP3In %.3f s, ffmpeg %.3f s, ratio %.3f (target <= 1.15)\n", a, b, a / b);
  }
  return status;
}
