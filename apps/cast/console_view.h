#pragma once

#include "cast_options.h"
#include "station/station_core.h"

#include <functional>
#include <string>
#include <vector>

namespace sondrix {

// The station's face without a window: the controls come from the command line, and what the
// window would show is printed as lines.
class TConsoleView : public TStationView {
public:
  using Printer = std::function<void(const std::string& Line)>;

  TConsoleView(const CastOptions& Options, std::vector<std::string> Files, Printer Print);

  TStationControls Controls() const override { return FControls; }
  void SetCaption(const std::string&) override {}
  void SetTitle(const std::string&) override {}
  void SetLink(const std::string& Link) override;
  void SetStatus(const std::string& Text) override;
  void ShowNowPlaying(const std::string&) override {} // the track changes are printed
  void Lock(bool) override {}
  bool ShowPortWarning() override { return false; }
  void TrackChanged(std::size_t Index, std::size_t Count, const std::string& Path,
                    const std::string& Artist, const std::string& Title) override;
  void ListenersChanged(bool Connected, std::uint32_t Count) override;

private:
  TStationControls FControls;
  Printer FPrint;
};

} // namespace sondrix
