#include "host/net/dns_sd_browse.h"

#include <new>

namespace veyra {

void DnsBrowseState::OnAnswer(std::uint32_t status,
                              const std::vector<DnsAnswerRecord>* records) noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (status == status::kErrorSuccess && records != nullptr) {
      try {
        std::vector<DnsServiceEntry> found = ServicesInAnswer(*records);
        services_.insert(services_.end(), std::make_move_iterator(found.begin()),
                         std::make_move_iterator(found.end()));
      } catch (const std::bad_alloc&) {
        // This answer is lost; no exception may leave a platform callback.
      }
    }
    answered_ = true;
  }
  changed_.notify_all();
}

void DnsBrowseState::OnFinished() noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

bool DnsBrowseState::WaitForAnswer(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return answered_; });
}

bool DnsBrowseState::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return finished_; });
}

std::vector<DnsServiceEntry> DnsBrowseState::Services() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return services_;
}

}  // namespace veyra
