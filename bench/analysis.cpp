// Analyses audio files as the station does ahead of play (decoding with the analysis' own MP3
// input, loudness, peak, cue points, where the ending fades) and prints, per file, the CPU time
// it took and how many times faster than real time that is. No cache is read or written.
//
// Usage: sondrix-analysis-bench FILE...

#include "bench_util.h"
#include "sound/analysis_cache.h"
#include "sound/track_scanner.h"
#include "station/analysis_input.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace sondrix;
  if (argc < 2) {
    std::fprintf(stderr, "usage: sondrix-analysis-bench FILE...\n");
    return 2;
  }
  int status = 0;
  std::printf("| file | length s | CPU s | x real time | LUFS | peak dBFS | cue in | cue out | "
              "fade from |\n|---|---|---|---|---|---|---|---|---|\n");
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    // One scanner per file: its thread's CPU time is the process's, less what main used.
    const double before = bench::processCpu();
    std::optional<TrackAnalysis> result;
    {
      TrackScanner scanner(makeAnalysisInput, AnalysisCache(""));
      scanner.Want({path});
      scanner.WaitIdle(std::chrono::minutes(10));
      result = scanner.Find(path);
    }
    const double cpu = bench::processCpu() - before;
    if (!result) {
      std::printf("| %s | cannot be read |\n", path.c_str());
      status = 1;
      continue;
    }
    std::printf("| %s | %.1f | %.3f | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", path.c_str(),
                result->Duration, cpu, result->Duration / cpu, result->Loudness, result->Peak,
                result->CueIn, result->CueOut, result->FadeStart);
  }
  return status;
}
