#include "sound_stage.h"

#include "audio/au_exception.h"
#include "audio/event_handler.h"
#include "pcm_samples.h"
#include "peak_limiter.h"
#include "track_analyzer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sondrix {

namespace {

constexpr std::size_t kBlockFrames = 4096;
// A silence inside a track longer than this is the music's own, not its end.
constexpr double kLongestHeldSilence = 15.0;
// A new item whose loudness is unknown is held back at most this long while it is measured.
constexpr double kLongestStaging = 0.5;
// How fast a track's gain may follow a better estimate of its loudness.
constexpr double kGainDbPerSecond = 6.0;
// A cold ending is crossed this briefly at most.
constexpr double kColdOverlap = 0.5;
// A skip fades what is queued out over this, with a crossfade set; without, it only avoids a
// click.
constexpr double kSkipFade = 0.5;
constexpr double kSkipCut = 0.01;
// The encoders' own ripple raises true peaks by a few tenths of a dB; the ceiling holds at the
// listener only if the limiter keeps this much below it.
constexpr double kCodecHeadroomDb = 0.5;

double dbToGain(double Db) {
  return std::pow(10.0, Db / 20.0);
}

} // namespace

struct TSoundStage::Item {
  std::uint64_t Serial = 0;
  std::string Path;
  std::size_t ListSize = 1;
  std::optional<TrackAnalysis> Analysis;
  std::unique_ptr<LoudnessMeter> Meter;
  // The meter's integrated loudness, taken anew every tenth of a second of sound: asking the
  // meter walks every block it holds, too much for each 10 ms of a long track.
  std::optional<double> Estimate;
  std::uint64_t MeteredFrames = 0;
  std::uint64_t EstimatedAt = 0;
  bool Leading = true;       // still in the silence before the first sound
  bool Sounded = false;      // anything above the silence threshold at all
  std::vector<float> Held;   // silence after sound, kept back until sound follows
  std::vector<float> Staged; // the start, while the gain is not known
  bool GainSettled = false;
  double GainDb = 0;
  std::uint64_t Committed = 0; // frames taken into the queue
};

TSoundStage::TSoundStage(TComponent* AOwner) : TAuConverter(AOwner) {}

TSoundStage::~TSoundStage() = default;

void TSoundStage::BeforeDestruction() {
  // A queued event must not reach a handler after the stage is gone.
  if (TEventHandler* events = SharedEventHandler()) {
    events->ClearEvents(this);
    events->WaitWhileDelivering(this);
  }
  TAuConverter::BeforeDestruction();
}

SoundParams TSoundStage::Params() const {
  std::lock_guard lock(FParamsLock);
  return FParams;
}

void TSoundStage::SetParams(const SoundParams& Value) {
  std::lock_guard lock(FParamsLock);
  FParams = Value;
  FParams.CrossfadeSeconds = std::clamp(Value.CrossfadeSeconds, 0.0, 10.0);
}

std::vector<std::string> TSoundStage::TakeSkipped() {
  std::lock_guard lock(FSkippedLock);
  return std::exchange(FSkipped, {});
}

void TSoundStage::post(const TNotifyEvent& Event) {
  if (!Event)
    return;
  if (TEventHandler* events = SharedEventHandler())
    events->PostGenericEvent(this, Event);
}

void TSoundStage::DoInit() {
  if (FInput == nullptr)
    throw EAuException("Input is not assigned.");
  FRun = Params();
  FInput->Init();
  FRate = FInput->SampleRate();
  FChannels = FInput->Channels();
  FBits = FInput->BitsPerSample();
  if (FRate == 0 || FChannels == 0 || (FBits != 16 && FBits != 128 + 32))
    throw EAuException("The sound stage takes 16-bit or float PCM.");
  FItem.reset();
  FLastItem.reset();
  FQueue.clear();
  FQueueStart = 0;
  FQueuedFrames = FOutFrames = 0;
  FMixAt = FMixEnd = FMixLength = 0;
  FMarkPending = false;
  FMarks.clear();
  FLimiter.reset();
  if (FRun.TargetLufs || FRun.CrossfadeSeconds > 0)
    FLimiter = std::make_unique<PeakLimiter>(
        FRate, FChannels, PeakLimiterParams{FRun.CeilingDbtp - kCodecHeadroomDb, 5.0, 100.0});
  FInputEnded = false;
  FSilentInARow = 0;
  FAudibleSerial = 0;
  FAudibleFrames = 0;
  FAudibleFrom = 0;
  FSkipBelow = 0;
  FSkipOverlap.reset();
  FSize = -1;
  FPosition = 0;
  Busy = true;
}

