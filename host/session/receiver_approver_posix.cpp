// Natively the question goes to the log (standard error unless --log says
// otherwise, and then to the terminal too) and the answer is one line on
// standard input, read a byte at a time so that a later question gets the
// next line. Whatever was typed before the question, and every line that
// came within its first second, is dropped: the answer must be given to
// this question, not to one before it. End of input, or no line before
// Cancel, is no.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/ui_language.h"
#include "host/session/receiver_approver.h"

namespace veyra {
namespace {

constexpr int kPollSliceMs = 50;
constexpr std::size_t kMaxAnswerBytes = 256;

enum class ReadResult { kByte, kNothing, kEnd };

// One byte of standard input if one comes within |waitMs|.
ReadResult ReadInputByte(int waitMs, char* c) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  const int ready = poll(&input, 1, waitMs);
  if (ready < 0) {
    return errno == EINTR ? ReadResult::kNothing : ReadResult::kEnd;
  }
  if (ready == 0) {
    return ReadResult::kNothing;
  }
  const ssize_t got = read(STDIN_FILENO, c, 1);
  if (got < 0 && errno == EINTR) {
    return ReadResult::kNothing;
  }
  return got == 1 ? ReadResult::kByte : ReadResult::kEnd;
}

class ConsoleApprover final : public ReceiverApprover {
 public:
  ApprovalAnswer Ask(const ApprovalQuestion& question) override {
    cancelled_ = false;
    // Typed before the question was shown: meant for something else.
    char c = 0;
    ReadResult read = ReadResult::kByte;
    std::size_t dropped = 0;
    while ((read = ReadInputByte(0, &c)) == ReadResult::kByte) {
      ++dropped;
    }
    if (dropped > 0) {
      Log(LogLevel::Info, "dropped %zu byte(s) typed before this question", dropped);
    }
    // As log lines on standard error: when the log goes to a file the
    // question is there too, and no line of it runs into another.
    const std::string text = ApprovalText(question, IsKoreanLanguage(UserUiLanguage())) +
                             "\nAllow? Type y and Enter for yes, anything else for no.";
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t end = std::min(text.find('\n', from), text.size());
      Log(LogLevel::Info, "%s", text.substr(from, end - from).c_str());
      from = end + 1;
    }
    TellTerminal(text);
    if (read == ReadResult::kEnd) {
      return EndOfInput();
    }
    const std::uint64_t answersFromUs =
        NowUs() + static_cast<std::uint64_t>(kAnswerHoldOff.count()) * 1000;
    std::string line;
    while (!cancelled_.load()) {
      read = ReadInputByte(kPollSliceMs, &c);
      if (read == ReadResult::kEnd) {
        return EndOfInput();
      }
      if (read == ReadResult::kNothing) {
        continue;
      }
      if (c != '\n') {
        if (line.size() < kMaxAnswerBytes) {
          line += c;
        }
        continue;
      }
      if (NowUs() < answersFromUs) {
        Log(LogLevel::Info,
            "ignoring a line that came before the question had been shown for a second");
        line.clear();
        continue;
      }
      return IsYesAnswer(line) ? ApprovalAnswer::kYes : ApprovalAnswer::kNo;
    }
    return ApprovalAnswer::kNo;
  }

  void Cancel() override { cancelled_ = true; }

  void Tell(const std::string& text) override {
    Log(LogLevel::Info, "%s", text.c_str());
    TellTerminal(text);
  }

 private:
  static ApprovalAnswer EndOfInput() {
    Log(LogLevel::Info, "no answer on standard input (end of input); taken as no");
    return ApprovalAnswer::kNo;
  }

  // With --log the standard error stream is the log file: the user at the
  // terminal is asked there as well, as password prompts do. Nothing
  // without a controlling terminal (a service, the tests).
  static void TellTerminal(const std::string& text) {
    if (isatty(STDERR_FILENO) != 0) {
      return;
    }
    const int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
      return;
    }
    const std::string line = text + "\n";
    std::size_t written = 0;
    while (written < line.size()) {
      const ssize_t n = write(tty, line.data() + written, line.size() - written);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    close(tty);
  }

  std::atomic<bool> cancelled_{false};
};

}  // namespace

std::unique_ptr<ReceiverApprover> CreateSystemApprover() {
  return std::make_unique<ConsoleApprover>();
}

}  // namespace veyra
