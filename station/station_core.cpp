#include "station_core.h"

#include "audio/audio_play_list.h"
#include "base/text.h"
#include "icecast_titles.h"
#include "net/public_address.h"
#include "playlist_ops.h"
#include "station_settings.h"
#include "tags/common_tags.h"
#include "tags/id3v2_tags.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wm_streamed_out.h"

#include <cmath>
#include <stdexcept>

namespace sondrix {

bool shouldAdvanceTrack(std::int64_t PositionBytes, std::uint32_t BytesPerSecond,
                        std::uint32_t TotalSeconds) {
  // Below 2 s the last second starts at position 0: the track would be restarted for ever.
  if (BytesPerSecond == 0 || TotalSeconds < 2)
    return false;
  const auto played = static_cast<std::int64_t>(
      std::nearbyint(static_cast<long double>(PositionBytes) / BytesPerSecond));
  // At or past the last second: a tick delayed by a busy main thread must not miss it.
  return played >= static_cast<std::int64_t>(TotalSeconds) - 1;
}

std::string urlHost(const std::string& Address) {
  // An IPv6 address needs brackets, or its last group reads as the port.
  if (Address.find(':') != std::string::npos && Address.front() != '[')
    return "[" + Address + "]";
  return Address;
}

TStationCore::TStationCore(TStationView& View)
    : FView(View), FTexts(&stationTexts("en")), FOwner(MakeComponent<TComponent>()),
      FLookup([] { return toNarrow(GetPublicAddress()); }) {
  MP3In1 = new TMP3In(FOwner.get());
  MP3In1->SetLoop(false);
  MP3In1->SetEndSample(-1);
  MP3In1->SetHighPrecision(true);
  MP3In1->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  au = new TAudioPlayList(FOwner.get());
  au->SetInput(MP3In1);
  // The list runs until stopped: short tracks that the tick leaves alone still wrap.
  au->SetWrap(true);
  conv = new TAuFormatConverter(FOwner.get());
  conv->SetInput(au);
  wo = new TWMStreamedOut(FOwner.get());
  wo->SetShareMode(0);
  wo->SetDesiredBitrate(128);
  wo->SetLossless(false);
  wo->SetVBR(false);
  wo->SetVBRQuality(60);
  wo->SetMaxClients(0);
  wo->SetPort(8098);
  wo->SetInput(conv);

  au->OnPlayItemChanged = [this](TComponent*) {
    auPlayItemChanged();
    const std::vector<std::string> files = au->Files();
    const std::size_t item = au->CurrentItem();
    TCommonTags& tags = *MP3In1->CommonTags();
    FView.TrackChanged(item, files.size(), item < files.size() ? files[item] : std::string(),
                       toNarrow(tags.Artist()), toNarrow(tags.Title()));
  };
  wo->OnDone = [this](TComponent*) { woDone(); };
  wo->OnThreadException = [this](TComponent*) { woThreadException(); };
  wo->OnClientConnected = [this](TComponent*) { listenerEvent(true); };
  wo->OnClientDisconnected = [this](TComponent*) { listenerEvent(false); };
  wo->OnIcecastNews = [this](TComponent*) { woIcecastNews(); };
  setCaption(FTexts->StartText);
}

TStationCore::~TStationCore() {
  StopAndWait();
}

void TStationCore::setCaption(const std::string& Caption) {
  FCaption = Caption;
  FView.SetCaption(Caption);
}

TBroadcastState TStationCore::State() const {
  if (FCaption == FTexts->StopText)
    return TBroadcastState::OnAir;
  if (FCaption == FTexts->StoppingText)
    return TBroadcastState::Stopping;
  return TBroadcastState::Idle;
}

std::uint32_t TStationCore::ListenerCount() const {
  return wo->ConnectionsCount();
}

void TStationCore::SetTexts(const TStationTexts& Texts) {
  FTexts = &Texts;
  if (wo->IsBusy() || StopRequested != 0) {
    setCaption(FTexts->StopText);
    FView.SetStatus(FTexts->ListenersText + std::to_string(ListenerCount()));
  } else {
    setCaption(FTexts->StartText);
  }
  if (StopRequested == 1)
    setCaption(FTexts->StoppingText);
}

void TStationCore::b1Click() {
  const TStationControls controls = FView.Controls();
  FRadioName = controls.RadioName;
  FStatus.name = controls.RadioName;
  wo->Id3v2Tags()->SetTitle(toWide(controls.RadioName));
  auPlayItemChanged();
  if (controls.Entries.empty())
    return;
  if (FCaption != FTexts->StartText) {
    if (FCaption == FTexts->StopText) {
      wo->Stop(true);
      setCaption(FTexts->StoppingText);
      StopRequested = 1;
      FView.SetTitle(kAppTitle);
      FView.SetLink("");
    }
    return;
  }
  // A mistyped server address is the operator's to fix before going on air.
  std::vector<TIcecastTarget> targets;
  std::vector<TIcecastOutput> outputs;
  for (const std::string& url : controls.IcecastUrls) {
    std::string why;
    const auto target = parseIcecastUrl(url, &why);
    if (!target)
      throw std::invalid_argument("Icecast address \"" + maskedIcecastUrl(url) +
                                  "\" is not usable: " + why);
    outputs.push_back(TIcecastOutput{target->PushUrl(), target->Label()});
    targets.push_back(*target);
  }
  au->SetFiles(controls.Shuffle ? snuffe(controls.Entries, clockSeed) : controls.Entries);
  wo->SetPort(static_cast<std::uint32_t>(spinValue(controls.PortText)));
  wo->SetMaxClients(static_cast<std::uint32_t>(spinValue(controls.MaxText)));
  wo->SetDesiredBitrate(static_cast<std::uint32_t>(spinValue(controls.BitrateText)));
  wo->SetMp3Stream(controls.Mp3Stream);
  wo->SetIcecastOutputs(outputs);
  FTitles.reset();
  if (!targets.empty())
    FTitles = std::make_unique<TIcecastTitles>(std::move(targets));
  FStatus.mmsLink.clear();
  FStatus.mp3Link.clear();
  wo->SetStationStatus(FStatus);
  FFailure.clear();
  FEndedByItself = false;
  FView.SetStatus("");
  try {
    wo->Run();
  } catch (...) {
    FTitles.reset();
    throw;
  }
  setCaption(FTexts->StopText);
  FView.Lock(true);
  // One lookup serves the title and the link: each may block for seconds.
  const std::string host = urlHost(FLookup());
  const std::string link = "mms://" + host + ":" + controls.PortText;
  FStatus.mmsLink = link;
  if (controls.Mp3Stream)
    FStatus.mp3Link = "http://" + host + ":" + controls.PortText + "/stream.mp3";
  wo->SetStationStatus(FStatus);
  FView.SetTitle(std::string(kAppTitle) + " [" + link + "]");
  FView.SetStatus(FTexts->ListenersText + std::to_string(ListenerCount()));
  FView.SetLink(FStatus.mp3Link.empty() ? link : link + "  " + FStatus.mp3Link);
  if (FShowWarning)
    FShowWarning = FView.ShowPortWarning();
}

void TStationCore::Timer1Timer() {
  if (State() == TBroadcastState::Idle)
    return;
  const std::uint32_t bytesPerSecond =
      MP3In1->SampleRate() * MP3In1->Channels() * (MP3In1->BitsPerSample() / 8);
  if (!shouldAdvanceTrack(MP3In1->Position(), bytesPerSecond, MP3In1->TotalTime()))
    return;
  const auto count = static_cast<int>(au->Files().size());
  const int current = au->CurrentItem();
  try {
    au->SetCurrentItem(current >= count - 1 ? 0 : static_cast<std::uint16_t>(current + 1));
  } catch (const std::exception& e) {
    // The same rule as a failed switch on the worker: the broadcast ends, naming the track.
    fail(e.what());
    wo->Stop(true);
    setCaption(FTexts->StoppingText);
    StopRequested = 1;
  }
}

void TStationCore::fail(const std::string& Message) {
  const std::string name = currentFileName();
  FFailure = name.empty() ? Message : name + ": " + Message;
  FView.SetStatus(FFailure);
}

void TStationCore::StopAndWait() {
  if (wo != nullptr && wo->IsBusy())
    wo->Stop(false);
  FTitles.reset();
}

std::string TStationCore::currentFileName() const {
  const std::vector<std::string> files = au->Files();
  const std::size_t item = au->CurrentItem();
  return item < files.size() ? displayName(files[item]) : std::string();
}

void TStationCore::woDone() {
  FTitles.reset();
  FEndedByItself = StopRequested == 0;
  setCaption(FTexts->StartText);
  FView.Lock(false);
  StopRequested = 0;
  if (!FFailure.empty())
    FView.SetStatus(FFailure); // stays until the next start
  else if (FEndedByItself)
    FView.SetStatus(FTexts->EndedText);
  else
    FView.SetStatus("");
}

void TStationCore::woClientConnected() {
  wo->Id3v2Tags()->SetTitle(toWide(FRadioName));
  if (State() != TBroadcastState::Idle)
    FView.SetStatus(FTexts->ListenersText + std::to_string(ListenerCount()));
}

void TStationCore::listenerEvent(bool Connected) {
  woClientConnected();
  FView.ListenersChanged(Connected, ListenerCount());
}

void TStationCore::woThreadException() {
  fail(wo->ExceptionMessage());
}

void TStationCore::woIcecastNews() {
  for (const TIcecastNews& news : wo->TakeIcecastNews()) {
    if (FTitles)
      FTitles->SetConnected(news.Target, news.Connected);
    FView.SetStatus("Icecast " + news.Text);
  }
}

void TStationCore::auPlayItemChanged() {
  TCommonTags& tags = *MP3In1->CommonTags();
  TId3v2Tags& out = *wo->Id3v2Tags();
  out.SetArtist(tags.Artist() + u" - " + tags.Title());
  out.SetAlbum(tags.Album());
  out.SetGenre(tags.Genre());
  out.SetYear(tags.Year());
  FStatus.nowPlaying = NowPlaying{toNarrow(tags.Artist()), toNarrow(tags.Title()),
                                  toNarrow(tags.Album()), currentFileName()};
  wo->SetStationStatus(FStatus);
  if (FTitles)
    FTitles->SetTitle(streamTitleText(FStatus.nowPlaying));
}

} // namespace sondrix
