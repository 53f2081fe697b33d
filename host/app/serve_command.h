#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/base/options.h"

namespace veyra {

// Where the phone opens the page: the secret in the fragment, which no
// browser sends in a request.
std::string PageAddress(const std::string& address, std::uint16_t port, const std::string& secret);

// Serves the receiver page and runs the session with the browsers it
// admits, until stopped. Prints through |print| (from several threads, one
// call at a time); returns the process exit code.
int ServeBrowsers(const Options& options, const std::function<void(const std::string&)>& print);

}  // namespace veyra
