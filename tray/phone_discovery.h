#pragma once

// The tray's phone search over the shared DNS-SD browse: which phones an
// answer names, one per address, and the search sequence.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/net/dns_sd_browse.h"

namespace veyra {

// One phone found on the local network.
struct FoundPhone {
  std::wstring name;     // service instance name up to its first dot
  std::wstring address;  // dotted IPv4 text
  std::uint16_t port = 0;

  bool operator==(const FoundPhone&) const = default;
};

// The instance label of a service instance name: up to, not including, its
// first dot; the whole name when it has none.
std::wstring InstanceLabel(const std::wstring& ownerName);

// The phones among the services of a browse, in order: one per service with
// an instance name and a target whose address came in the same answer (an
// SRV record without an A record is dropped, even if the target might
// resolve otherwise), and one per address, the first listed winning.
std::vector<FoundPhone> PhonesFromServices(std::span<const DnsServiceEntry> services);

// The phones of one answer alone.
std::vector<FoundPhone> PhonesInAnswer(std::span<const DnsAnswerRecord> records);

struct PhoneBrowseTimings {
  std::chrono::milliseconds firstAnswer{2500};
  // Always waited after the first wait, so phones answering just after the
  // first one are listed too.
  std::chrono::milliseconds settle{400};
  // Bound on the wait for the final callback after the cancel.
  std::chrono::milliseconds cancelGrace{3000};
};

// One search: browse, wait for a first answer and a fixed time more,
// cancel, and return the phones in order of arrival. Blocking; runs on the
// tray's search thread.
std::vector<FoundPhone> RunPhoneBrowse(ServiceBrowser& browser,
                                       const PhoneBrowseTimings& timings = {});

}  // namespace veyra
