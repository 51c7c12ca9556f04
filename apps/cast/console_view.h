#pragma once

#include "cast_options.h"
#include "station/station_core.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

// The station's face without a window: the controls come from the command line, and what the
// window would show is printed as lines.
class TConsoleView : public TStationView {
public:
  using Printer = std::function<void(const std::string& Line)>;

  TConsoleView(const CastOptions& Options, std::vector<std::string> Files, Printer Print);

  // A list read anew: every entry gets a key the run has not seen, so the run takes all of it
  // as new (call the station's ListChanged next).
  void ReplaceList(std::vector<std::string> Files);
  std::size_t Count() const { return FControls.Entries.size(); }
  // The key of the entry at Index of the list now.
  std::optional<std::uint64_t> KeyAt(std::size_t Index) const;

  TStationControls Controls() const override { return FControls; }
  void SetCaption(const std::string&) override {}
  void SetTitle(const std::string&) override {}
  void SetLink(const std::string& Link) override;
  void SetStatus(const std::string& Text) override;
  void ShowNowPlaying(const std::string&) override {} // the track changes are printed
  void Lock(bool) override {}
  bool ShowPortWarning() override { return false; }
  // Index is the entry's key; the line numbers the entry in the list now.
  void TrackChanged(std::size_t Index, std::size_t Count, const std::string& Path,
                    const std::string& Artist, const std::string& Title) override;
  void ListenersChanged(bool Connected, std::uint32_t Count) override;

private:
  TStationControls FControls;
  Printer FPrint;
  std::uint64_t FNextKey = 0;
};

} // namespace sondrix
