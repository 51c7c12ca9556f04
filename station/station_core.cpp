#include "station_core.h"

#include "analysis_input.h"
#include "audio/audio_play_list.h"
#include "base/text.h"
#include "base/utf8_text.h"
#include "icecast_news.h"
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
#include "winmedia/server/bind_address.h"
#include "winmedia/wm_streamed_out.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sondrix {

namespace {
// How long a notice stays in the status line before the track comes back: 5 s of ticks.
constexpr int kNewsTicks = 50;
} // namespace

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
  au->OnPlayItemChanged = [this](TComponent*) {
    wantAnalysis();
    // Going on air, the first track opened is the first heard: the status answers and titles
    // name it at once rather than a moment later, when its first block has gone out.
    if (sound->AudibleSerial() == 0)
      if (const std::optional<TPlayItem> opened = au->PlayItem(au->ItemSerial()))
        showTrack(opened->Artist, opened->Title, opened->Album, opened->Genre, opened->Year,
                  displayName(opened->Path));
  };
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
    showStatus();
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
      throw std::invalid_argument(FTexts->IcecastUnusableText + "\"" + maskedIcecastUrl(url) +
                                  "\"" + FTexts->IcecastUnusableReasonText +
                                  icecastUrlReasonText(*FTexts, why));
    outputs.push_back(TIcecastOutput{target->PushUrl(), target->Label()});
    targets.push_back(*target);
  }
  if (!controls.BindAddress.empty() && !parseBindAddress(controls.BindAddress))
    throw std::invalid_argument(FTexts->BindBadText + "\"" + controls.BindAddress + "\"" +
                                FTexts->BindBadReasonText);
  // A list cut below the item that played last starts again at its top, and says so.
  if (au->CurrentItem() >= controls.Entries.size())
    au->SetCurrentItem(0);
  FRun.Start(listEntries(controls), controls.Shuffle, clockSeed);
  au->SetFiles(FRun.Paths());
  au->SetKeys(FRun.Keys());
  FNewsTicks = 0;
  wo->SetPort(static_cast<std::uint32_t>(spinValue(controls.PortText)));
  wo->SetMaxClients(static_cast<std::uint32_t>(spinValue(controls.MaxText)));
  wo->SetDesiredBitrate(static_cast<std::uint32_t>(spinValue(controls.BitrateText)));
  wo->SetMp3Stream(controls.Mp3Stream);
  wo->SetBindAddress(controls.BindAddress);
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
  showOnAir();
  // One lookup serves the title and the link: each may block for seconds.
  const std::string host = urlHost(FLookup());
  const std::string link = "mms://" + host + ":" + controls.PortText;
  FStatus.mmsLink = link;
  if (controls.Mp3Stream)
    FStatus.mp3Link = "http://" + host + ":" + controls.PortText + "/stream.mp3";
  wo->SetStationStatus(FStatus);
  FView.SetTitle(std::string(kAppTitle) + " [" + link + "]");
  showStatus();
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
  FView.ShowOnAir(std::nullopt, std::nullopt);
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
  showStatus();
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
      FTitles->SetConnected(news.Target, news.Report.Connected);
    FNews = icecastNewsText(*FTexts, news.Report);
    FNewsTicks = kNewsTicks;
    FView.SetStatus(FNews);
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

std::optional<TPlayItem> TStationCore::audibleItem() const {
  return au->PlayItem(sound->AudibleSerial());
}

std::optional<std::uint64_t> TStationCore::readingKey() const {
  if (const std::optional<TPlayItem> item = au->PlayItem(au->ItemSerial()))
    return item->Key;
  // Nothing opened yet in this run: the entry the playlist will open first.
  if (au->CurrentItem() < FRun.Entries().size())
    return FRun.Entries()[au->CurrentItem()].Key;
  return std::nullopt;
}

std::vector<TRunEntry> TStationCore::listEntries(const TStationControls& Controls) const {
  std::vector<TRunEntry> entries;
  for (std::size_t i = 0; i < Controls.Entries.size(); ++i)
    entries.push_back({i < Controls.Keys.size() ? Controls.Keys[i] : i, Controls.Entries[i]});
  return entries;
}

void TStationCore::syncPlaylist(std::optional<std::uint64_t> Reading) {
  const std::optional<std::uint64_t> reading = Reading;
  au->ReplaceFiles(FRun.Paths(), FRun.Keys(), static_cast<std::uint16_t>(FRun.Position(reading)));
  wantAnalysis();
  showOnAir();
}

void TStationCore::ListChanged() {
  if (State() == TBroadcastState::Idle)
    return;
  const TStationControls controls = FView.Controls();
  // The name may change on air: listeners see it from the next track on.
  FRadioName = controls.RadioName;
  const std::optional<std::uint64_t> reading = readingKey();
  FRun.Update(listEntries(controls), reading, clockSeed);
  syncPlaylist(reading);
}

