#pragma once

#include <vector>

#include "tray/phone_discovery.h"

namespace veyra {

// The phones answering a DNS-SD browse of the local network, in order of
// arrival, one per address; empty when DNS-SD is unavailable. Takes 0.4 to
// 2.9 s plus the cancellation. Runs on the tray's search thread.
std::vector<FoundPhone> BrowsePhones();

}  // namespace veyra
