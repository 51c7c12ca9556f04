#pragma once

// Helpers for the writer tests: temp files, PCM generation, and the ffmpeg/ffprobe command
// line tools as independent readers of what the writer produced.

#include "fixtures.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace sondrix::writer_test {

using TempDir = sondrix::testing::TempDir;

// Runs a shell command; returns its exit status and standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

// Interleaved little-endian PCM of a sine tone (every channel the same).
std::vector<std::uint8_t> tonePcm(std::uint32_t sampleRate, std::uint16_t channels,
                                  std::uint16_t bits, double seconds, double frequency,
                                  double amplitude);

// ffprobe's view of a file: "codec_name", "sample_rate", "channels", "bit_rate" (stream),
// "duration", "format_bit_rate", and "tag:<key>" for each format tag. Empty on failure.
std::map<std::string, std::string> probe(const std::filesystem::path& file);

// The file decoded by the ffmpeg tool to 16-bit PCM of the given layout.
std::vector<std::int16_t> decodeS16(const std::filesystem::path& file, std::uint32_t sampleRate,
                                    std::uint16_t channels);

// Of one channel of interleaved samples, leaving out `skip` frames at each end.
double dominantFrequency(const std::vector<std::int16_t>& samples, std::uint16_t channels,
                         std::uint32_t sampleRate, std::size_t skip);
double rms(const std::vector<std::int16_t>& samples, std::uint16_t channels, std::size_t skip);

} // namespace sondrix::writer_test