void TStationCore::PlayNext(std::uint64_t Key) {
  if (State() != TBroadcastState::OnAir)
    return;
  const std::optional<std::uint64_t> reading = readingKey();
  FRun.PlayNext(Key, reading);
  syncPlaylist(reading);
}

void TStationCore::PlayNow(std::uint64_t Key) {
  if (State() != TBroadcastState::OnAir)
    return;
  if (const std::optional<std::size_t> index = FRun.IndexOf(Key))
    skipTo(*index);
}

void TStationCore::NextTrack() {
  if (State() != TBroadcastState::OnAir || FRun.Entries().empty())
    return;
  // The one after the track heard, not after the one read ahead for a crossfade.
  const std::optional<TPlayItem> heard = audibleItem();
  const std::size_t at = FRun.Position(heard ? std::optional(heard->Key) : readingKey());
  skipTo((at + 1) % FRun.Entries().size());
}

void TStationCore::skipTo(std::size_t Index) {
  try {
    // The stage's lock first: the worker must read neither the old item nor the new one
    // until the stage knows of the cut.
    CriticalSectionGuard lock(sound->DataLock());
    au->SetCurrentItem(static_cast<std::uint16_t>(Index));
    sound->Skip(au->ItemSerial());
  } catch (const std::exception& e) {
    // The same rule as a failed switch on the worker: the broadcast ends, naming the track.
    fail(e.what());
    wo->Stop(true);
    setCaption(FTexts->StoppingText);
    StopRequested = 1;
  }
}

void TStationCore::Timer1Timer() {
  if (FNewsTicks > 0)
    --FNewsTicks;
  showStatus();
}

std::string TStationCore::NowPlayingText() const {
  const std::optional<TPlayItem> item = audibleItem();
  if (!item)
    return {};
  std::string name = toNarrow(item->Artist) + " - " + toNarrow(item->Title);
  if (item->Artist.empty() && item->Title.empty())
    name = displayName(item->Path);
  const auto clock = [](std::uint64_t Seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(Seconds / 60),
                  static_cast<unsigned long long>(Seconds % 60));
    return std::string(text);
  };
  const std::uint32_t rate = sound->SampleRate();
  const std::uint64_t elapsed = rate == 0 ? 0 : sound->AudibleFrames() / rate;
  // The length heard: without the silence trimmed at its ends, once the analysis knows it.
  std::uint64_t total = item->Seconds;
  if (const std::optional<TrackAnalysis> analysis = FScanner->Find(item->Path);
      analysis && !analysis->Silent && sound->Params().TrimSilence)
    total = static_cast<std::uint64_t>(std::lround(analysis->CueOut - analysis->CueIn));
  return "\u25B6 " + name + "  " + clock(elapsed) + " / " + clock(total);
}

void TStationCore::showStatus() {
  if (State() == TBroadcastState::Idle)
    return;
  const std::string listeners = FTexts->ListenersText + std::to_string(ListenerCount());
  if (FNewsTicks > 0)
    return;
  const std::string track = NowPlayingText();
  FView.ShowNowPlaying(track.empty() ? listeners : track + "  \u00B7  " + listeners);
}

void TStationCore::showOnAir() {
  if (State() == TBroadcastState::Idle || FRun.Entries().empty()) {
    FView.ShowOnAir(std::nullopt, std::nullopt);
    return;
  }
  const std::optional<TPlayItem> heard = audibleItem();
  const std::optional<std::uint64_t> onAir =
      heard ? std::optional(heard->Key) : std::optional<std::uint64_t>();
  const std::size_t at = FRun.Position(onAir ? onAir : readingKey());
  FView.ShowOnAir(onAir, FRun.Entries()[(at + 1) % FRun.Entries().size()].Key);
}

void TStationCore::soundItemAudible() {
  const std::optional<TPlayItem> item = audibleItem();
  if (!item)
    return;
  FRun.Started(item->Key);
  // The name may have changed on air: listeners get it from this track on.
  FRadioName = FView.Controls().RadioName;
  FStatus.name = FRadioName;
  wo->Id3v2Tags()->SetTitle(toWide(FRadioName));
  showTrack(item->Artist, item->Title, item->Album, item->Genre, item->Year,
            displayName(item->Path));
  // The entry's key: its place in the list as given, for a face without keys of its own.
  // Tags are the files' text: control characters in them would reach a terminal or a label.
  FView.TrackChanged(static_cast<std::size_t>(item->Key), item->ListSize, item->Path,
                     cleanUtf8(toNarrow(item->Artist), true),
                     cleanUtf8(toNarrow(item->Title), true));
  showOnAir();
  showStatus();
}

void TStationCore::soundItemSkipped() {
  for (const std::string& path : sound->TakeSkipped()) {
    const std::string text = displayName(path) + FTexts->SilentSkippedText;
    FNews = text;
    FNewsTicks = kNewsTicks;
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
