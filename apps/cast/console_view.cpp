#include "console_view.h"

#include "base/utf8_text.h"

#include <algorithm>

namespace sondrix {

TConsoleView::TConsoleView(const CastOptions& Options, std::vector<std::string> Files,
                           Printer Print)
    : FPrint([Print = std::move(Print)](const std::string& Line) {
        // File names, tags and server replies must not drive the operator's terminal.
        Print(cleanUtf8(Line, true));
      }) {
  ReplaceList(std::move(Files));
  FControls.PortText = std::to_string(Options.Port);
  FControls.BitrateText = std::to_string(Options.BitrateKbps);
  FControls.MaxText = std::to_string(Options.MaxListeners);
  FControls.Shuffle = Options.Shuffle;
  FControls.RadioName = Options.Name;
  FControls.Mp3Stream = Options.Mp3;
  FControls.IcecastUrls = Options.IcecastUrls;
  FControls.Loudness = Options.Loudness;
  FControls.Crossfade = Options.Crossfade;
  FControls.TrimSilence = Options.TrimSilence;
  FControls.BindAddress = Options.Bind;
}

void TConsoleView::ReplaceList(std::vector<std::string> Files) {
  FControls.Entries = std::move(Files);
  FControls.Keys.clear();
  for (std::size_t i = 0; i < FControls.Entries.size(); ++i)
    FControls.Keys.push_back(FNextKey++);
}

std::optional<std::uint64_t> TConsoleView::KeyAt(std::size_t Index) const {
  if (Index >= FControls.Keys.size())
    return std::nullopt;
  return FControls.Keys[Index];
}

void TConsoleView::SetLink(const std::string& Link) {
  if (Link.empty())
    return;
  const std::string& bitrate = FControls.BitrateText;
  const std::size_t count = FControls.Entries.size();
  FPrint("On air: " + Link + " (" + std::to_string(count) +
         (count == 1 ? " track, " : " tracks, ") + bitrate +
         (bitrate.size() < 4 ? " kbit/s)" : " bit/s)"));
}

void TConsoleView::SetStatus(const std::string& Text) {
  // Listener counts are printed as listeners come and go; the rest is news.
  if (!Text.empty() && Text.rfind("Listeners: ", 0) != 0)
    FPrint(Text);
}

void TConsoleView::TrackChanged(std::size_t Index, std::size_t, const std::string& Path,
                                const std::string& Artist, const std::string& Title) {
  const std::vector<std::uint64_t>& keys = FControls.Keys;
  const auto at = std::find(keys.begin(), keys.end(), static_cast<std::uint64_t>(Index));
  // A track of the list before a reread, read ahead of it, has no number in this one.
  std::string line = "Track";
  if (at != keys.end())
    line += " " + std::to_string(at - keys.begin() + 1) + "/" + std::to_string(keys.size());
  if (!Path.empty())
    line += ": " + Path;
  if (!Artist.empty() || !Title.empty())
    line += " (" + Artist + " - " + Title + ")";
  FPrint(line);
}

void TConsoleView::ListenersChanged(bool Connected, std::uint32_t Count) {
  FPrint(std::string(Connected ? "Listener connected" : "Listener disconnected") + " (" +
         std::to_string(Count) + " listening)");
}

} // namespace sondrix
