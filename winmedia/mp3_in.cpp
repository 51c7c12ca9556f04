#include "winmedia/mp3_in.h"

namespace sondrix {

TMP3In::TMP3In(TComponent* AOwner) : TWMIn(AOwner) {}

TMP3In::~TMP3In() = default;

std::uint32_t TMP3In::extraFrames() const {
  return FSR / 3;
}

} // namespace sondrix
