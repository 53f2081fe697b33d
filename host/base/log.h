#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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

// Formats "[sssssss.mmm] LEVEL message\n" and hands the line to the sink:
// by default the standard error stream (which --log reopens onto its file),
// flushed after each line. Safe from any thread; lines never interleave.
void Log(LogLevel level, const char* format, ...) VEYRA_PRINTF_FORMAT(2, 3);

// Where finished lines go. Write runs under the log's lock, one complete line
// (ending in a line feed) per call, so a sink needs no lock of its own for
// the lines themselves.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(std::string_view line) = 0;
};

// Sends every following line to |sink| instead of standard error; nullptr
// restores standard error. Returns the sink that was installed before. The
// sink must outlive its installation.
LogSink* SetLogSink(LogSink* sink);

namespace log_detail {

// Longest message kept; a longer one is cut to this many bytes.
inline constexpr std::size_t kMaxMessageBytes = 1023;

// One complete line for a message taken at |nowUs|. Split out of Log so that
// the line format can be checked against fixed times.
std::string FormatLine(std::uint64_t nowUs, int level, const char* message);

// The standard-error sink's write: the line, then a flush, so that a line is
// on disk or in the pipe before the next one starts.
void WriteLine(std::FILE* stream, std::string_view line);

}  // namespace log_detail
}  // namespace veyra
