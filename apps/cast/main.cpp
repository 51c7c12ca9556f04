#include "base/main_thread_dispatcher.h"
#include "cast_config.h"
#include "cast_playlist.h"
#include "console_commands.h"
#include "console_view.h"
#include "journal_stream.h"
#include "station/station_core.h"
#include "wake_pipe.h"
#include "winmedia/server/net_fd_limit.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>

namespace {

volatile std::sig_atomic_t gStopSignal = 0;
volatile std::sig_atomic_t gReread = 0;
volatile std::sig_atomic_t gWakeFd = -1;
bool gStamped = true;

void onSignal(int signal) {
  if (signal == SIGHUP)
    gReread = 1;
  else
    gStopSignal = signal;
  if (gWakeFd >= 0)
    sondrix::TWakePipe::notify(gWakeFd);
}

void printLine(const std::string& line) {
  if (!gStamped) {
    std::cout << line << std::endl;
    return;
  }
  const std::time_t now = std::time(nullptr);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
  std::cout << '[' << stamp << "] " << line << std::endl;
}

bool stopAsked() {
  return gStopSignal != 0;
}

} // namespace

int main(int argc, char** argv) {
  using namespace sondrix;
  CastOptions options;
  std::vector<std::string> files;
  try {
    std::vector<std::string> notes;
    options = castOptionsOf(std::vector<std::string>(argv + 1, argv + argc), &notes);
    if (options.Help) {
      std::cout << castUsage();
      return 0;
    }
    for (const std::string& note : notes)
      std::cerr << "sondrix-cast: " << note << "\n";
    std::string refused;
    files = expandPlaylistPaths(options.Paths, &refused);
    if (!refused.empty())
      std::cerr << "sondrix-cast: " << refused << "\n";
    if (files.empty())
      throw std::runtime_error("the playlists hold no files");
  } catch (const std::invalid_argument& e) {
    std::cerr << "sondrix-cast: " << e.what() << "\n\n" << castUsage();
    return 2;
  } catch (const std::exception& e) {
    // The file's or a playlist's fault, not the command line's: the line says it all.
    std::cerr << "sondrix-cast: " << e.what() << "\n";
    return 2;
  }
  gStamped = !isJournalStream(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO);

  // Shared with the dispatcher, which outlives main: a late call wakes a pipe that still is.
  const auto wake = std::make_shared<TWakePipe>();
  setMainThreadDispatcher(makeQueueDispatcher([wake] { wake->Notify(); }));
  gWakeFd = wake->WriteFd();
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  raiseOpenFileLimit();

  int status = 0;
  try {
    const std::vector<std::string> playable = playableTracks(files, printLine, stopAsked);
    if (stopAsked()) {
      printLine("Stopped");
      return 0;
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
    while (!stopAsked() && station.State() != TBroadcastState::Idle) {
      // Signals and the workers' events wake the wait at once; the timeout is a safety net.
      wake->Wait(std::chrono::milliseconds(500), commands.Ended() ? -1 : commands.Fd());
      mainThreadDispatcher().pumpPending();
      if (gReread != 0 && !stopAsked()) {
        gReread = 0;
        if (auto reread = rereadTracks(options.Paths, printLine, stopAsked)) {
          view.ReplaceList(std::move(*reread));
          station.ListChanged();
        }
      }
      for (const std::string& line : commands.Take()) {
        std::string error;
        const std::optional<CastCommand> command = parseCastCommand(line, error);
        if (!command) {
          if (!error.empty())
            printLine(error);
        } else if (command->What == CastCommand::Kind::Next) {
          station.NextTrack();
        } else if (const auto key = view.KeyAt(command->Number - 1)) {
          station.PlayNow(*key);
        } else {
          printLine("play " + std::to_string(command->Number) + ": the list has " +
                    std::to_string(view.Count()) + " tracks");
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
      // A stop that meets a failure on its way out does not make the run a success.
      if (!station.Failure().empty())
        status = 1;
    }
  } catch (const std::exception& e) {
    printLine(std::string("Cannot start: ") + e.what());
    status = 1;
  }
  return status;
}
