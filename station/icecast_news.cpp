#include "station/icecast_news.h"

namespace sondrix {

namespace {

std::string faultText(const TStationTexts& texts, const IcecastReport& report) {
  switch (report.Fault) {
  case IcecastFault::None:
    return {};
  case IcecastFault::LoginRefused:
    return texts.IcecastLoginRefusedText;
  case IcecastFault::MountRefused:
    return texts.IcecastMountRefusedText;
  case IcecastFault::NotFound:
    return texts.IcecastNotFoundText;
  case IcecastFault::BadRequest:
    return texts.IcecastBadRequestText;
  case IcecastFault::Refused4xx:
    return texts.IcecastRefusedText;
  case IcecastFault::ServerError:
    return texts.IcecastServerErrorText;
  case IcecastFault::Unreachable:
    return texts.IcecastUnreachableText;
  case IcecastFault::TimedOut:
    return texts.IcecastTimedOutText;
  case IcecastFault::ConnectionLost:
    return texts.IcecastLostText;
  case IcecastFault::Other:
    break;
  }
  return report.Detail;
}

std::string seconds(const TStationTexts& texts, std::chrono::milliseconds delay) {
  const auto ms = delay.count();
  std::string number = std::to_string(ms / 1000);
  if (ms % 1000 != 0)
    number += "." + std::to_string(ms % 1000 / 100);
  return number + texts.IcecastSecondsText;
}

} // namespace

std::string icecastNewsText(const TStationTexts& Texts, const IcecastReport& Report) {
  const std::string head = "Icecast " + Report.Label + ": ";
  if (Report.Connected)
    return head + Texts.IcecastConnectedText;
  std::string why = faultText(Texts, Report);
  if (Report.Lost && Report.Fault != IcecastFault::ConnectionLost)
    why = Texts.IcecastLostText + " (" + why + ")";
  return head + why + Texts.IcecastRetryText + seconds(Texts, Report.RetryIn);
}

} // namespace sondrix
