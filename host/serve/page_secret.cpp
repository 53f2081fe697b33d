#include "host/serve/page_secret.h"

#include <utility>

#include "host/base/base64.h"

namespace veyra {
namespace {

// Compares without stopping at the first difference, so the time taken
// says nothing about how much of a guess was right.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  unsigned difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |=
        static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
  }
  return difference == 0;
}

}  // namespace

PageSecret::PageSecret(Random random, Clock nowUs, ChangeObserver onChange)
    : random_(std::move(random)), nowUs_(std::move(nowUs)), onChange_(std::move(onChange)) {
  const std::lock_guard<std::mutex> lock(lock_);
  RenewLocked();
}

std::string PageSecret::Current() {
  const std::lock_guard<std::mutex> lock(lock_);
  return current_;
}

bool PageSecret::Use(std::string_view candidate) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (nowUs_() - issuedUs_ >= kLifetimeUs) {
    RenewLocked();
    return false;
  }
  if (current_.empty() || !SameText(candidate, current_)) {
    return false;
  }
  RenewLocked();
  return true;
}

void PageSecret::RenewIfExpired() {
  const std::lock_guard<std::mutex> lock(lock_);
  if (nowUs_() - issuedUs_ >= kLifetimeUs) {
    RenewLocked();
  }
}

void PageSecret::RenewLocked() {
  const std::vector<std::uint8_t> bytes = random_(kRandomBytes);
  // Without randomness there is no secret: nothing matches an empty one.
  current_ = bytes.size() == kRandomBytes ? base64::EncodeUrl(bytes) : "";
  issuedUs_ = nowUs_();
  if (onChange_) {
    onChange_(current_);
  }
}

}  // namespace veyra
