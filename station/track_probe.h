#pragma once

#include <string>

namespace sondrix {

// Why the station could not broadcast the file at Path, or an empty text when it can: it is
// opened and decoded as the broadcast chain does (the MP3 input in its station settings, then
// the conversion to the broadcast's format), and one block is read. A file that opens but
// holds no frames plays (as silence that ends) and is not reported.
std::string trackProblem(const std::string& Path);

} // namespace sondrix
