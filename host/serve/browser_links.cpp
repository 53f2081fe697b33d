#include "host/serve/browser_links.h"

#include <chrono>
#include <utility>

namespace veyra {

bool BrowserLinks::Reserve() {
  const std::lock_guard<std::mutex> lock(lock_);
  if (closed_ || place_ != Place::kFree) {
    return false;
  }
  place_ = Place::kReserved;
  return true;
}

void BrowserLinks::CancelReservation() {
  const std::lock_guard<std::mutex> lock(lock_);
  if (place_ == Place::kReserved) {
    place_ = Place::kFree;
  }
}

void BrowserLinks::Deliver(BrowserLink link) {
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (closed_ || place_ != Place::kReserved) {
      return;  // the link closes as it goes out of scope here
    }
    waiting_ = std::move(link);
    place_ = Place::kWaiting;
  }
  changed_.notify_all();
}

std::optional<BrowserLink> BrowserLinks::Next(std::uint64_t timeoutUs) {
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait_for(lock, std::chrono::microseconds(timeoutUs),
                    [this] { return closed_ || place_ == Place::kWaiting; });
  if (closed_ || place_ != Place::kWaiting) {
    return std::nullopt;
  }
  place_ = Place::kTaken;
  std::optional<BrowserLink> link = std::move(waiting_);
  waiting_.reset();
  return link;
}

void BrowserLinks::Release() {
  const std::lock_guard<std::mutex> lock(lock_);
  if (place_ == Place::kTaken) {
    place_ = Place::kFree;
  }
}

void BrowserLinks::Close() {
  std::optional<BrowserLink> dropped;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    closed_ = true;
    dropped = std::move(waiting_);
    waiting_.reset();
  }
  changed_.notify_all();
}

}  // namespace veyra
