#pragma once

// Helpers of the CPU-time benchmarks that compare our chain with the ffmpeg tool.

#include <filesystem>
#include <memory>
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

// What a CPU-time benchmark works on: "-n REPETITIONS -s SECONDS [FILE.mp3]" read from the
// command line; without FILE, a SECONDS-long MP3 generated into Temp.
struct BenchInput {
  int Repetitions = 5;
  std::string File;
  std::unique_ptr<TempFolder> Temp; // always there, for outputs too
};

// Fills input from the command line, generating the MP3 if needed. Returns the exit status
// for main when the benchmark cannot run (2 bad command line, 1 no input), else -1.
int prepareBenchInput(int argc, char** argv, const std::string& name, BenchInput& input);

} // namespace sondrix::bench
