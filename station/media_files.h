#pragma once

#include "station/station_texts.h"

#include <array>
#include <string>
#include <string_view>

namespace sondrix {

// Extensions of the audio files the station plays (its decoder reads them all), lower case.
inline constexpr std::array<std::string_view, 9> kAudioExtensions = {
    ".mp3", ".flac", ".ogg", ".oga", ".opus", ".m4a", ".aac", ".wav", ".wma"};
// Extensions of the playlist files the station expands, lower case.
inline constexpr std::array<std::string_view, 4> kPlaylistExtensions = {".spl", ".m3u", ".m3u8",
                                                                        ".pls"};

// By the extension, in any case.
bool isAudioFile(const std::string& Path);
bool isPlaylistFile(const std::string& Path);

// The add dialog's filters ("Name (patterns);;..."): supported files, audio, playlists. Each
// pattern matches its extension in any case ("*.[Ff][Ll][Aa][Cc]"), since file dialogs compare
// names case-sensitively here.
std::string openDialogFilter(const TStationTexts& Texts);

} // namespace sondrix
