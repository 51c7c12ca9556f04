#pragma once

#include <stdexcept>
#include <string>

namespace sondrix {

// The pipeline's one exception class; its message is the text the operator sees.
class EAuException : public std::runtime_error {
public:
  explicit EAuException(const std::string& message) : std::runtime_error(message) {}
};

} // namespace sondrix
