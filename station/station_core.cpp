#include "station_core.h"

#include "analysis_input.h"
#include "audio/audio_play_list.h"
#include "base/text.h"
#include "base/utf8_text.h"
#include "icecast_titles.h"
#include "net/public_address.h"
#include "playlist_ops.h"
#include "sound/sound_stage.h"
#include "sound/track_scanner.h"
#include "station_settings.h"
#include "tags/common_tags.h"
#include "tags/id3v2_tags.h"
#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"
#include "winmedia/wm_streamed_out.h"

#include <cmath>
#include <stdexcept>

namespace sondrix {

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
  sound = new TSoundStage(FOwner.get());
  sound->SetInput(conv);
  FScanner = std::make_unique<TrackScanner>(makeAnalysisInput,
                                            AnalysisCache(AnalysisCache::DefaultFolder()));
  sound->SetItemLookup([this](std::uint64_t Serial) -> std::optional<SoundItem> {
    const std::optional<TPlayItem> item = au->PlayItem(Serial);
    if (!item)
      return std::nullopt;
    return SoundItem{item->Path, item->ListSize};
  });
  sound->SetAnalysisLookup([this](const std::string& Path) { return FScanner->Find(Path); });
  wo = new TWMStreamedOut(FOwner.get());
  wo->SetShareMode(0);
  wo->SetDesiredBitrate(128);
  wo->SetLossless(false);
  wo->SetVBR(false);
  wo->SetVBRQuality(60);
  wo->SetMaxClients(0);
  wo->SetPort(8098);
  wo->SetInput(sound);

  // What is heard follows the stage, which reads ahead of it; the playlist's own change only
  // moves the analysis on.
  au->OnPlayItemChanged = [this](TComponent*) { wantAnalysis(); };
  sound->OnItemAudible = [this](TComponent*) { soundItemAudible(); };
  sound->OnItemSkipped = [this](TComponent*) { soundItemSkipped(); };
  wo->OnDone = [this](TComponent*) { woDone(); };
  wo->OnThreadException = [this](TComponent*) { woThreadException(); };
  wo->OnClientConnected = [this](TComponent*) { listenerEvent(true); };
  wo->OnClientDisconnected = [this](TComponent*) { listenerEvent(false); };
  wo->OnIcecastNews = [this](TComponent*) { woIcecastNews(); };
  setCaption(FTexts->StartText);
}

TStationCore::~TStationCore() {
  StopAndWait();
  FScanner.reset();
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
  SoundParams params;
  params.TargetLufs = controls.Loudness;
  params.CrossfadeSeconds = controls.Crossfade;
  params.TrimSilence = controls.TrimSilence;
  sound->SetParams(params);
  wantAnalysis();
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
  showTrack(tags.Artist(), tags.Title(), tags.Album(), tags.Genre(), tags.Year(),
            currentFileName());
}

void TStationCore::showTrack(const std::u16string& Artist, const std::u16string& Title,
                             const std::u16string& Album, const std::u16string& Genre,
                             const std::string& Year, const std::string& Name) {
  TId3v2Tags& out = *wo->Id3v2Tags();
  out.SetArtist(Artist + u" - " + Title);
  out.SetAlbum(Album);
  out.SetGenre(Genre);
  out.SetYear(Year);
  FStatus.nowPlaying = NowPlaying{toNarrow(Artist), toNarrow(Title), toNarrow(Album), Name};
  wo->SetStationStatus(FStatus);
  if (FTitles)
    FTitles->SetTitle(streamTitleText(FStatus.nowPlaying));
}

void TStationCore::soundItemAudible() {
  const std::optional<TPlayItem> item = au->PlayItem(sound->AudibleSerial());
  if (!item)
    return;
  showTrack(item->Artist, item->Title, item->Album, item->Genre, item->Year,
            displayName(item->Path));
  // Tags are the files' text: control characters in them would reach a terminal or a label.
  FView.TrackChanged(item->Index, item->ListSize, item->Path,
                     cleanUtf8(toNarrow(item->Artist), true),
                     cleanUtf8(toNarrow(item->Title), true));
}

void TStationCore::soundItemSkipped() {
  for (const std::string& path : sound->TakeSkipped()) {
    const std::string text = displayName(path) + FTexts->SilentSkippedText;
    FView.SetStatus(text);
    FView.TrackSkipped(path, text);
  }
}

void TStationCore::wantAnalysis() {
  const std::vector<std::string> files = au->Files();
  if (files.empty())
    return;
  const std::size_t from = au->CurrentItem() < files.size() ? au->CurrentItem() : 0;
  std::vector<std::string> order(files.begin() + static_cast<std::ptrdiff_t>(from), files.end());
  order.insert(order.end(), files.begin(), files.begin() + static_cast<std::ptrdiff_t>(from));
  FScanner->Want(std::move(order));
}

} // namespace sondrix
