#include "base/main_thread_dispatcher.h"
#include "console_commands.h"
#include "console_view.h"
#include "station/station_core.h"
#include "station/track_probe.h"
#include "winmedia/server/net_fd_limit.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

void onSignal(int signal) {
  gStopSignal = signal;
}

void printLine(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
  std::cout << '[' << stamp << "] " << line << std::endl;
}

} // namespace

int main(int argc, char** argv) {
  using namespace sondrix;
  CastOptions options;
  std::vector<std::string> files;
  try {
    options = parseCastOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.Help) {
      std::cout << castUsage();
      return 0;
    }
    std::string refused;
    files = expandPlaylistPaths(options.Paths, &refused);
    if (!refused.empty())
      std::cerr << "sondrix-cast: " << refused << "\n";
    if (files.empty())
      throw std::invalid_argument("the playlists hold no files");
  } catch (const std::exception& e) {
    std::cerr << "sondrix-cast: " << e.what() << "\n\n" << castUsage();
    return 2;
  }

  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  raiseOpenFileLimit();

  mainThreadDispatcher(); // this thread is the main thread
  int status = 0;
  try {
    // Unattended: a file that cannot play is left out now, not found out hours later.
    std::vector<std::string> playable;
    for (const std::string& file : files) {
      const std::string problem = trackProblem(file);
      if (problem.empty())
        playable.push_back(file);
      else
        printLine("Leaving out " + file + ": " + problem);
    }
    if (playable.empty()) {
      printLine("No file can be played");
      return 1;
    }
    TConsoleView view(options, playable, printLine);
    TStationCore station(view);
    if (!options.Address.empty())
      station.SetAddressLookup([address = options.Address] { return address; });
    station.b1Click();
    TCommandLines commands(STDIN_FILENO);
    while (gStopSignal == 0 && station.State() != TBroadcastState::Idle) {
      mainThreadDispatcher().waitAndPump(std::chrono::milliseconds(100));
      for (const std::string& line : commands.Take()) {
        std::string error;
        const std::optional<CastCommand> command = parseCastCommand(line, error);
        if (!command) {
          if (!error.empty())
            printLine(error);
        } else if (command->What == CastCommand::Kind::Next) {
          station.NextTrack();
        } else if (command->Number > playable.size()) {
          printLine("play " + std::to_string(command->Number) + ": the list has " +
                    std::to_string(playable.size()) + " tracks");
        } else {
          station.PlayNow(command->Number - 1);
        }
      }
    }
    if (station.State() == TBroadcastState::Idle) {
      // Nobody asked for this end: an error, or no track gave sound any more.
      status = 1;
      printLine("Broadcast ended");
    } else {
      station.StopAndWait();
      printLine("Stopped");
    }
  } catch (const std::exception& e) {
    printLine(std::string("Cannot start: ") + e.what());
    status = 1;
  }
  return status;
}
