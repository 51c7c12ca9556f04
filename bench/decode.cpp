// Decodes one long MP3 through TMP3In into a null consumer and with the ffmpeg tool, several
// times, and prints the CPU time (user + system) of each and their ratio.
//
// Usage: sondrix-decode-bench [-n REPETITIONS] [-s SECONDS] [FILE.mp3]
// Without FILE, a SECONDS-long (default 600) stereo 44.1 kHz 128k MP3 is generated with the
// ffmpeg tool into a temporary directory, removed at the end.

#include "winmedia/mp3_in.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuSeconds(const rusage& r) {
  return seconds(r.ru_utime) + seconds(r.ru_stime);
}

double threadCpu() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return cpuSeconds(r);
}

// Runs a program (no shell) with stdin and stdout on /dev/null; returns its exit status and
// its CPU time, or -1 when it cannot run.
int runChild(const std::vector<std::string>& args, double& cpu) {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    return -1;
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0)
    if (errno != EINTR)
      return -1;
  cpu = cpuSeconds(usage);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
  int repetitions = 5;
  int length = 600;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "-n" || a == "-s") && i + 1 < argc) {
      (a == "-n" ? repetitions : length) = std::max(1, std::atoi(argv[++i]));
    } else if (!a.empty() && a[0] != '-') {
      file = a;
    } else {
      std::fprintf(stderr, "usage: %s [-n REPETITIONS] [-s SECONDS] [FILE.mp3]\n", argv[0]);
      return 2;
    }
  }

  std::filesystem::path tempDir;
  if (file.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sondrix-decode-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      return 1;
    }
    tempDir = pattern;
    file = (tempDir / "long.mp3").string();
    std::printf("generating a %d s MP3 ...\n", length);
    std::fflush(stdout);
    // A tone, a sweep and a little noise: something for every band of the encoder.
    const std::string source =
        "aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*(200+3*t)*t)+0.05*(2*random(0)-1)|"
        "0.4*sin(2*PI*660*t)+0.2*sin(2*PI*(300+2*t)*t)+0.05*(2*random(1)-1):s=44100:d=" +
        std::to_string(length);
    double cpu = 0;
    if (runChild({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                  "-i", source, "-c:a", "libmp3lame", "-b:a", "128k", file},
                 cpu) != 0) {
      std::fprintf(stderr, "ffmpeg could not write %s\n", file.c_str());
      std::filesystem::remove_all(tempDir);
      return 1;
    }
  }

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
  if (!tempDir.empty())
    std::filesystem::remove_all(tempDir);
  return status;
}
