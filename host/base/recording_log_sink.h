#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "host/base/log.h"

namespace veyra {

// Test sink: appends every log line to a string the test owns, for as long
// as it is installed (its lifetime). Text() copies under the sink's lock, so
// a test may read while other threads still log.
class RecordingLogSink final : public LogSink {
 public:
  explicit RecordingLogSink(std::string* lines) : lines_(lines), previous_(SetLogSink(this)) {}
  ~RecordingLogSink() override { SetLogSink(previous_); }
  RecordingLogSink(const RecordingLogSink&) = delete;
  RecordingLogSink& operator=(const RecordingLogSink&) = delete;

  void Write(std::string_view line) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    lines_->append(line);
  }

  std::string Text() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return *lines_;
  }

 private:
  mutable std::mutex mutex_;  // guards *lines_; a leaf lock taken under the log's lock
  std::string* lines_;
  LogSink* previous_;
};

}  // namespace veyra
