#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veyra {

// One phone found on the local network.
struct FoundPhone {
  std::wstring name;     // service instance name up to its first dot
  std::wstring address;  // dotted IPv4 text
  std::uint16_t port = 0;

  bool operator==(const FoundPhone&) const = default;
};

inline constexpr const wchar_t* kPhoneServiceQuery = L"_veyra._tcp.local";

inline constexpr std::uint16_t kDnsTypeA = 1;
inline constexpr std::uint16_t kDnsTypeSrv = 33;

// Statuses of the platform's DNS-SD browse.
inline constexpr std::uint32_t kDnsRequestPending = 9506;  // DNS_REQUEST_PENDING
inline constexpr std::uint32_t kBrowseCancelled = 1223;    // ERROR_CANCELLED

// One record of a browse answer, reduced to what the tray reads; the
// platform glue fills it from the DNS records it receives.
struct AnswerRecord {
  std::uint16_t type = 0;
  std::optional<std::wstring> ownerName;  // absent when the record had none
  std::wstring srvTarget;                 // SRV: target host name
  std::uint16_t srvPort = 0;              // SRV: port
  std::wstring ipv4Text;                  // A: dotted address, empty if not convertible
};

// The instance label of a service instance name: up to, not including, its
// first dot; the whole name when it has none.
std::wstring InstanceLabel(const std::wstring& ownerName);

// The phones one answer names, in record order: one per SRV record with an
// owner name whose target has an A record in the same answer (the first
// such record, its name compared without regard to case). An SRV record
// without one is dropped, even if the target might resolve otherwise.
std::vector<FoundPhone> PhonesInAnswer(std::span<const AnswerRecord> records);

// What one browse shares with the platform's callback threads: the growing
// list, and the signals its waiter sleeps on. Callbacks may run on several
// threads at once and after the waiter has given up; each does all its
// work under the one mutex.
//
// Lifetime: the browse holds a reference to itself from HoldForCallbacks
// until the platform's final callback (the one the cancellation causes)
// has run, so a late callback never meets a freed context. If that final
// callback never comes, the context is deliberately kept for the life of
// the process: a small, bounded cost against a use after free.
class PhoneBrowseContext : public std::enable_shared_from_this<PhoneBrowseContext> {
 public:
  // Before the browse starts: callbacks may run as soon as it has.
  void HoldForCallbacks();
  // The browse did not start, so no callback will come.
  void ReleaseHold();
  // Before asking the platform to cancel; from then on a cancelled status
  // marks the final callback.
  void MarkCancelRequested();

  // One platform callback, from any thread. With a success status adds the
  // answer's phones whose address is not listed yet; in every case wakes
  // the waiter.
  void OnCallback(std::uint32_t status, std::span<const AnswerRecord> records);

  // True when a callback came within the timeout.
  bool WaitForCallback(std::chrono::milliseconds timeout);
  // True when the final callback has run within the timeout.
  bool WaitForFinalCallback(std::chrono::milliseconds timeout);

  std::vector<FoundPhone> Phones() const;

 private:
  void AddPhones(std::vector<FoundPhone> phones);  // under mutex_

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<FoundPhone> phones_;  // in order of arrival, one per address
  bool calledBack_ = false;
  bool cancelRequested_ = false;
  bool finished_ = false;
  std::shared_ptr<PhoneBrowseContext> self_;
};

// The platform's DNS-SD browse for the phone service.
class PhoneServiceBrowser {
 public:
  virtual ~PhoneServiceBrowser() = default;

  // Starts browsing; the platform then calls context.OnCallback from its
  // threads. Returns kDnsRequestPending when the browse is running.
  virtual std::uint32_t Start(PhoneBrowseContext& context) = 0;

  // Stops the browse. True when the platform accepted, which means one
  // more callback, with kBrowseCancelled, follows.
  virtual bool Cancel() = 0;
};

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
std::vector<FoundPhone> RunPhoneBrowse(PhoneServiceBrowser& browser,
                                       const PhoneBrowseTimings& timings = {});

}  // namespace veyra
