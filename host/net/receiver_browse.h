#pragma once

// The host's receiver discovery over the shared DNS-SD browse: receivers
// from an answer's services, and the browse sequence (start, wait, cancel,
// resolve).

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/net/discovery.h"
#include "host/net/dns_sd_browse.h"

namespace veyra {

// One receiver per SRV record, in record order: the shared walk, with an
// absent name as empty text and a missing address left empty for resolution.
std::vector<DiscoveredReceiver> ReceiversFromAnswer(std::span<const DnsAnswerRecord> records);
DiscoveredReceiver ReceiverFromService(const DnsServiceEntry& service);

// Host name to numeric address text; empty when it does not resolve.
using AddressResolver = std::function<std::string(const std::string&)>;

struct BrowseTiming {
  // How long to wait for the first answer.
  std::chrono::milliseconds answerWait{3000};
  // How long to wait, after cancelling, for the platform's last callback.
  // Past it the shared state simply stays with the platform.
  std::chrono::milliseconds finishWait{2000};
};

// The browse sequence on |browser|: start, wait for the first answer, cancel,
// wait for the last callback, resolve missing addresses with |resolve|.
std::vector<DiscoveredReceiver> BrowseWith(ServiceBrowser& browser, const AddressResolver& resolve,
                                           const BrowseTiming& timing = {});

}  // namespace veyra
