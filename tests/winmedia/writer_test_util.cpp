#include "writer_test_util.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace sondrix::writer_test {

namespace fs = std::filesystem;

int runCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return -1;
  std::string text;
  std::array<char, 4096> chunk;
  std::size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    text.append(chunk.data(), n);
  const int status = pclose(pipe);
  if (output != nullptr)
    *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::uint8_t> tonePcm(std::uint32_t sampleRate, std::uint16_t channels,
                                  std::uint16_t bits, double seconds, double frequency,
                                  double amplitude) {
  const auto frames = static_cast<std::size_t>(std::llround(seconds * sampleRate));
  const std::size_t bytesPerSample = bits / 8;
  std::vector<std::uint8_t> pcm(frames * channels * bytesPerSample);
  const double full = std::ldexp(1.0, bits - 1) - 1;
  std::uint8_t* out = pcm.data();
  for (std::size_t i = 0; i < frames; ++i) {
    const double value = amplitude * std::sin(2 * std::numbers::pi * frequency *
                                              static_cast<double>(i) / sampleRate);
    const auto sample = static_cast<std::int64_t>(std::llround(value * full));
    for (std::uint16_t c = 0; c < channels; ++c) {
      auto v = static_cast<std::uint64_t>(sample);
      if (bits == 8)
        v = static_cast<std::uint64_t>(sample + 128);
      for (std::size_t b = 0; b < bytesPerSample; ++b)
        *out++ = static_cast<std::uint8_t>(v >> (8 * b));
    }
  }
  return pcm;
}

std::map<std::string, std::string> probe(const fs::path& file) {
  std::map<std::string, std::string> result;
  std::string text;
  const std::string command = "ffprobe -v error -show_entries "
                              "stream=codec_name,sample_rate,channels,bit_rate:format=duration,"
                              "bit_rate:format_tags -of flat '" +
                              file.string() + "' 2>/dev/null";
  if (runCommand(command, &text) != 0)
    return result;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (key.rfind("streams.stream.0.", 0) == 0)
      result[key.substr(17)] = value;
    else if (key.rfind("format.tags.", 0) == 0)
      result["tag:" + key.substr(12)] = value;
    else if (key == "format.duration")
      result["duration"] = value;
    else if (key == "format.bit_rate")
      result["format_bit_rate"] = value;
  }
  return result;
}

std::vector<std::int16_t> decodeS16(const fs::path& file, std::uint32_t sampleRate,
                                    std::uint16_t channels) {
  const fs::path raw = file.string() + ".s16";
  const std::string command = "ffmpeg -nostdin -v error -y -i '" + file.string() +
                              "' -f s16le -acodec pcm_s16le -ar " + std::to_string(sampleRate) +
                              " -ac " + std::to_string(channels) + " '" + raw.string() + "'";
  if (runCommand(command) != 0)
    return {};
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                           (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
  return samples;
}

double dominantFrequency(const std::vector<std::int16_t>& samples, std::uint16_t channels,
                         std::uint32_t sampleRate, std::size_t skip) {
  // Both ends are left out: the codec's start-up and the padding of its last frame.
  const std::size_t frames = samples.size() / channels - std::min(skip, samples.size() / channels);
  if (frames <= skip + 1)
    return 0;
  // Crossings with hysteresis, so coding noise around zero does not count twice.
  constexpr int kThreshold = 1000;
  std::size_t crossings = 0;
  int side = 0;
  for (std::size_t i = skip; i < frames; ++i) {
    const int v = samples[i * channels];
    const int now = v > kThreshold ? 1 : v < -kThreshold ? -1 : side;
    if (side != 0 && now != side)
      ++crossings;
    side = now;
  }
  const double seconds = static_cast<double>(frames - skip) / sampleRate;
  return crossings / 2.0 / seconds;
}

double rms(const std::vector<std::int16_t>& samples, std::uint16_t channels, std::size_t skip) {
  const std::size_t frames = samples.size() / channels - std::min(skip, samples.size() / channels);
  if (frames <= skip)
    return 0;
  double sum = 0;
  for (std::size_t i = skip; i < frames; ++i) {
    const double v = samples[i * channels] / 32768.0;
    sum += v * v;
  }
  return std::sqrt(sum / static_cast<double>(frames - skip));
}

} // namespace sondrix::writer_test
