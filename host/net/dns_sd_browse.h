#pragma once

// What one DNS-SD browse shares with the platform's callback threads, and
// the platform's browse behind a small interface. Used by the host's
// receiver discovery and the tray's phone search alike.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/base/status_codes.h"
#include "host/net/dns_sd_answer.h"

namespace veyra {

inline constexpr char kVeyraServiceName[] = "_veyra._tcp.local";
// What a platform without a usable browse reports (ERROR_PROC_NOT_FOUND).
inline constexpr std::uint32_t kBrowseUnavailable = status::kErrorProcNotFound;

// The results of one browse. Shared ownership: the browsing call holds one
// reference and the platform's pending request another, which the request
// gives up only with its final callback (the one the cancellation causes), so
// the state outlives every callback whichever side finishes first. If that
// final callback never comes, the platform's reference is kept for the life
// of the process: a small, bounded cost against a use after free.
//
// Callbacks may run on several threads at once and after the browsing call
// has stopped waiting; each does all its work under the one mutex.
class DnsBrowseState {
 public:
  // An answer, from any thread. With status 0 and records, appends the
  // services it names. Wakes WaitForAnswer in every case. Never throws: an
  // answer that cannot be stored is lost, the waiter is still woken.
  void OnAnswer(std::uint32_t status, const std::vector<DnsAnswerRecord>* records) noexcept;
  // The platform will not call back any more.
  void OnFinished() noexcept;

  // Waits until the first answer or |timeout|; true when one came.
  bool WaitForAnswer(std::chrono::milliseconds timeout);
  // Waits until OnFinished or |timeout|; true when finished.
  bool WaitFinished(std::chrono::milliseconds timeout);

  // Every service of every successful answer, in order of arrival.
  std::vector<DnsServiceEntry> Services() const;

 private:
  mutable std::mutex mutex_;  // guards everything below; a leaf lock
  std::condition_variable changed_;
  std::vector<DnsServiceEntry> services_;
  bool answered_ = false;
  bool finished_ = false;
};

// The platform's DNS-SD browse.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;
  // Starts browsing |serviceName|; answers reach |state| on the platform's
  // threads, and OnFinished once no callback can come any more. Returns
  // status::kDnsRequestPending when started, any other status when not
  // (then no callback comes and |state| is not kept).
  virtual std::uint32_t Start(const std::string& serviceName,
                              std::shared_ptr<DnsBrowseState> state) = 0;
  // Cancels a started browse. True when the platform accepted, which means
  // one more callback, with ERROR_CANCELLED, follows and ends the browse.
  virtual bool Cancel() = 0;
};

}  // namespace veyra
