#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(__MINGW32__)
#define VEYRA_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define VEYRA_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace veyra {

// Severity of a log line, in increasing order.
enum class LogLevel : int {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warn = 3,
  Error = 4,
};

// The five-character name printed for a level ("INFO " and "WARN " carry a
// trailing space); "?????" for a value outside the table.
const char* LogLevelName(int level);

// Lines below the threshold are dropped before formatting. The threshold is
// INFO at start and is changed only while the command line is read, before
// any other thread exists.
void SetLogThreshold(LogLevel level);
LogLevel LogThreshold();

// Writes "[sssssss.mmm] LEVEL message\n" to the standard error stream and
// flushes it. Safe from any thread; lines never interleave.
void Log(LogLevel level, const char* format, ...) VEYRA_PRINTF_FORMAT(2, 3);

namespace log_detail {

// Longest message kept; a longer one is cut to this many bytes.
inline constexpr std::size_t kMaxMessageBytes = 1023;

// Writes one complete line for a message taken at |nowUs|. Split out of Log
// so that the line format can be checked against fixed times.
void WriteLine(std::FILE* stream, std::uint64_t nowUs, int level, const char* message);

}  // namespace log_detail
}  // namespace veyra
