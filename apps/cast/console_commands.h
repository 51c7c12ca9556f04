#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sondrix {

class TStationCore;

// An operator's command on standard input: "next", or "play N" (the N-th file of the list as
// given, from 1).
struct CastCommand {
  enum class Kind { Next, Play } What = Kind::Next;
  std::size_t Number = 0;
};

// Parses one line; nullopt (Error says why) for anything else. Blank lines are no command and
// no error.
std::optional<CastCommand> parseCastCommand(const std::string& Line, std::string& Error);

// Lines from a descriptor that is read without blocking: a terminal or a pipe. Its end (a
// service's empty input) only stops the reading.
class TCommandLines {
public:
  explicit TCommandLines(int Fd) : FFd(Fd) {}
  // The complete lines that have arrived since the last call.
  std::vector<std::string> Take();
  int Fd() const { return FFd; }
  // The input has ended (or was never open): nothing more to wait for.
  bool Ended() const { return FEnded; }

private:
  int FFd;
  bool FEnded = false;
  std::string FPartial;
};

} // namespace sondrix
