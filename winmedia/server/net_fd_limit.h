#pragma once

#include <cstdint>

namespace sondrix {

// Raises this process's open-file limit (RLIMIT_NOFILE) to its hard limit, so the network
// sink can hold as many listeners as the system allows. Returns the soft limit in force
// afterwards (unchanged if raising failed).
std::uint64_t raiseOpenFileLimit();

} // namespace sondrix
