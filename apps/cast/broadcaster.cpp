#include "broadcaster.h"

#include "audio/audio_play_list.h"
#include "base/text.h"
#include "tags/common_tags.h"
#include "tags/id3v2_tags.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wm_streamed_out.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace sondrix {

bool shouldAdvanceTrack(std::int64_t positionBytes, std::uint32_t bytesPerSecond,
                        std::uint32_t totalSeconds) {
  if (bytesPerSecond == 0 || totalSeconds == 0)
    return false;
  const auto played = static_cast<std::int64_t>(
      std::nearbyint(static_cast<long double>(positionBytes) / bytesPerSecond));
  // At or past the last second: a tick delayed by a busy main thread must not miss it.
  return played >= static_cast<std::int64_t>(totalSeconds) - 1;
}

TBroadcaster::TBroadcaster(CastOptions options, std::vector<std::string> files, Printer print)
    : FOptions(std::move(options)), FFiles(std::move(files)), FPrint(std::move(print)),
      FOwner(MakeComponent<TComponent>()) {
  MP3In1 = new TMP3In(FOwner.get());
  MP3In1->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  MP3In1->SetHighPrecision(true);
  au = new TAudioPlayList(FOwner.get());
  au->SetInput(MP3In1);
  conv = new TAuFormatConverter(FOwner.get());
  conv->SetInput(au);
  wo = new TWMStreamedOut(FOwner.get());
  wo->SetInput(conv);

  au->OnPlayItemChanged = [this](TComponent*) { onItemChanged(); };
  wo->OnClientConnected = [this](TComponent*) { onListeners(true); };
  wo->OnClientDisconnected = [this](TComponent*) { onListeners(false); };
  wo->OnThreadException = [this](TComponent*) {
    FFailure = wo->ExceptionMessage();
    FPrint("Broadcast failed: " + FFailure);
  };
  wo->OnDone = [this](TComponent*) { FEnded = true; };
}

TBroadcaster::~TBroadcaster() {
  Stop();
}

std::uint32_t TBroadcaster::Port() const {
  return wo->Port();
}

void TBroadcaster::Start() {
  std::vector<std::string> order = FFiles;
  if (FOptions.Shuffle) {
    std::random_device seed;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed()));
  }
  au->SetFiles(order);
  wo->Id3v2Tags()->SetTitle(toWide(FOptions.Name));
  wo->SetPort(FOptions.Port);
  wo->SetMaxClients(FOptions.MaxListeners);
  wo->SetDesiredBitrate(FOptions.BitrateKbps);
  FEnded = false;
  FFailure.clear();
  wo->Run();
  FPrint("On air: mms://127.0.0.1:" + std::to_string(FOptions.Port) + "/ (" +
         std::to_string(order.size()) + " tracks, " + std::to_string(FOptions.BitrateKbps) +
         (FOptions.BitrateKbps < 1000 ? " kbit/s)" : " bit/s)"));
}

void TBroadcaster::Tick() {
  if (!wo->IsBusy())
    return;
  const std::uint32_t bytesPerSecond =
      MP3In1->SampleRate() * MP3In1->Channels() * (MP3In1->BitsPerSample() / 8);
  if (!shouldAdvanceTrack(MP3In1->Position(), bytesPerSecond, MP3In1->TotalTime()))
    return;
  const auto count = static_cast<std::uint16_t>(au->Files().size());
  const std::uint16_t current = au->CurrentItem();
  au->SetCurrentItem(current + 1 >= count ? 0 : static_cast<std::uint16_t>(current + 1));
}

void TBroadcaster::Stop() {
  if (wo != nullptr && wo->IsBusy())
    wo->Stop(false);
}

void TBroadcaster::onItemChanged() {
  TCommonTags& tags = *MP3In1->CommonTags();
  const std::u16string artist = tags.Artist(), title = tags.Title();
  TId3v2Tags& out = *wo->Id3v2Tags();
  out.SetArtist(artist + u" - " + title);
  out.SetAlbum(tags.Album());
  out.SetGenre(tags.Genre());
  out.SetYear(tags.Year());
  const auto files = au->Files();
  const std::uint16_t item = au->CurrentItem();
  std::string line = "Track " + std::to_string(item + 1) + "/" + std::to_string(files.size());
  if (item < files.size())
    line += ": " + files[item];
  if (!artist.empty() || !title.empty())
    line += " (" + toNarrow(artist) + " - " + toNarrow(title) + ")";
  FPrint(line);
}

void TBroadcaster::onListeners(bool connected) {
  FPrint(std::string(connected ? "Listener connected" : "Listener disconnected") + " (" +
         std::to_string(wo->ConnectionsCount()) + " listening)");
}

} // namespace sondrix
