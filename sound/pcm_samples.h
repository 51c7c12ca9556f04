#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sondrix {

// Whether samples of this width (BitsPerSample, 128 added for float) can be read as float.
bool floatConvertible(std::uint32_t BitsPerSample);
// Appends Samples samples of interleaved little-endian PCM as floats in [-1, 1).
void appendAsFloat(const std::uint8_t* Data, std::size_t Samples, std::uint32_t BitsPerSample,
                   std::vector<float>& Out);
// Writes floats as 16-bit PCM, rounded and held within the 16-bit range. 1.0 is 32768: a
// 16-bit sample read with appendAsFloat comes back unchanged.
void writeInt16(const float* Samples, std::size_t Count, std::int16_t* Out);

} // namespace sondrix
