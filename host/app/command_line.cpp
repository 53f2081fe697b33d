#include "host/app/command_line.h"

#include <climits>
#include <string_view>

#include "host/base/log.h"

namespace veyra {
namespace {

constexpr const char* kMissingAddress =
    "No receiver address. Use --host <addr>, or --discover / --list.\n\n";

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Walks the argument list; an option's value is whatever argument follows.
class ArgumentReader {
 public:
  explicit ArgumentReader(std::span<const char* const> args) : args_(args) {}

  bool Done() const { return next_ >= args_.size(); }
  std::string_view Next() { return args_[next_++]; }
  // The value of |option|, or nothing when the arguments ran out.
  std::optional<std::string> Value() {
    if (Done()) {
      return std::nullopt;
    }
    return std::string(args_[next_++]);
  }

 private:
  std::span<const char* const> args_;
  std::size_t next_ = 0;
};

enum class NumberOption { Port, Output, Fps, Bitrate, Gop };

void ApplyNumber(NumberOption which, std::int32_t n, Options& options) {
  switch (which) {
    case NumberOption::Port:
      options.port = static_cast<std::uint16_t>(n);
      break;
    case NumberOption::Output:
      options.outputIndex = n;
      break;
    case NumberOption::Fps:
      options.fps = n;
      break;
    case NumberOption::Bitrate:
      // Wraps like the 32-bit multiplication of the original build would,
      // without the undefined behaviour of signed overflow.
      options.bitrate = static_cast<std::int32_t>(static_cast<std::int64_t>(n) * 1000);
      break;
    case NumberOption::Gop:
      options.gop = n;
      break;
  }
}

std::optional<NumberOption> NumberOptionFor(std::string_view arg) {
  if (arg == "--port") return NumberOption::Port;
  if (arg == "--output") return NumberOption::Output;
  if (arg == "--fps") return NumberOption::Fps;
  if (arg == "--bitrate") return NumberOption::Bitrate;
  if (arg == "--gop") return NumberOption::Gop;
  return std::nullopt;
}

}  // namespace

std::int32_t AtolLike(const char* text) {
  const char* p = text;
  while (IsCSpace(*p)) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Accumulate in 64 bits and stop growing once past the 32-bit range, which
  // is where the Windows runtime's atol saturates.
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT32_MAX) + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= kLimit) {
      value = value * 10 + (*p - '0');
    }
  }
  if (negative) {
    value = -value;
  }
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

std::optional<StreamSize> ParseStreamSize(const std::string& text) {
  const auto x = text.find('x');
  if (x == std::string::npos) {
    return std::nullopt;
  }
  const auto width = static_cast<std::uint32_t>(AtolLike(text.substr(0, x).c_str()));
  const auto height = static_cast<std::uint32_t>(AtolLike(text.c_str() + x + 1));
  if (width == 0 || height == 0) {
    return std::nullopt;
  }
  return StreamSize{width, height};
}

int RunCommandLine(std::span<const char* const> args, HostEnvironment& env,
                   const CommandLineExtras& extras) {
  Options options;
  bool discover = false;
  std::string hostName;

  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string_view arg = reader.Next();
    // Options with a value: a missing value ends the process at once.
    const auto valueFor = [&](std::string_view option) -> std::optional<std::string> {
      auto value = reader.Value();
      if (!value) {
        env.Print(std::string(option) + " requires a value\n");
      }
      return value;
    };

    if (arg == "--help" || arg == "-h") {
      env.Print(UsageText(extras));
      return 0;
    }
    if (arg == "--version") {
      env.Print(std::string(kHostVersion) + "\n");
      return 0;
    }
    if (arg == "--list") {
      return env.ListReceivers();
    }
    if (arg == "--probe") {
      SetLogThreshold(LogLevel::Info);
      return env.Probe();
    }
    if (arg == "--pairings") {
      return env.ListPairings();
    }
    if (arg == "--forget") {
      const auto id = valueFor(arg);
      if (!id) return 2;
      return env.Forget(*id);
    }
    if (arg == "--forget-all") {
      return env.ForgetAll();
    }
    if (arg == "--name") {
      const auto name = valueFor(arg);
      if (!name) return 2;
      hostName = *name;
    } else if (arg == "--discover") {
      discover = true;
    } else if (arg == "--host") {
      const auto host = valueFor(arg);
      if (!host) return 2;
      options.host = *host;
    } else if (const auto number = NumberOptionFor(arg)) {
      const auto value = valueFor(arg);
      if (!value) return 2;
      ApplyNumber(*number, AtolLike(value->c_str()), options);
    } else if (arg == "--size") {
      const auto value = valueFor(arg);
      if (!value) return 2;
      const auto size = ParseStreamSize(*value);
      if (!size) {
        env.Print("--size expects WxH, e.g. 1920x1080\n");
        return 2;
      }
      options.width = size->width;
      options.height = size->height;
    } else if (arg == "--source") {
      const auto value = valueFor(arg);
      if (!value) return 2;
      const bool noise = extras.noiseSource && *value == "noise";
      if (*value != "dd" && *value != "synthetic" && !noise) {
        env.Print(extras.noiseSource ? "--source expects 'dd', 'synthetic' or 'noise'\n"
                                     : "--source expects 'dd' or 'synthetic'\n");
        return 2;
      }
      options.source = *value;
    } else if (arg == "--software") {
      options.preferHardware = false;
    } else if (arg == "--serve") {
      options.serve = true;
    } else if (arg == "--no-tls") {
      options.useTls = false;
    } else if (arg == "--no-input") {
      options.injectInput = false;
    } else if (arg == "--verbose") {
      SetLogThreshold(LogLevel::Debug);
    } else if (arg == "--log") {
      const auto path = valueFor(arg);
      if (!path) return 2;
      if (!env.ReopenLog(*path)) {
        env.Print("could not open the --log file for writing\n");
        return 2;
      }
    } else {
      env.Print("unknown option: " + std::string(arg) + "\n\n" + UsageText(extras));
      return 2;
    }
  }

  if (options.serve) {
    if (!hostName.empty()) {
      env.StoreHostName(hostName);
    }
    return env.ServeBrowsers(options);
  }
  if (options.host.empty() && discover) {
    env.Discover(options);
  }
  if (options.host.empty()) {
    env.Print(kMissingAddress + UsageText(extras));
    return 2;
  }
  if (!hostName.empty()) {
    env.StoreHostName(hostName);
  }
  const int status = env.RunSession(options);
  if (status < 0) {
    return 1;
  }
  return status == kExitRefusedOnThisPc ? kExitRefusedOnThisPc : 0;
}

}  // namespace veyra
