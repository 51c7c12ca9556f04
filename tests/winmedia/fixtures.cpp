#include "fixtures.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sondrix::testing {

namespace {

std::string number(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

// Runs a program without a shell; returns its exit status and what it wrote to stderr.
int run(const std::vector<std::string>& args, const std::filesystem::path& log,
        std::string& errors) {
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errors = "cannot start " + args[0];
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::ifstream in(log);
  errors.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::filesystem::remove(log);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs ffmpeg with args, writing path.
void encode(std::vector<std::string> args, const std::filesystem::path& path) {
  args.push_back(path.string());
  std::string errors;
  if (run(args, path.string() + ".log", errors) != 0) {
    std::filesystem::remove(path);
    throw std::runtime_error("ffmpeg could not write " + path.string() + ": " + errors);
  }
}

} // namespace

void makeToneFile(const std::filesystem::path& path, const ToneOptions& options) {
  std::vector<std::string> args{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel",
                                "error",  "-y",           "-f",       "lavfi"};
  if (options.expression.empty()) {
    args.push_back("-i");
    args.push_back("sine=frequency=" + number(options.frequency) + ":sample_rate=" +
                   std::to_string(options.sampleRate) + ":duration=" + number(options.seconds));
  } else {
    args.push_back("-i");
    args.push_back("aevalsrc=" + options.expression + ":s=" + std::to_string(options.sampleRate) +
                   ":d=" + number(options.seconds));
  }
  args.insert(args.end(), {"-ac", std::to_string(options.channels)});
  args.insert(args.end(), options.codecArgs.begin(), options.codecArgs.end());
  for (const auto& [key, value] : options.metadata)
    args.insert(args.end(), {"-metadata", key + "=" + value});
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());

  // ctest runs every test in a process of its own, so a suite's files would be encoded again
  // for each of its tests; there each distinct file is encoded once per build tree and copied.
  const char* root = std::getenv("SONDRIX_TEST_TMP");
  if (root == nullptr || *root == '\0') {
    encode(args, path);
    return;
  }
  std::string key;
  for (const std::string& a : args)
    key += a + '\n';
  std::ostringstream name;
  name << std::hex << std::hash<std::string>{}(key) << path.extension().string();
  const std::filesystem::path folder = std::filesystem::path(root) / "tones";
  const std::filesystem::path cached = folder / name.str();
  if (!std::filesystem::exists(cached)) {
    std::filesystem::create_directories(folder);
    // Written aside and renamed, so a test running alongside never copies half a file.
    const std::filesystem::path part = folder / (std::to_string(getpid()) + "-" + name.str());
    encode(args, part);
    std::filesystem::rename(part, cached);
  }
  std::filesystem::copy_file(cached, path, std::filesystem::copy_options::overwrite_existing);
}

void makeToneFile(const std::filesystem::path& path, std::vector<std::string> codecArgs) {
  ToneOptions options;
  options.codecArgs = std::move(codecArgs);
  makeToneFile(path, options);
}

void appendId3v1(const std::filesystem::path& path, const std::string& title,
                 const std::string& artist, const std::string& album, const std::string& year,
                 int track, int genre) {
  std::vector<std::uint8_t> tag(128, 0);
  const auto put = [&](std::size_t at, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width && i < text.size(); ++i)
      tag[at + i] = static_cast<std::uint8_t>(text[i]);
  };
  put(0, 3, "TAG");
  put(3, 30, title);
  put(33, 30, artist);
  put(63, 30, album);
  put(93, 4, year);
  tag[125] = 0;
  tag[126] = static_cast<std::uint8_t>(track);
  tag[127] = static_cast<std::uint8_t>(genre);
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(tag.data()), static_cast<std::streamsize>(tag.size()));
  if (!out)
    throw std::runtime_error("cannot append to " + path.string());
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TempDir::TempDir(const std::string& name) {
  const char* root = std::getenv("SONDRIX_TEST_TMP");
  const std::filesystem::path base = root != nullptr && *root != '\0'
                                         ? std::filesystem::path(root)
                                         : std::filesystem::temp_directory_path();
  std::filesystem::create_directories(base);
  std::string pattern = (base / (name + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a directory under " + base.string());
  FPath = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(FPath, ec);
}

} // namespace sondrix::testing
