#pragma once

#include "station/station_texts.h"
#include "winmedia/runtime/icecast_push.h"

#include <string>

namespace sondrix {

// An Icecast push's news as the status line shows it, in the language of Texts:
// "Icecast host:port/mount: login refused (401), retrying in 2 s". Reasons the system words
// itself (Detail) stay as they are.
std::string icecastNewsText(const TStationTexts& Texts, const IcecastReport& Report);

// Why an Icecast address does not parse (parseIcecastUrl's Error), in the language of Texts.
std::string icecastUrlReasonText(const TStationTexts& Texts, const std::string& Reason);

} // namespace sondrix
