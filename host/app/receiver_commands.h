#pragma once

#include <string>
#include <vector>

#include "host/base/options.h"
#include "host/net/discovery.h"

namespace veyra {

// "--list": the heading is printed before browsing (the browse takes up to
// three seconds); these give the rest of the output and the exit code.
inline constexpr const char* kBrowseHeading = "browsing for _veyra._tcp ...\n";
std::string ReceiverListing(const std::vector<DiscoveredReceiver>& found);
int ReceiverListingExitCode(const std::vector<DiscoveredReceiver>& found);

// "--discover": takes the first receiver found as the address and port, and
// logs it; leaves |options| as they were when nothing answered.
void UseFirstReceiver(const std::vector<DiscoveredReceiver>& found, Options& options);

}  // namespace veyra
