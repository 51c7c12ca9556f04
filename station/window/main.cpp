#include "sondrix_server.h"
#include "station/station_texts.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(sondrix::kAppTitle));
  QApplication::setApplicationDisplayName(QString::fromUtf8(sondrix::kAppTitle));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/sondrix/station64.png")));
  // A listener that hangs up must not end the station.
  std::signal(SIGPIPE, SIG_IGN);
  sondrix::installQtDispatcher();
  sondrix::TSondrixServer window;
  window.show();
  return QApplication::exec();
}
