#pragma once

// Audio files for tests, generated with the ffmpeg command-line tool.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace sondrix::testing {

struct ToneOptions {
  double frequency = 440.0; // Hz, of a sine tone
  double seconds = 2.0;
  int sampleRate = 44100;
  int channels = 2;
  // When set, an aevalsrc expression used instead of the sine ("|" separates channels).
  std::string expression;
  // Encoder options, e.g. {"-c:a", "libmp3lame", "-b:a", "128k"}.
  std::vector<std::string> codecArgs;
  // Tags, each written as -metadata key=value.
  std::vector<std::pair<std::string, std::string>> metadata;
  // Anything else, placed just before the output path (e.g. {"-id3v2_version", "3"}).
  std::vector<std::string> extraArgs;
};

// Writes the file; throws std::runtime_error with ffmpeg's message when it fails.
void makeToneFile(const std::filesystem::path& path, const ToneOptions& options);
// A 2-second 440 Hz stereo 44.1 kHz tone with the given encoder options.
void makeToneFile(const std::filesystem::path& path, std::vector<std::string> codecArgs);

// Appends a 128-byte ID3v1.1 tag (texts cut to their fields; genre is the ID3v1 number).
void appendId3v1(const std::filesystem::path& path, const std::string& title,
                 const std::string& artist, const std::string& album, const std::string& year,
                 int track, int genre);

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);

// A fresh directory under the test temp root ($SONDRIX_TEST_TMP, else the system's), removed
// with everything in it when the object goes.
class TempDir {
public:
  explicit TempDir(const std::string& name = "sondrix-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return FPath; }
  std::filesystem::path path(const std::string& file) const { return FPath / file; }
  std::filesystem::path operator/(const std::string& file) const { return FPath / file; }

private:
  std::filesystem::path FPath;
};

} // namespace sondrix::testing
