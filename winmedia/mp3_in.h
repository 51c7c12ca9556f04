#pragma once

#include "winmedia/wm_in.h"

namespace sondrix {

// The file source for MP3: a TWMIn that lets a third of a second more decoded audio through
// than the stream's stated duration, since that duration can fall short of what the decoder
// delivers. Threads and locks as TWMIn.
class TMP3In : public TWMIn {
public:
  explicit TMP3In(TComponent* AOwner = nullptr);
  ~TMP3In() override;

protected:
  std::uint32_t extraFrames() const override;
};

} // namespace sondrix