void TSoundStage::DoFlush() {
  FItem.reset();
  FLastItem.reset();
  FQueue.clear();
  FQueueStart = 0;
  FMarks.clear();
  FLimiter.reset();
  Busy = false;
  if (FInput != nullptr)
    FInput->Flush();
}

bool TSoundStage::readBlock() {
  void* p = nullptr;
  const std::uint32_t sampleBytes = (FBits % 128) / 8;
  std::uint32_t bytes = static_cast<std::uint32_t>(kBlockFrames * FChannels * sampleBytes);
  FInput->GetData(p, bytes);
  if (bytes == 0 || p == nullptr)
    return false;
  const std::uint64_t serial = FInput->ItemSerial();
  if (serial < FSkipBelow)
    return true; // the rest of an item skipped
  if (!FItem || serial != FItem->Serial) {
    if (FItem)
      endItem();
    if (FInputEnded)
      return false;
    startItem(serial);
  }
  const std::size_t frames = bytes / (sampleBytes * FChannels);
  FBlock.clear();
  appendAsFloat(static_cast<const std::uint8_t*>(p), frames * FChannels, FBits, FBlock);
  if (!FItem->Analysis && FAnalysisLookup && !FItem->Path.empty())
    FItem->Analysis = FAnalysisLookup(FItem->Path);
  const std::size_t chunk = std::max<std::size_t>(1, FRate / 100);
  for (std::size_t at = 0; at < frames; at += chunk)
    processChunk(FBlock.data() + at * FChannels, std::min(chunk, frames - at));
  return true;
}

void TSoundStage::startItem(std::uint64_t Serial) {
  auto item = std::make_unique<Item>();
  item->Serial = Serial;
  // An item the list no longer remembers keeps the last one's count: one unknown silent item
  // must not end the stream.
  item->ListSize = FItem ? FItem->ListSize : 1;
  if (FItemLookup) {
    if (std::optional<SoundItem> info = FItemLookup(Serial)) {
      item->Path = info->Path;
      item->ListSize = std::max<std::size_t>(1, info->ListSize);
    }
  }
  if (FAnalysisLookup && !item->Path.empty())
    item->Analysis = FAnalysisLookup(item->Path);
  item->Meter = std::make_unique<LoudnessMeter>(FRate, FChannels);
  // An item that never sounded leaves nothing to cross into.
  if (FItem && FItem->Committed > 0)
    FLastItem = std::move(FItem);
  FItem = std::move(item);
  FMarkPending = true;
}

void TSoundStage::endItem() {
  Item& item = *FItem;
  settleGain(true);
  item.Held.clear(); // trailing silence: the next item follows at once
  if (FRun.TrimSilence && !item.Sounded) {
    {
      std::lock_guard lock(FSkippedLock);
      FSkipped.push_back(item.Path);
    }
    post(OnItemSkipped);
    // A list of nothing but silence would be read round and round for ever.
    if (++FSilentInARow >= item.ListSize)
      FInputEnded = true;
  }
}

void TSoundStage::processChunk(const float* Frames, std::size_t Count) {
  Item& item = *FItem;
  const std::size_t samples = Count * FChannels;
  bool silent = false;
  if (FRun.TrimSilence) {
    double sum = 0;
    for (std::size_t i = 0; i < samples; ++i)
      sum += static_cast<double>(Frames[i]) * Frames[i];
    const double levelDb = 10.0 * std::log10(sum / static_cast<double>(samples) + 1e-20);
    std::optional<double> loudness;
    if (item.Analysis)
      loudness = item.Analysis->Silent ? std::nullopt : std::optional(item.Analysis->Loudness);
    else
      loudness = item.Estimate;
    silent = levelDb < silenceThresholdDb(loudness);
    if (item.Leading && silent)
      return;
  }
  item.Leading = false;
  item.Meter->Add(Frames, Count);
  item.MeteredFrames += Count;
  if (!item.Analysis && item.MeteredFrames - item.EstimatedAt >= FRate / 10) {
    item.Estimate = item.Meter->Integrated();
    item.EstimatedAt = item.MeteredFrames;
  }
  if (silent) {
    item.Held.insert(item.Held.end(), Frames, Frames + samples);
    if (item.Held.size() / FChannels < kLongestHeldSilence * FRate)
      return;
  } else {
    item.Sounded = true;
    FSilentInARow = 0;
  }
  std::vector<float> held = std::exchange(item.Held, {});
  if (!silent)
    held.insert(held.end(), Frames, Frames + samples);
  if (!item.GainSettled) {
    item.Staged.insert(item.Staged.end(), held.begin(), held.end());
    settleGain(false);
  } else {
    commit(held.data(), held.size() / FChannels);
  }
}

