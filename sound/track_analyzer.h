#pragma once

#include "track_analysis.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace sondrix {

// Integrated loudness (EBU R128 through libebur128) and sample peak of a stream of
// interleaved float PCM, owned RAII. One thread at a time. Mono is measured as it is heard on
// the stream's two channels (dual mono): a mono and a stereo copy of a song read the same.
class LoudnessMeter {
public:
  // Throws std::runtime_error for a rate or channel count the library refuses.
  LoudnessMeter(std::uint32_t SampleRate, std::uint32_t Channels);
  ~LoudnessMeter();
  LoudnessMeter(const LoudnessMeter&) = delete;
  LoudnessMeter& operator=(const LoudnessMeter&) = delete;

  void Add(const float* Interleaved, std::size_t Frames);
  // Integrated loudness of everything added so far, LUFS; nullopt until a gating block
  // (400 ms) above the absolute gate has been added.
  std::optional<double> Integrated() const;
  // Momentary loudness (the last 400 ms), LUFS; very low for silence.
  double Momentary() const;
  // Largest absolute sample so far, dBFS (-inf for none).
  double PeakDb() const;

private:
  struct State;
  std::unique_ptr<State> FState;
};

// Analyses one whole track: feed it every decoded frame in order, then Finish. Keeps only
// one level per 10 ms and per 100 ms, so a long track costs little memory.
class TrackAnalyzer {
public:
  TrackAnalyzer(std::uint32_t SampleRate, std::uint32_t Channels);
  ~TrackAnalyzer();

  void Add(const float* Interleaved, std::size_t Frames);
  // The loudness of what has been added so far (see LoudnessMeter::Integrated).
  std::optional<double> LoudnessSoFar() const;
  // Cue points are found against silenceThresholdDb(loudness); a track with nothing above it
  // is Silent. FadeStart: the middle of the last momentary window (400 ms, taken every 100 ms)
  // whose loudness is within 2 LU of the integrated loudness, if that is at least a second
  // before CueOut; else CueOut. Changes nothing: more frames may follow.
  TrackAnalysis Finish();

private:
  std::uint32_t FRate;
  std::uint32_t FChannels;
  LoudnessMeter FMeter;
  std::size_t FChunkLen;           // frames in 10 ms
  std::size_t FStepLen;            // frames in 100 ms
  std::vector<float> FChunkDb;     // mean square of each 10 ms, dBFS
  std::vector<float> FMomentaryDb; // momentary loudness at the end of each 100 ms
  std::size_t FFrames = 0;
  std::size_t FChunkFrames = 0;
  double FChunkSum = 0;
  std::size_t FStepFrames = 0;
};

} // namespace sondrix
