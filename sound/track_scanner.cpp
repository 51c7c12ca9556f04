#include "track_scanner.h"

#include "pcm_samples.h"
#include "track_analyzer.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

namespace sondrix {

TrackScanner::TrackScanner(InputFactory Factory, AnalysisCache Cache)
    : FFactory(std::move(Factory)), FCache(std::move(Cache)), FThread([this] { run(); }) {}

TrackScanner::~TrackScanner() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void TrackScanner::Want(std::vector<std::string> Paths) {
  {
    std::lock_guard lock(FLock);
    FWanted = std::move(Paths);
  }
  FWake.notify_all();
}

std::optional<TrackAnalysis> TrackScanner::Find(const std::string& Path) const {
  std::lock_guard lock(FLock);
  const auto found = FDone.find(Path);
  if (found == FDone.end())
    return std::nullopt;
  return found->second;
}

bool TrackScanner::WaitIdle(std::chrono::milliseconds Timeout) const {
  std::unique_lock lock(FLock);
  return FIdle.wait_for(lock, Timeout, [this] {
    return !FBusy && std::all_of(FWanted.begin(), FWanted.end(), [this](const std::string& p) {
      return FDone.count(p) != 0 || FFailed.count(p) != 0;
    });
  });
}

void TrackScanner::run() {
  // Analysis is never worth a late block of the broadcast: the encoder's thread goes first.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  std::unique_lock lock(FLock);
  while (!FStop) {
    const auto next = std::find_if(FWanted.begin(), FWanted.end(), [this](const std::string& p) {
      return FDone.count(p) == 0 && FFailed.count(p) == 0;
    });
    if (next == FWanted.end()) {
      FIdle.notify_all();
      FWake.wait(lock);
      continue;
    }
    const std::string path = *next;
    FBusy = true;
    lock.unlock();
    std::optional<TrackAnalysis> result = FCache.Load(path);
    if (!result) {
      result = analyse(path);
      if (result && !FStop)
        FCache.Store(path, *result);
    }
    lock.lock();
    FBusy = false;
    if (FStop)
      break;
    if (result)
      FDone[path] = *result;
    else
      FFailed.insert(path);
  }
  FIdle.notify_all();
}

std::optional<TrackAnalysis> TrackScanner::analyse(const std::string& Path) {
  try {
    ComponentPtr<TAuInput> input = FFactory(Path);
    if (!input)
      return std::nullopt;
    input->Init();
    const std::uint32_t rate = input->SampleRate();
    const std::uint32_t channels = input->Channels();
    const std::uint32_t bits = input->BitsPerSample();
    if (rate == 0 || channels == 0 || !floatConvertible(bits)) {
      input->Flush();
      return std::nullopt;
    }
    TrackAnalyzer analyzer(rate, channels);
    std::vector<float> samples;
    const std::uint32_t sampleBytes = (bits % 128) / 8;
    while (!FStop) {
      void* p = nullptr;
      std::uint32_t bytes = 16384 * channels * sampleBytes;
      input->GetData(p, bytes);
      if (bytes == 0 || p == nullptr)
        break;
      const std::size_t frames = bytes / (sampleBytes * channels);
      samples.clear();
      appendAsFloat(static_cast<const std::uint8_t*>(p), frames * channels, bits, samples);
      analyzer.Add(samples.data(), frames);
    }
    input->Flush();
    if (FStop)
      return std::nullopt;
    return analyzer.Finish();
  } catch (const std::exception&) {
    // A file that cannot be read is the broadcast's to report when it comes up.
    return std::nullopt;
  }
}

} // namespace sondrix
