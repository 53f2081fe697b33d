#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace veyra {

// One line a host printed, with the number of the start that made it.
struct HostLine {
  std::uint64_t host = 0;
  std::string text;  // without its line end
};

// Carries the lines hosts print from their watcher threads to the UI
// thread. A watcher may outlive the tray's window, so both sides share
// ownership.
class HostOutput {
 public:
  // A line longer than this is cut; nothing the tray follows is that long.
  static constexpr std::size_t kMaxLineBytes = 1024;
  // Lines beyond this many waiting are dropped: the UI thread is stuck or
  // the host floods its output, and either way the tray need not keep up.
  static constexpr std::size_t kMaxWaitingLines = 256;

  // Adds |bytes| that host |host| printed to its unfinished line, kept by
  // the caller in |partial|, and queues every line they complete ("\r\n"
  // or "\n"); true when any was queued.
  bool Feed(std::uint64_t host, std::string& partial, std::string_view bytes);

  std::vector<HostLine> Take();

 private:
  std::mutex mutex_;  // guards waiting_; a leaf lock
  std::vector<HostLine> waiting_;
};

}  // namespace veyra
