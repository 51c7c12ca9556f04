#include "station/window/station_icon.h"

namespace sondrix {

QIcon stationIcon() {
  QIcon builtIn;
  for (const int size : {16, 32, 64})
    builtIn.addFile(QStringLiteral(":/sondrix/station%1.png").arg(size), QSize(size, size));
  return QIcon::fromTheme(QStringLiteral("sondrix-station"), builtIn);
}

} // namespace sondrix
