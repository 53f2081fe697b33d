#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "tray/phone_discovery.h"

namespace veyra {

// Carries a search's result from the search thread to the UI thread. The
// thread may outlive the tray's window, so both sides share ownership.
class PhoneHandOver {
 public:
  void Put(std::vector<FoundPhone> phones) {
    const std::lock_guard lock(mutex_);
    phones_ = std::move(phones);
  }

  std::vector<FoundPhone> Take() {
    const std::lock_guard lock(mutex_);
    return std::exchange(phones_, {});
  }

 private:
  std::mutex mutex_;  // guards phones_; a leaf lock
  std::vector<FoundPhone> phones_;
};

}  // namespace veyra
