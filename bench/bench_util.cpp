#include "bench_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sondrix::bench {
namespace {

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuSeconds(const rusage& r) {
  return seconds(r.ru_utime) + seconds(r.ru_stime);
}

} // namespace

double threadCpu() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return cpuSeconds(r);
}

double processCpu() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return cpuSeconds(r);
}

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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a temporary folder");
  FPath = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

bool makeLongMp3(const std::string& file, int seconds) {
  const std::string source =
      "aevalsrc=0.4*sin(2*PI*440*t)+0.2*sin(2*PI*(200+3*t)*t)+0.05*(2*random(0)-1)|"
      "0.4*sin(2*PI*660*t)+0.2*sin(2*PI*(300+2*t)*t)+0.05*(2*random(1)-1):s=44100:d=" +
      std::to_string(seconds);
  double cpu = 0;
  return runChild({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                   "-i", source, "-c:a", "libmp3lame", "-b:a", "128k", file},
                  cpu) == 0;
}

int prepareBenchInput(int argc, char** argv, const std::string& name, BenchInput& input) {
  int seconds = 600;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "-n" || a == "-s") && i + 1 < argc) {
      (a == "-n" ? input.Repetitions : seconds) = std::max(1, std::atoi(argv[++i]));
    } else if (!a.empty() && a[0] != '-') {
      input.File = a;
    } else {
      std::fprintf(stderr, "usage: %s [-n REPETITIONS] [-s SECONDS] [FILE.mp3]\n", argv[0]);
      return 2;
    }
  }
  input.Temp = std::make_unique<TempFolder>("sondrix-" + name + "-");
  if (!input.File.empty())
    return -1;
  input.File = (input.Temp->Path() / "long.mp3").string();
  std::printf("generating a %d s MP3 ...\n", seconds);
  std::fflush(stdout);
  if (!makeLongMp3(input.File, seconds)) {
    std::fprintf(stderr, "ffmpeg could not write %s\n", input.File.c_str());
    return 1;
  }
  return -1;
}

} // namespace sondrix::bench
