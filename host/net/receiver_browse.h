#pragma once

// The platform-independent half of receiver discovery: the walk over an
// answer's records, the result state shared with the platform's callback
// threads, and the browse sequence (start, wait, cancel, resolve).

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/net/discovery.h"

namespace veyra {

inline constexpr char kReceiverServiceName[] = "_veyra._tcp.local";
// DnsServiceBrowse's "started" status, DNS_REQUEST_PENDING.
inline constexpr std::uint32_t kDnsRequestPending = 9506;
// ERROR_PROC_NOT_FOUND: what a platform without a usable browse reports.
inline constexpr std::uint32_t kBrowseUnavailable = 127;

// One DNS record of an answer, as the platform's list gives it.
struct DnsAnswerRecord {
  static constexpr std::uint16_t kTypeA = 1;
  static constexpr std::uint16_t kTypeAaaa = 28;
  static constexpr std::uint16_t kTypeSrv = 33;

  std::uint16_t type = 0;
  std::string name;                    // owner name, UTF-8
  std::string srvTarget;               // SRV only
  std::uint16_t srvPort = 0;           // SRV only
  std::array<std::uint8_t, 4> ipv4{};  // A only, network order
};

// One entry per SRV record, in record order. An entry's address comes from
// the first A record of the whole list whose name equals the SRV target,
// compared without regard to ASCII letter case (DNS names are
// case-insensitive); otherwise it stays empty for resolution.
std::vector<DiscoveredReceiver> ReceiversFromAnswer(const std::vector<DnsAnswerRecord>& records);

// Host name to numeric address text; empty when it does not resolve.
using AddressResolver = std::function<std::string(const std::string&)>;

// What one browse shares with the platform's callback threads. Shared
// ownership: the browsing call holds one reference and the platform's
// pending request another, released by its final callback, so the state
// outlives every callback whichever side finishes first.
class BrowseResults {
 public:
  // An answer. With status 0 and records, appends one entry per SRV record.
  // Wakes WaitForAnswer in every case.
  void OnAnswer(std::uint32_t status, const std::vector<DnsAnswerRecord>* records);
  // The platform will not call back any more.
  void OnFinished();

  // Waits until the first answer or |timeout|; true when one came.
  bool WaitForAnswer(std::chrono::milliseconds timeout);
  // Waits until OnFinished or |timeout|; true when finished.
  bool WaitFinished(std::chrono::milliseconds timeout);

  // Fills every empty address by resolving its target host.
  void ResolveMissingAddresses(const AddressResolver& resolve);
  std::vector<DiscoveredReceiver> List() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DiscoveredReceiver> receivers_;
  bool answered_ = false;
  bool finished_ = false;
};

// The platform's DNS-SD browse.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;
  // Starts browsing |serviceName|; answers reach |results| on the platform's
  // threads, and OnFinished once no callback can come any more. Returns
  // kDnsRequestPending when started, any other status when not (then no
  // callback comes).
  virtual std::uint32_t Start(const std::string& serviceName,
                              std::shared_ptr<BrowseResults> results) = 0;
  // Cancels a started browse.
  virtual void Cancel() = 0;
};

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
