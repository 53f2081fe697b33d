#include "tray/host_output.h"

#include <utility>

namespace veyra {

bool HostOutput::Feed(std::uint64_t host, std::string& partial, std::string_view bytes) {
  std::vector<std::string> complete;
  for (const char c : bytes) {
    if (c == '\n') {
      if (!partial.empty() && partial.back() == '\r') {
        partial.pop_back();
      }
      complete.push_back(std::exchange(partial, {}));
    } else if (partial.size() < kMaxLineBytes) {
      partial += c;
    }
  }
  if (complete.empty()) {
    return false;
  }
  const std::lock_guard lock(mutex_);
  for (std::string& line : complete) {
    if (waiting_.size() < kMaxWaitingLines) {
      waiting_.push_back({host, std::move(line)});
    }
  }
  return true;
}

std::vector<HostLine> HostOutput::Take() {
  const std::lock_guard lock(mutex_);
  return std::exchange(waiting_, {});
}

}  // namespace veyra