double TSoundStage::targetGainDb() {
  if (!FRun.TargetLufs)
    return 0;
  const Item& item = *FItem;
  if (item.Analysis)
    return gainDbFor(*item.Analysis, *FRun.TargetLufs, FRun.MaxBoostDb);
  if (item.Estimate)
    return gainDbFor(*item.Estimate, *FRun.TargetLufs, FRun.MaxBoostDb);
  return 0;
}

void TSoundStage::settleGain(bool Force) {
  Item& item = *FItem;
  if (item.GainSettled)
    return;
  const bool known = !FRun.TargetLufs || item.Analysis || item.Estimate;
  if (!known && !Force && item.Staged.size() / FChannels < kLongestStaging * FRate)
    return;
  if (Force && !item.Analysis)
    item.Estimate = item.Meter->Integrated(); // all there is of a short item
  item.GainDb = targetGainDb();
  item.GainSettled = true;
  std::vector<float> staged = std::exchange(item.Staged, {});
  commit(staged.data(), staged.size() / FChannels);
}

std::size_t TSoundStage::crossfadeFrames(const Item& Last, const Item& Next) const {
  const double fade = FRun.CrossfadeSeconds;
  if (fade <= 0)
    return 0;
  // A jingle is heard whole, neither faded out nor faded in.
  const double lastLength = static_cast<double>(Last.Committed) / FRate;
  if (lastLength < 2 * fade)
    return 0;
  if (Next.Analysis && Next.Analysis->CueOut - Next.Analysis->CueIn < 2 * fade)
    return 0;
  double overlap = std::min(fade, kColdOverlap);
  // A track that fades by itself is crossed where its fade begins, and not faded again.
  if (Last.Analysis && Last.Analysis->FadesOut())
    overlap = std::min(fade, Last.Analysis->CueOut - Last.Analysis->FadeStart);
  return static_cast<std::size_t>(overlap * FRate);
}

void TSoundStage::commit(const float* Frames, std::size_t Count) {
  if (Count == 0)
    return;
  Item& item = *FItem;
  const std::size_t channels = FChannels;
  if (item.Committed == 0 && FMarkPending) {
    // The first sound of an item: decide how far it reaches back under the last one.
    const std::uint64_t unsent = FQueuedFrames - FOutFrames;
    std::uint64_t overlap = FSkipOverlap ? *FSkipOverlap
                            : FLastItem  ? crossfadeFrames(*FLastItem, item)
                                         : 0;
    FSkipOverlap.reset();
    overlap = std::min({overlap, unsent, FLastItem ? FLastItem->Committed : 0});
    FMixLength = overlap;
    FMixEnd = FQueuedFrames;
    FMixAt = FQueuedFrames - overlap;
    if (overlap == 0) {
      FMarks.push_back({FQueuedFrames, item.Serial});
      FMarkPending = false;
    }
  }
  const double fromDb = item.GainDb;
  const double maxStep = kGainDbPerSecond * static_cast<double>(Count) / FRate;
  const double toDb = fromDb + std::clamp(targetGainDb() - fromDb, -maxStep, maxStep);
  item.GainDb = toDb;
  const double g0 = dbToGain(fromDb);
  const double g1 = dbToGain(toDb);
  const std::size_t window = std::max<std::size_t>(1, FRate / 100);
  double lastEnergy = 0;
  double nextEnergy = 0;
  std::size_t inWindow = 0;
  std::uint64_t windowStart = FMixAt;
  for (std::size_t i = 0; i < Count; ++i) {
    const auto gain = static_cast<float>(g0 + (g1 - g0) * static_cast<double>(i + 1) / Count);
    const float* in = Frames + i * channels;
    if (FMixAt < FMixEnd) {
      // Equal power: the sum of the two stays as loud as either.
      const double t = (static_cast<double>(FMixAt - (FMixEnd - FMixLength)) + 0.5) / FMixLength;
      const auto fadeIn = static_cast<float>(std::sin(t * std::numbers::pi / 2));
      float* at = FQueue.data() + FQueueStart + (FMixAt - FOutFrames) * channels;
      for (std::size_t c = 0; c < channels; ++c) {
        const float add = in[c] * gain * fadeIn;
        lastEnergy += static_cast<double>(at[c]) * at[c];
        nextEnergy += static_cast<double>(add) * add;
        at[c] += add;
      }
      ++FMixAt;
      if (++inWindow == window || FMixAt == FMixEnd) {
        if (FMarkPending && (nextEnergy >= lastEnergy || FMixAt == FMixEnd)) {
          FMarks.push_back({nextEnergy >= lastEnergy ? windowStart : FMixEnd, item.Serial});
          FMarkPending = false;
        }
        lastEnergy = nextEnergy = 0;
        inWindow = 0;
        windowStart = FMixAt;
      }
      continue;
    }
    for (std::size_t c = 0; c < channels; ++c)
      FQueue.push_back(in[c] * gain);
    ++FQueuedFrames;
  }
  item.Committed += Count;
}

