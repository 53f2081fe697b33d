#include "host/base/log.h"

#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>
#include <utility>

#include "host/base/clock.h"

namespace veyra {
namespace {

// The process's log state: the threshold, the sink, and the lock that keeps
// lines whole. g_sink is guarded by g_logLock (a leaf lock). The threshold is
// atomic: the console's signal thread logs while the entry may still be
// setting it (--verbose).
std::atomic<LogLevel> g_threshold{LogLevel::Info};
std::mutex g_logLock;
LogSink* g_sink = nullptr;

}  // namespace

const char* LogLevelName(int level) {
  static constexpr const char* kNames[] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERROR"};
  if (level < 0 || level > 4) {
    return "?????";
  }
  return kNames[level];
}

void SetLogThreshold(LogLevel level) { g_threshold.store(level, std::memory_order_relaxed); }

LogLevel LogThreshold() { return g_threshold.load(std::memory_order_relaxed); }

LogSink* SetLogSink(LogSink* sink) {
  const std::lock_guard<std::mutex> lock(g_logLock);
  return std::exchange(g_sink, sink);
}

void Log(LogLevel level, const char* format, ...) {
  if (static_cast<int>(level) < static_cast<int>(LogThreshold())) {
    return;
  }
  char message[log_detail::kMaxMessageBytes + 1];
  va_list args;
  va_start(args, format);
  // vsnprintf truncates to the buffer and always terminates it, which keeps
  // the first 1023 bytes of a longer message.
  const int written = std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (written < 0) {
    message[0] = '\0';
  }
  const std::string line = log_detail::FormatLine(NowUs(), static_cast<int>(level), message);
  const std::lock_guard<std::mutex> lock(g_logLock);
  if (g_sink != nullptr) {
    g_sink->Write(line);
  } else {
    log_detail::WriteLine(stderr, line);
  }
}

namespace log_detail {

std::string FormatLine(std::uint64_t nowUs, int level, const char* message) {
  const auto seconds = static_cast<unsigned long long>(nowUs / 1000000);
  const auto millis = static_cast<unsigned long long>((nowUs / 1000) % 1000);
  char prefix[48];
  const int n = std::snprintf(prefix, sizeof(prefix), "[%8llu.%03llu] %s ", seconds, millis,
                              LogLevelName(level));
  std::string line(prefix, n > 0 ? static_cast<std::size_t>(n) : 0);
  line += message;
  line += '\n';
  return line;
}

void WriteLine(std::FILE* stream, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace log_detail
}  // namespace veyra
