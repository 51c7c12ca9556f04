#include "sondrix_server.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  sondrix::configureApplication();
  // A listener that hangs up must not end the station.
  std::signal(SIGPIPE, SIG_IGN);
  sondrix::installQtDispatcher();
  sondrix::TSondrixServer window;
  window.show();
  return QApplication::exec();
}
