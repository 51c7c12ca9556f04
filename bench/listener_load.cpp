// sondrix-listener-load: holds many stream listeners open against one server and reports
// how well they were served. Prints one key=value line, then one line for people.

#include "bench/load_client.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

namespace {

void usage(std::ostream& out) {
  out << "usage: sondrix-listener-load [options]\n"
         "  --host ADDR        server address (127.0.0.1)\n"
         "  --port N           server port (8098)\n"
         "  --path P           request path (/)\n"
         "  --listeners N      listeners to open (100)\n"
         "  --stall F          share of listeners that never read, 0..1 (0)\n"
         "  --duration S       whole run in seconds, ramp included (60)\n"
         "  --ramp R           connections per second, 0 = all at once (0)\n"
         "  --style plain|mmsh plain HTTP GET or a Windows Media play request (plain)\n"
         "  --bitrate KBPS     the stream's nominal rate (128)\n"
         "  --grace S          seconds after the first byte not judged for starvation (5)\n"
         "  --window S         starvation window, 1..15 s (5)\n"
         "  --starved-ratio F  starved below this share of the nominal rate (0.8)\n"
         "  --prebuffer S      the modelled player's buffer before it plays (2)\n"
         "  --quiet            no progress lines on stderr\n";
}

double number(std::string_view name, const char* text) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0')
    throw std::invalid_argument("bad value for " + std::string(name) + ": " + text);
  return v;
}

} // namespace

int main(int argc, char** argv) {
  using namespace sondrix::bench;
  LoadConfig c;
  bool quiet = false;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view a = argv[i];
      if (a == "--help" || a == "-h") {
        usage(std::cout);
        return 0;
      }
      if (a == "--quiet") {
        quiet = true;
        continue;
      }
      if (i + 1 >= argc)
        throw std::invalid_argument("missing value for " + std::string(a));
      const char* v = argv[++i];
      if (a == "--host")
        c.host = v;
      else if (a == "--port")
        c.port = static_cast<int>(number(a, v));
      else if (a == "--path")
        c.path = v;
      else if (a == "--listeners")
        c.listeners = static_cast<int>(number(a, v));
      else if (a == "--stall")
        c.stallFraction = number(a, v);
      else if (a == "--duration")
        c.durationSeconds = number(a, v);
      else if (a == "--ramp")
        c.rampPerSecond = number(a, v);
      else if (a == "--style") {
        if (std::string_view(v) == "plain")
          c.style = RequestStyle::Plain;
        else if (std::string_view(v) == "mmsh")
          c.style = RequestStyle::Mmsh;
        else
          throw std::invalid_argument("--style is plain or mmsh");
      } else if (a == "--bitrate")
        c.bitrateKbps = number(a, v);
      else if (a == "--grace")
        c.graceSeconds = number(a, v);
      else if (a == "--window")
        c.windowSeconds = static_cast<int>(number(a, v));
      else if (a == "--starved-ratio")
        c.starvedRatio = number(a, v);
      else if (a == "--prebuffer")
        c.prebufferSeconds = number(a, v);
      else
        throw std::invalid_argument("unknown option " + std::string(a));
    }
    if (c.stallFraction < 0 || c.stallFraction > 1)
      throw std::invalid_argument("--stall is a share between 0 and 1");
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    usage(std::cerr);
    return 2;
  }
  if (!quiet)
    c.progress = [last = -1](const std::string& line) mutable {
      // One note every five seconds is enough to watch a run.
      if (++last % 5 == 0)
        std::cerr << line << std::endl;
    };
  try {
    const LoadResult r = runLoad(c);
    std::cout << machineSummary(r) << '\n' << humanSummary(r) << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "sondrix-listener-load: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
