// Natively the question goes to the log (standard error unless --log says
// otherwise, and then to the terminal too) and the answer is one line on
// standard input, read a byte at a time so that a later question gets the
// next line. End of input, or no line before Cancel, is no.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

#include "host/base/log.h"
#include "host/base/ui_language.h"
#include "host/session/receiver_approver.h"

namespace veyra {
namespace {

constexpr int kPollSliceMs = 50;
constexpr std::size_t kMaxAnswerBytes = 256;

class ConsoleApprover final : public ReceiverApprover {
 public:
  ApprovalAnswer Ask(const ApprovalQuestion& question) override {
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
    std::string line;
    cancelled_ = false;
    while (!cancelled_.load()) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&input, 1, kPollSliceMs);
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready < 0) {
        break;
      }
      if (ready == 0) {
        continue;
      }
      char c = 0;
      const ssize_t got = read(STDIN_FILENO, &c, 1);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        Log(LogLevel::Info, "no answer on standard input (end of input); taken as no");
        return ApprovalAnswer::kNo;
      }
      if (c == '\n') {
        return IsYesAnswer(line) ? ApprovalAnswer::kYes : ApprovalAnswer::kNo;
      }
      if (line.size() < kMaxAnswerBytes) {
        line += c;
      }
    }
    return ApprovalAnswer::kNo;
  }

  void Cancel() override { cancelled_ = true; }

 private:
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
