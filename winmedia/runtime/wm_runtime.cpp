#include "winmedia/runtime/wm_runtime.h"

#include "winmedia/runtime/av_handles.h"

#include <atomic>

namespace sondrix {

namespace {

// The module's loaded flag. Set once at process start (below) before any other thread runs.
std::atomic<bool> runtimeLoaded{false};

bool ffmpegOffersWhatWeNeed() {
  return avcodec_find_decoder(AV_CODEC_ID_MP3) != nullptr &&
         avcodec_find_encoder_by_name("wmav2") != nullptr &&
         av_guess_format("asf", nullptr, nullptr) != nullptr;
}

// Binds the runtime when the process starts and lets it go at exit, as the platform loaded
// its media library. Any program that creates a runtime object links this file.
struct RuntimeModule {
  RuntimeModule() { LoadWMRuntime(); }
  ~RuntimeModule() { UnloadWMRuntime(); }
  RuntimeModule(const RuntimeModule&) = delete;
  RuntimeModule& operator=(const RuntimeModule&) = delete;
};
const RuntimeModule runtimeModule;

} // namespace

void LoadWMRuntime() {
  if (runtimeLoaded.load())
    return;
  if (ffmpegOffersWhatWeNeed())
    runtimeLoaded.store(true);
}

void UnloadWMRuntime() {
  runtimeLoaded.store(false);
}

bool WMRuntimeLoaded() {
  return runtimeLoaded.load();
}

} // namespace sondrix
