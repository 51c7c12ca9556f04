#pragma once

#include <cstdint>
#include <optional>

namespace sondrix {

// What the station knows of one track's sound, computed once and cached. Times are seconds
// from the first decoded sample; levels are before any gain.
struct TrackAnalysis {
  double Loudness = 0;  // integrated loudness, LUFS (ITU-R BS.1770); meaningless when Silent
  double Peak = 0;      // largest sample, dBFS
  double CueIn = 0;     // where the first sound starts
  double CueOut = 0;    // where the last sound ends
  double FadeStart = 0; // where the ending starts to fall away; CueOut for a cold ending
  double Duration = 0;  // everything decoded, silence included
  bool Silent = false;  // nothing above the silence threshold from end to end

  // The ending falls away over a second or more: a crossfade starts there and adds no fade.
  bool FadesOut() const { return !Silent && CueOut - FadeStart >= 1.0; }
  friend bool operator==(const TrackAnalysis&, const TrackAnalysis&) = default;
};

// The gain in dB that brings Loudness to TargetLufs, raising a quiet track by at most
// MaxBoostDb. 0 for a silent track.
double gainDbFor(const TrackAnalysis& Track, double TargetLufs, double MaxBoostDb = 12.0);
double gainDbFor(double LoudnessLufs, double TargetLufs, double MaxBoostDb = 12.0);

// Below this level (dBFS, mean square of a 10 ms stretch over all channels) a stretch is
// silence: 40 LU under the track's loudness, so quiet passages of a quiet track are music;
// -60 dBFS while the loudness is not yet known. Never above -45 nor below -80 dBFS.
double silenceThresholdDb(std::optional<double> LoudnessLufs);

} // namespace sondrix
