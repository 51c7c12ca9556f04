#include "winmedia/wm_streamed_out.h"

#include "audio/event_handler.h"
#include "winmedia/runtime/icecast_push.h"
#include "winmedia/runtime/mp3_encoder.h"
#include "winmedia/server/network_sink.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace sondrix {

namespace {

constexpr int kConnectedKind = 1;
constexpr int kDisconnectedKind = 2;
constexpr int kIcecastKind = 3;
// News the main thread has not taken yet; a main thread that long away loses the oldest.
constexpr std::size_t kMaxNews = 64;

TWMWriterNetworkSink* networkSinkOf(wma_writer& Writer) {
  return dynamic_cast<TWMWriterNetworkSink*>(Writer.network_sink.get());
}

} // namespace

TWMStreamedOut::TWMStreamedOut(TComponent* AOwner) : TWMAOut(AOwner) {
  FUseNetwork = true;
}

TWMStreamedOut::~TWMStreamedOut() = default;

std::uint32_t TWMStreamedOut::ConnectionsCount() {
  std::lock_guard lock(FWriterLock);
  return FWriterOpen ? wm_writer_client_count(Writer) : 0;
}

std::u16string TWMStreamedOut::URL() {
  std::lock_guard lock(FWriterLock);
  return FWriterOpen ? wm_writer_url(Writer) : std::u16string();
}

void TWMStreamedOut::SetStationStatus(const StationStatus& Status) {
  std::lock_guard status(FStatusLock);
  FStatus = Status;
  std::lock_guard writer(FWriterLock);
  if (FWriterOpen)
    pushStatus();
}

void TWMStreamedOut::pushStatus() {
  TWMWriterNetworkSink* sink = networkSinkOf(Writer);
  if (sink == nullptr)
    return;
  StationStatus status = FStatus;
  status.onAirSince = FOnAirSince;
  status.bitrate = wmEffectiveTarget(FBitrate, false);
  if (!FMp3Stream)
    status.mp3Link.clear();
  sink->SetStatus(status);
}

void TWMStreamedOut::StartOutput() {
  TWMAOut::StartOutput();
  try {
    TWMWriterNetworkSink* sink = networkSinkOf(Writer);
    FOnAirSince = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    if ((FMp3Stream && sink != nullptr) || !FIcecast.empty()) {
      WAVEFORMATEX format;
      format.wFormatTag = WAVE_FORMAT_PCM;
      format.nChannels = static_cast<std::uint16_t>(FInput->Channels());
      format.nSamplesPerSec = FInput->SampleRate();
      format.wBitsPerSample = static_cast<std::uint16_t>(FInput->BitsPerSample());
      format.nBlockAlign = static_cast<std::uint16_t>(format.nChannels * format.wBitsPerSample / 8);
      format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
      FMp3 = std::make_unique<TMp3Encoder>(format, FBitrate);
      if (FMp3Stream && sink != nullptr) {
        sink->SetMp3Enabled(true);
        sink->BeginMp3(FMp3->Bitrate());
        FMp3Sink = sink;
      }
      startPushes(FMp3->Bitrate());
    }
    std::lock_guard status(FStatusLock);
    pushStatus();
  } catch (...) {
    // The writer and its port are open: a run that fails to start must not leave them so.
    FPushes.clear();
    FMp3.reset();
    FMp3Sink = nullptr;
    const std::exception_ptr error = std::current_exception();
    TWMAOut::FinishOutput();
    std::rethrow_exception(error);
  }
}

void TWMStreamedOut::BlockWritten(const std::uint8_t* Data, std::uint32_t Bytes) {
  if (!FMp3)
    return;
  FMp3Out.clear();
  FMp3->Write(Data, Bytes, FMp3Out);
  if (FMp3Out.empty())
    return;
  if (FMp3Sink != nullptr)
    FMp3Sink->WriteMp3(FMp3Out.data(), FMp3Out.size());
  for (const auto& push : FPushes)
    push->Write(FMp3Out.data(), FMp3Out.size());
}

void TWMStreamedOut::startPushes(std::uint32_t Bitrate) {
  std::string name;
  {
    std::lock_guard status(FStatusLock);
    name = FStatus.name;
  }
  {
    std::lock_guard news(FNewsLock);
    FNews.clear();
  }
  for (std::size_t i = 0; i < FIcecast.size(); ++i) {
    IcecastPushOptions options;
    options.url = FIcecast[i].PushUrl;
    options.label = FIcecast[i].Label;
    options.name = name;
    options.description = "Sondrix Radio Station";
    // About four seconds of audio: enough for a hiccup, never a backlog.
    options.maxQueueBytes = std::max<std::size_t>(16 * 1024, Bitrate / 8 * 4);
    FPushes.push_back(std::make_unique<TIcecastPush>(
        std::move(options), [this, i](const IcecastReport& Report) { icecastNews(i, Report); }));
  }
}

void TWMStreamedOut::icecastNews(std::size_t Target, const IcecastReport& Report) {
  {
    std::lock_guard news(FNewsLock);
    if (FNews.size() >= kMaxNews)
      FNews.erase(FNews.begin());
    FNews.push_back(TIcecastNews{Target, Report});
  }
  if (OnIcecastNews)
    SharedEventHandler()->PostCoalescedEvent(this, kIcecastKind, OnIcecastNews);
}

std::vector<TIcecastNews> TWMStreamedOut::TakeIcecastNews() {
  std::lock_guard news(FNewsLock);
  std::vector<TIcecastNews> taken;
  taken.swap(FNews);
  return taken;
}

void TWMStreamedOut::FinishOutput() {
  // Flushed so the encoder ends cleanly; its last frames have no listener left to take them.
  // The sink is ended whatever the flush does.
  std::exception_ptr error;
  // Each push ends its connection and thread here, all at once, within a bounded wait.
  for (const auto& push : FPushes)
    push->RequestStop();
  FPushes.clear();
  if (FMp3) {
    try {
      FMp3->Finish(FMp3Out);
    } catch (...) {
      error = std::current_exception();
    }
  }
  FMp3.reset();
  FMp3Sink = nullptr; // the sink goes with the writer below
  FMp3Out.clear();
  FMp3Out.shrink_to_fit();
  TWMAOut::FinishOutput();
  if (error)
    std::rethrow_exception(error);
}

void TWMStreamedOut::ClientConnected() {
  if (OnClientConnected)
    SharedEventHandler()->PostCoalescedEvent(this, kConnectedKind, OnClientConnected);
}

void TWMStreamedOut::ClientDisconnected() {
  if (OnClientDisconnected)
    SharedEventHandler()->PostCoalescedEvent(this, kDisconnectedKind, OnClientDisconnected);
}

} // namespace sondrix
