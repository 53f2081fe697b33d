#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"

namespace veyra::testing {

// A test that records the log at debug level and asks it for lines.
class LoggedTest : public ::testing::Test {
 protected:
  LoggedTest() { SetLogThreshold(LogLevel::Debug); }
  ~LoggedTest() override { SetLogThreshold(LogLevel::Info); }
  bool Logged(const std::string& text) const { return log_.find(text) != std::string::npos; }

  std::string log_;
  RecordingLogSink sink_{&log_};
};

}  // namespace veyra::testing
