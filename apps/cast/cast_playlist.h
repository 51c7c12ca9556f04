#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sondrix {

using LinePrinter = std::function<void(const std::string& Line)>;

// Of Files, those the station can play, in order; each one left out is printed with the reason.
// Unattended, a file that cannot play is better left out now than found out hours later. Trying
// takes a moment per file: once Stop() is true it gives up and returns nothing.
std::vector<std::string> playableTracks(const std::vector<std::string>& Files,
                                        const LinePrinter& Print,
                                        const std::function<bool()>& Stop);

// Reads the playlists and files of Paths again while on air. The list to play from now on, or
// nullopt when there is none (a playlist that cannot be read, no file that plays, or Stop() came
// true): then the reason is printed and the list on air stays.
std::optional<std::vector<std::string>> rereadTracks(const std::vector<std::string>& Paths,
                                                     const LinePrinter& Print,
                                                     const std::function<bool()>& Stop);

} // namespace sondrix
