#pragma once

#include <stdexcept>
#include <string>

namespace veyra {

// Malformed wire data: a bad frame header, a short binary payload or a JSON
// text that does not parse. Carries only its message text, which callers log
// as it is.
class ProtocolError : public std::runtime_error {
 public:
  explicit ProtocolError(const std::string& message) : std::runtime_error(message) {}
  explicit ProtocolError(const char* message) : std::runtime_error(message) {}
};

}  // namespace veyra
