#include "console_commands.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <charconv>

namespace sondrix {

std::optional<CastCommand> parseCastCommand(const std::string& Line, std::string& Error) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : Line + " ") {
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      if (!word.empty())
        words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  Error.clear();
  if (words.empty())
    return std::nullopt;
  if (words[0] == "next" && words.size() == 1)
    return CastCommand{CastCommand::Kind::Next, 0};
  if (words[0] == "play" && words.size() == 2) {
    std::size_t n = 0;
    const std::string& text = words[1];
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec == std::errc() && end == text.data() + text.size() && n >= 1)
      return CastCommand{CastCommand::Kind::Play, n};
  }
  Error = "unknown command \"" + Line + "\" (commands: next, play N)";
  return std::nullopt;
}

std::vector<std::string> TCommandLines::Take() {
  std::vector<std::string> lines;
  while (!FEnded) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
      break;
    if ((p.revents & POLLNVAL) != 0) {
      FEnded = true; // a service started with standard input closed
      break;
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
      break;
    char buffer[512];
    const ssize_t n = ::read(FFd, buffer, sizeof buffer);
    if (n <= 0) {
      FEnded = true;
      break;
    }
    FPartial.append(buffer, static_cast<std::size_t>(n));
    // A line without end that grows past reason is nobody's command.
    if (FPartial.size() > 4096)
      FPartial.clear();
  }
  for (std::size_t end; (end = FPartial.find('\n')) != std::string::npos;) {
    lines.push_back(FPartial.substr(0, end));
    FPartial.erase(0, end + 1);
  }
  return lines;
}

} // namespace sondrix
