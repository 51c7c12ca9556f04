#include "pcm_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sondrix {

bool floatConvertible(std::uint32_t BitsPerSample) {
  return BitsPerSample == 8 || BitsPerSample == 16 || BitsPerSample == 24 || BitsPerSample == 32 ||
         BitsPerSample == 128 + 32;
}

void appendAsFloat(const std::uint8_t* Data, std::size_t Samples, std::uint32_t BitsPerSample,
                   std::vector<float>& Out) {
  const std::size_t start = Out.size();
  Out.resize(start + Samples);
  float* out = Out.data() + start;
  switch (BitsPerSample) {
  case 8: // unsigned, centred on 128
    for (std::size_t i = 0; i < Samples; ++i)
      out[i] = (static_cast<int>(Data[i]) - 128) / 128.0f;
    break;
  case 16:
    for (std::size_t i = 0; i < Samples; ++i) {
      std::int16_t v;
      std::memcpy(&v, Data + 2 * i, 2);
      out[i] = v / 32768.0f;
    }
    break;
  case 24:
    for (std::size_t i = 0; i < Samples; ++i) {
      const std::uint8_t* p = Data + 3 * i;
      std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 |
                                                 static_cast<std::uint32_t>(p[1]) << 16 |
                                                 static_cast<std::uint32_t>(p[2]) << 24) >>
                       8;
      out[i] = static_cast<float>(v / 8388608.0);
    }
    break;
  case 32:
    for (std::size_t i = 0; i < Samples; ++i) {
      std::int32_t v;
      std::memcpy(&v, Data + 4 * i, 4);
      out[i] = static_cast<float>(v / 2147483648.0);
    }
    break;
  case 128 + 32:
    std::memcpy(out, Data, Samples * sizeof(float));
    break;
  default:
    std::fill(out, out + Samples, 0.0f);
  }
}

void writeInt16(const float* Samples, std::size_t Count, std::int16_t* Out) {
  for (std::size_t i = 0; i < Count; ++i) {
    const float v = std::nearbyint(Samples[i] * 32768.0f);
    Out[i] = static_cast<std::int16_t>(std::clamp(v, -32768.0f, 32767.0f));
  }
}

} // namespace sondrix
