#include "station/track_probe.h"
#include "temp_folder.h"
#include "tests/winmedia/wav_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <system_error>
#include <vector>

namespace sondrix::testing {
namespace {

void writeWav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
              std::uint32_t frames) {
  const auto w = wavBytes(rate, channels, frames);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
}

TEST(TrackProblem, NamesWhatStopsAFileFromPlaying) {
  TempFolder dir;
  writeWav(dir / "tone.wav", 44100, 2, 22050);
  writeWav(dir / "ten.wav", 48000, 10, 4800);
  writeWav(dir / "silent.wav", 44100, 2, 0);
  writeWav(dir / "slow.wav", 1, 1, 4096);
  std::ofstream(dir / "j.mp3") << "hello";
  std::ofstream(dir / "empty.mp3");
  std::filesystem::create_directory(dir / "x.mp3");
  const struct {
    const char* name;
    std::string problem;
  } rows[] = {
      {"tone.wav", ""},
      {"ten.wav", ""},
      {"silent.wav", ""}, // opens and plays nothing: the list moves on, no fault
      {"slow.wav", "Unplayable sample rate: 1 Hz (below 1000 Hz)"},
      {"j.mp3", "Not a media file, or a damaged one"},
      {"empty.mp3", "The file is empty"},
      {"x.mp3", std::generic_category().message(EISDIR)},
      {"missing.mp3", std::generic_category().message(ENOENT)},
  };
  for (const auto& row : rows)
    EXPECT_EQ(trackProblem(dir / row.name), row.problem) << row.name;
}

} // namespace
} // namespace sondrix::testing
