#pragma once

// Helpers of the CPU-time benchmarks that compare our chain with the ffmpeg tool.

#include <filesystem>
#include <string>
#include <vector>

namespace sondrix::bench {

// User + system CPU seconds of the calling thread / of this whole process so far.
double threadCpu();
double processCpu();

// Runs a program (no shell) with stdin and stdout on /dev/null; returns its exit status and
// its CPU time, or -1 when it cannot run.
int runChild(const std::vector<std::string>& args, double& cpu);

double median(std::vector<double> v);

// A temporary folder, removed with everything in it when this goes.
class TempFolder {
public:
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return FPath; }

private:
  std::filesystem::path FPath;
};

// Writes a `seconds`-long stereo 44.1 kHz 128k MP3 of tones, a sweep and a little noise
// (something for every band of the encoder). Returns false if ffmpeg fails.
bool makeLongMp3(const std::string& file, int seconds);

// Parses "-n REPETITIONS -s SECONDS [FILE]"; returns false on a bad command line.
bool parseBenchArgs(int argc, char** argv, int& repetitions, int& seconds, std::string& file);

} // namespace sondrix::bench
