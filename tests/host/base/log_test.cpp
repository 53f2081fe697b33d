#include "host/base/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/base/clock.h"
#include "host/base/recording_log_sink.h"

namespace veyra {
namespace {

// Writes one line through the real formatter into a temporary file.
std::string LineAt(std::uint64_t nowUs, int level, const char* message) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(std::tmpfile(), &std::fclose);
  std::FILE* file = owned.get();
  if (file == nullptr) {
    ADD_FAILURE() << "no temporary file";
    return {};
  }
  log_detail::WriteLine(file, log_detail::FormatLine(nowUs, level, message));
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
    text.append(buffer, n);
  }
  return text;
}

class LogThresholdGuard {
 public:
  LogThresholdGuard() : saved_(LogThreshold()) {}
  ~LogThresholdGuard() { SetLogThreshold(saved_); }

 private:
  LogLevel saved_;
};

TEST(LogLineTest, FormatsTimeLevelAndMessage) {
  struct Case {
    std::uint64_t nowUs;
    int level;
    const char* expected;
  };
  const Case cases[] = {
      {123456789012ULL, 2, "[  123456.789] INFO  state A -> B (x)\n"},
      {5000123ULL, 3, "[       5.000] WARN  state A -> B (x)\n"},
      {12345678901ULL, 4, "[   12345.678] ERROR state A -> B (x)\n"},
      {0, 0, "[       0.000] TRACE state A -> B (x)\n"},
      {999999999ULL, 1, "[     999.999] DEBUG state A -> B (x)\n"},
      {123456789012345678ULL, 7, "[123456789012.345] ????? state A -> B (x)\n"},
      {1000, -1, "[       0.001] ????? state A -> B (x)\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LineAt(c.nowUs, c.level, "state A -> B (x)"), c.expected) << c.nowUs;
  }
}

TEST(LogTest, DropsLinesBelowThreshold) {
  const LogThresholdGuard guard;
  SetLogThreshold(LogLevel::Info);
  std::string out;
  {
    const RecordingLogSink sink(&out);
    Log(LogLevel::Debug, "hidden %d", 1);
    Log(LogLevel::Trace, "hidden %d", 2);
    Log(LogLevel::Info, "shown %d", 3);
    Log(static_cast<LogLevel>(7), "odd level");
  }
  EXPECT_EQ(out.find("hidden"), std::string::npos);
  EXPECT_NE(out.find("] INFO  shown 3\n"), std::string::npos);
  EXPECT_NE(out.find("] ????? odd level\n"), std::string::npos);

  SetLogThreshold(LogLevel::Debug);
  std::string later;
  {
    const RecordingLogSink sink(&later);
    Log(LogLevel::Debug, "now shown");
  }
  EXPECT_NE(later.find("] DEBUG now shown\n"), std::string::npos);
}

TEST(LogTest, CutsLongMessagesTo1023Bytes) {
  const LogThresholdGuard guard;
  SetLogThreshold(LogLevel::Info);
  const std::string longText(2000, 'a');
  std::string out;
  {
    const RecordingLogSink sink(&out);
    Log(LogLevel::Info, "%s", longText.c_str());
  }
  const std::string prefix = "] INFO  ";
  const auto start = out.find(prefix);
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(out.substr(start + prefix.size()), std::string(1023, 'a') + "\n");
}

TEST(ClockTest, SplitsTicksWithoutOverflow) {
  EXPECT_EQ(TicksToUs(10000000, 10000000), 1000000u);
  EXPECT_EQ(TicksToUs(15, 10), 1500000u);
  // 2^63 ticks at 10 MHz would overflow a plain ticks * 1e6.
  EXPECT_EQ(TicksToUs(1ULL << 63, 10000000), 922337203685477580ULL);
  EXPECT_EQ(TicksToUs(3, 3000000), 1u);
}

TEST(ClockTest, NeverGoesBackwards) {
  std::uint64_t last = NowUs();
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t now = NowUs();
    ASSERT_GE(now, last);
    last = now;
  }
}

}  // namespace
}  // namespace veyra
