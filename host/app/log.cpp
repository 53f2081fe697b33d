#include "host/app/log.h"

#include <cstdarg>
#include <mutex>

#include "host/app/clock.h"

namespace veyra {
namespace {

// The process's log state: the threshold and the lock that keeps lines whole.
LogLevel g_threshold = LogLevel::Info;
std::mutex g_logLock;

}  // namespace

const char* LogLevelName(int level) {
  static constexpr const char* kNames[] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERROR"};
  if (level < 0 || level > 4) {
    return "?????";
  }
  return kNames[level];
}

void SetLogThreshold(LogLevel level) { g_threshold = level; }

LogLevel LogThreshold() { return g_threshold; }

void Log(LogLevel level, const char* format, ...) {
  if (static_cast<int>(level) < static_cast<int>(g_threshold)) {
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
  log_detail::WriteLine(stderr, NowUs(), static_cast<int>(level), message);
}

namespace log_detail {

void WriteLine(std::FILE* stream, std::uint64_t nowUs, int level, const char* message) {
  const auto seconds = static_cast<unsigned long long>(nowUs / 1000000);
  const auto millis = static_cast<unsigned long long>((nowUs / 1000) % 1000);
  const std::lock_guard<std::mutex> lock(g_logLock);
  std::fprintf(stream, "[%8llu.%03llu] %s %s\n", seconds, millis, LogLevelName(level), message);
  std::fflush(stream);
}

}  // namespace log_detail
}  // namespace veyra
