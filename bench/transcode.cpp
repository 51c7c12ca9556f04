// Transcodes one long MP3 to 128 kbit/s WMA through the station's chain (MP3 input → format
// converter → WMA file output) and with the ffmpeg tool, several times, and prints the CPU
// time (user + system) of each and their ratio.
//
// Usage: sondrix-transcode-bench [-n REPETITIONS] [-s SECONDS] [FILE.mp3]
// Without FILE, a SECONDS-long (default 600) stereo 44.1 kHz 128k MP3 is generated with the
// ffmpeg tool into a temporary directory, removed at the end.

#include "bench_util.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wma_out.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace sondrix;
using namespace sondrix::bench;

// One whole run of the chain on this thread, as the output's worker would do it.
double transcodeOurs(const std::string& in, const std::string& out, std::uintmax_t& written) {
  auto owner = MakeComponent<TComponent>();
  auto* mp3 = new TMP3In(owner.get());
  mp3->SetFileName(in);
  mp3->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  mp3->SetHighPrecision(true);
  auto* conv = new TAuFormatConverter(owner.get());
  conv->SetInput(mp3);
  auto* wma = new TWMAOut(owner.get());
  wma->SetInput(conv);
  wma->SetFileName(out);
  wma->SetDesiredBitrate(128);
  const double start = processCpu();
  wma->BlockingRun();
  const double used = processCpu() - start;
  written = std::filesystem::file_size(out);
  return used;
}

} // namespace

int main(int argc, char** argv) {
  BenchInput input;
  if (const int status = prepareBenchInput(argc, argv, "transcode", input); status >= 0)
    return status;
  const int repetitions = input.Repetitions;
  const std::string& file = input.File;
  const std::string oursOut = (input.Temp->Path() / "ours.wma").string();
  const std::string theirsOut = (input.Temp->Path() / "theirs.wma").string();
  std::vector<double> ours, theirs;
  for (int r = 0; r < repetitions; ++r) {
    std::uintmax_t written = 0;
    try {
      ours.push_back(transcodeOurs(file, oursOut, written));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "our chain failed: %s\n", e.what());
      return 1;
    }
    double cpu = 0;
    if (runChild({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", file,
                  "-c:a", "wmav2", "-b:a", "128k", theirsOut},
                 cpu) != 0) {
      std::fprintf(stderr, "ffmpeg could not transcode %s\n", file.c_str());
      return 1;
    }
    theirs.push_back(cpu);
    std::printf("run %d: ours %.3f s CPU (%ju bytes), ffmpeg %.3f s CPU (%ju bytes), ratio %.3f\n",
                r + 1, ours.back(), written, theirs.back(), std::filesystem::file_size(theirsOut),
                ours.back() / theirs.back());
    std::fflush(stdout);
  }
  const double a = median(ours);
  const double b = median(theirs);
  std::printf("median: ours %.3f s, ffmpeg %.3f s, ratio %.3f (target <= 1.15)\n", a, b, a / b);
  return 0;
}
