#pragma once

#include <QIcon>

namespace sondrix {

// The station's picture for the window and the tray: the icon theme's "sondrix-station" where
// one is installed (the desktop's own look and sizes), else the pictures built into the program.
QIcon stationIcon();

} // namespace sondrix
