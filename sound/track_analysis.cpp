#include "track_analysis.h"

#include <algorithm>
#include <cmath>

namespace sondrix {

double gainDbFor(double LoudnessLufs, double TargetLufs, double MaxBoostDb) {
  if (!std::isfinite(LoudnessLufs) || !std::isfinite(TargetLufs))
    return 0;
  return std::min(TargetLufs - LoudnessLufs, std::max(MaxBoostDb, 0.0));
}

double gainDbFor(const TrackAnalysis& Track, double TargetLufs, double MaxBoostDb) {
  return Track.Silent ? 0 : gainDbFor(Track.Loudness, TargetLufs, MaxBoostDb);
}

double silenceThresholdDb(std::optional<double> LoudnessLufs) {
  if (!LoudnessLufs || !std::isfinite(*LoudnessLufs))
    return -60;
  return std::clamp(*LoudnessLufs - 40, -80.0, -45.0);
}

} // namespace sondrix
