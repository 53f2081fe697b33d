#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "host/base/options.h"

namespace veyra {

// The platform and the commands that the entry hands over to. The entry's
// decisions (what an argument means, what is printed, the exit code) are
// portable; everything that touches the process, the pairing store, the
// network or the session goes through this interface.
class HostEnvironment {
 public:
  virtual ~HostEnvironment() = default;

  // User-facing text, to standard output.
  virtual void Print(const std::string& text) = 0;
  // Reopens the standard error stream onto |path| (created or truncated).
  virtual bool ReopenLog(const std::string& path) = 0;

  // One-shot commands; each returns the process exit code.
  virtual int ListReceivers() = 0;
  virtual int Probe() = 0;
  virtual int ListPairings() = 0;
  virtual int Forget(const std::string& deviceId) = 0;
  virtual int ForgetAll() = 0;

  // Browses for receivers; sets host and port from the first answer.
  virtual void Discover(Options& options) = 0;
  // Stores the display name shown on the receiver's approval prompt.
  virtual void StoreHostName(const std::string& name) = 0;
  // Runs the session until it ends; returns its status (negative: failure;
  // kExitRefusedOnThisPc: this PC's user refused the receiver).
  virtual int RunSession(const Options& options) = 0;
  // Serves the receiver page on options.port and runs the session with the
  // browsers it admits until stopped; returns the process exit code.
  virtual int ServeBrowsers(const Options& options) = 0;
};

// Exit code of a session that this PC's user refused (or left unanswered):
// the tray does not start such a host again.
inline constexpr int kExitRefusedOnThisPc = 3;

// What a build offers beyond the designed command line. The designed lines
// and messages stay byte for byte; an extra is listed after them.
struct CommandLineExtras {
  // The noise band as a --source kind: the native build's link benchmark
  // streams it.
  bool noiseSource = false;
};

// This build's extras: none on Windows.
CommandLineExtras BuildExtras();

// Reads the arguments (the program name excluded) and runs what they ask
// for; returns the process exit code.
int RunCommandLine(std::span<const char* const> args, HostEnvironment& env,
                   const CommandLineExtras& extras = BuildExtras());

// The 41-line usage text, then the lines of the extras, if any.
std::string UsageText(const CommandLineExtras& extras = BuildExtras());

// atol as the Windows C runtime does it: leading white space, an optional
// sign and decimal digits, the rest ignored, 0 when there is no number; a
// value beyond the 32-bit long range sticks at its limit.
std::int32_t AtolLike(const char* text);

// Splits "WxH" at the first 'x'; nothing when there is no 'x' or either
// number converts to 0.
struct StreamSize {
  std::uint32_t width;
  std::uint32_t height;
};
std::optional<StreamSize> ParseStreamSize(const std::string& text);

}  // namespace veyra
