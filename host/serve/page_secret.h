#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veyra {

// The one-time secret in the page's address (after the "#", which no
// browser sends in a request): only a browser that was given it may ask
// this PC's user for the screen. It changes once it has been used and when
// it expires, and says so through onChange, so the address shown is always
// one that works. Thread-safe; onChange runs under the secret's lock, on
// the thread that changed it, and must not call back.
class PageSecret {
 public:
  static constexpr std::uint64_t kLifetimeUs = 10ull * 60 * 1000000;
  static constexpr std::size_t kRandomBytes = 16;

  using Random = std::function<std::vector<std::uint8_t>(std::size_t)>;
  using Clock = std::function<std::uint64_t()>;
  using ChangeObserver = std::function<void(const std::string& secret)>;

  PageSecret(Random random, Clock nowUs, ChangeObserver onChange);

  // The secret to show now.
  std::string Current();

  // True when |candidate| is the current, unexpired secret; it is then used
  // up and a new one made.
  bool Use(std::string_view candidate);

  // Makes a new secret when the current one has expired.
  void RenewIfExpired();

 private:
  void RenewLocked();

  Random random_;
  Clock nowUs_;
  ChangeObserver onChange_;
  std::mutex lock_;
  std::string current_;
  std::uint64_t issuedUs_ = 0;
};

}  // namespace veyra