void TSoundStage::emit(std::size_t Frames) {
  const std::size_t samples = Frames * FChannels;
  FBlock.assign(FQueue.begin() + static_cast<std::ptrdiff_t>(FQueueStart),
                FQueue.begin() + static_cast<std::ptrdiff_t>(FQueueStart + samples));
  FQueueStart += samples;
  if (FQueueStart > FQueue.size() / 2) {
    FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(FQueueStart));
    FQueueStart = 0;
  }
  if (FLimiter)
    FLimiter->Process(FBlock.data(), Frames);
  if (FBits == 16) {
    FOutBytes.resize(samples * 2);
    writeInt16(FBlock.data(), samples, reinterpret_cast<std::int16_t*>(FOutBytes.data()));
  } else {
    FOutBytes.resize(samples * sizeof(float));
    std::memcpy(FOutBytes.data(), FBlock.data(), samples * sizeof(float));
  }
  // The limiter's delay holds each frame back a little further.
  const std::uint64_t latency = FLimiter ? FLimiter->LatencyFrames() : 0;
  FOutFrames += Frames;
  bool changed = false;
  while (!FMarks.empty() && FMarks.front().Frame + latency < FOutFrames) {
    FAudibleSerial = FMarks.front().Serial;
    FAudibleFrom = FMarks.front().Frame + latency;
    FMarks.pop_front();
    changed = true;
  }
  FAudibleFrames = FOutFrames - std::min(FOutFrames, FAudibleFrom);
  if (changed)
    post(OnItemAudible);
}

void TSoundStage::Skip(std::uint64_t Serial) {
  CriticalSectionGuard lock(*DataCS);
  if (!Busy)
    return;
  FSkipBelow = Serial;
  const double fade =
      FRun.CrossfadeSeconds > 0 ? std::min(FRun.CrossfadeSeconds, kSkipFade) : kSkipCut;
  const std::uint64_t keep =
      std::min<std::uint64_t>(FQueuedFrames - FOutFrames, static_cast<std::uint64_t>(fade * FRate));
  float* at = FQueue.data() + FQueueStart;
  for (std::uint64_t i = 0; i < keep; ++i) {
    const auto gain = static_cast<float>(1.0 - static_cast<double>(i + 1) / keep);
    for (std::uint32_t c = 0; c < FChannels; ++c)
      at[i * FChannels + c] *= gain;
  }
  FQueue.resize(FQueueStart + keep * FChannels);
  FQueuedFrames = FOutFrames + keep;
  // Items that were still to be heard are not.
  std::erase_if(FMarks, [this](const Mark& m) { return m.Frame >= FQueuedFrames; });
  FMixAt = FMixEnd = FMixLength = 0;
  FMarkPending = false;
  if (FItem && FItem->Committed > 0)
    FLastItem = std::move(FItem);
  FItem.reset();
  FSkipOverlap = FRun.CrossfadeSeconds > 0 ? keep : 0;
  FSilentInARow = 0;
}

void TSoundStage::DoGetData(void*& Buffer, std::uint32_t& Bytes) {
  const std::uint32_t frameBytes = FChannels * ((FBits % 128) / 8);
  const std::size_t wanted = std::max<std::uint32_t>(1, Bytes / frameBytes);
  // The tail of the item being read stays queued for as long as the next may reach back.
  const auto hold = static_cast<std::uint64_t>(FRun.CrossfadeSeconds * FRate);
  while (!FInputEnded && FQueuedFrames - FOutFrames < wanted + hold) {
    if (!readBlock()) {
      if (FItem && !FInputEnded)
        endItem();
      FInputEnded = true;
    }
  }
  const std::size_t frames =
      static_cast<std::size_t>(std::min<std::uint64_t>(wanted, FQueuedFrames - FOutFrames));
  if (frames == 0) {
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  emit(frames);
  Buffer = FOutBytes.data();
  Bytes = static_cast<std::uint32_t>(frames * frameBytes);
}

} // namespace sondrix
