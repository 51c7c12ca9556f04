#pragma once

#include <string>
#include <vector>

namespace sondrix {

// Every text of the window and of the station's messages in one language.
struct TStationTexts {
  std::string Code; // "en" or "ru"
  std::string StartText, StopText, StoppingText;
  std::string SettingsCaption;     // gb
  std::string PortCaption;         // Label1
  std::string BitrateCaption;      // Label3
  std::string MaxListenersCaption; // Label2
  std::string ShuffleCaption;      // cb
  std::string AddTracksCaption;    // a_b
  std::string AddFolderHint;       // F_b
  std::string RemoveCaption;       // D_B
  std::string ShowCaption;         // N1
  std::string AboutCaption;        // N2
  std::string ExitCaption;         // N3
  std::string ListenersText;
  std::string LinkCaption;      // Label5
  std::string NameCaption;      // Label4
  std::string CheckPortCaption; // cp
  std::string WarningText, WarningTitle, DontShowText;
  std::string PortCheckPage; // the port-check site's page in this language
  // The status line when a broadcast ends by itself without an error.
  std::string EndedText;
  std::string SoundCaption;     // sg
  std::string LoudnessCaption;  // the target loudness
  std::string LoudnessOffText;  // its value for "as loud as the files"
  std::string CrossfadeCaption; // seconds
  std::string TrimCaption;      // cut silence at track ends
  // Around a listening address that is no IPv4 or IPv6 address.
  std::string BindBadText, BindBadReasonText;
  std::string NextTrackCaption; // nt, the tray menu
  std::string PlayNowCaption;   // the list's menu
  std::string PlayNextCaption;
  // After a track's name: it held nothing but silence and was skipped.
  std::string SilentSkippedText;
  // Before the web addresses a playlist named, one a line: they are not added.
  std::string UrlsRefusedText;
  // The add dialog's filters.
  std::string SupportedFilesFilter, AudioFilesFilter, PlaylistsFilter;
  // Icecast status lines: "Icecast host:port/mount: <what>[, <retry> N<seconds>]".
  std::string IcecastConnectedText, IcecastRetryText, IcecastSecondsText, IcecastLostText;
  std::string IcecastLoginRefusedText, IcecastMountRefusedText, IcecastNotFoundText,
      IcecastBadRequestText, IcecastRefusedText, IcecastServerErrorText, IcecastUnreachableText,
      IcecastTimedOutText;
  // Before the masked address and the reason a configured Icecast address is refused.
  std::string IcecastUnusableText, IcecastUnusableReasonText;
};

// The texts for a language code: "ru" gives Russian; "en", and anything else, English (an unknown
// code must never leave the start button without a caption).
const TStationTexts& stationTexts(const std::string& Code);
// The refusal of web addresses found in playlists, naming each.
std::string refusedUrlsText(const TStationTexts& Texts, const std::vector<std::string>& Entries);

// The code the texts stand for: "ru" for "ru", else "en".
std::string normalLanguageCode(const std::string& Code);

// Texts no language changes.
inline constexpr char kAppTitle[] = "Sondrix Radio Station";
inline constexpr char kAboutText[] =
    "Sondrix Radio Station 1.1.1\nSondrix developers\nhttps://sondrix.example.org/";
inline constexpr char kRemoveHint[] = "Удалить выделенные треки";
inline constexpr char kLanguageMenuTitle[] = "Language/Язык";

// The port-check address without the port: Page + "#l:port:data:" + Address + "|".
std::string portCheckBase(const std::string& Page, const std::string& Address);

} // namespace sondrix
