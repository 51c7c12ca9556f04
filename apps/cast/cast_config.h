#pragma once

#include "cast_options.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace sondrix {

// A configuration file that cannot be used. The message names the file, and the line where
// one is to blame: "/etc/sondrix/cast.conf:7: Port needs a number from 0 to 65535, not "80x"".
class ECastConfig : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What a configuration file says.
struct CastConfig {
  CastOptions Options;  // Base with the file's settings on top
  std::string Playlist; // as Options.Paths holds it; empty: none given
  std::size_t PlaylistLine = 0;
  std::vector<std::string> Notes; // advice that is no error
};

// Reads the settings of Path on top of Base. The keys are those of the window's config.cfg
// ([Settings] and [Window]; the window's own keys are taken and ignored), plus Playlist= (a
// playlist file, relative to Path's folder; it becomes the only PATH) and Address=. Unlike the
// window's reader it is strict: an unknown section or key, a key given twice (but IcecastUrl),
// a line that is no "key=value", "[section]" or comment and a bad value each throw ECastConfig.
// Whether the playlist can be read is not checked here (see castOptionsOf).
CastConfig readCastConfig(const std::string& Path, CastOptions Base = {});

// The command line with --config FILE read first: the file, then the options on top; the
// file's playlist, unless PATHs replace it, must be readable. Throws std::invalid_argument for
// the command line's mistakes and ECastConfig for the file's. Notes, when given, receives the
// file's advice.
CastOptions castOptionsOf(const std::vector<std::string>& args,
                          std::vector<std::string>* Notes = nullptr);

} // namespace sondrix
