#pragma once

#include "base/component.h"

#include <string>

namespace sondrix {

class TAuInput;

// The input the loudness analysis decodes a track with: an MP3 input of its own, reading the
// whole file at the file's own rate and channels, so it never waits on the broadcast's.
ComponentPtr<TAuInput> makeAnalysisInput(const std::string& Path);

} // namespace sondrix
