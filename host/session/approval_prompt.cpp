#include "host/session/approval_prompt.h"

#include <chrono>
#include <system_error>

#include "host/base/log.h"

namespace veyra {
namespace {

constexpr int kNoAnswer = 0;
constexpr int kAnsweredYes = 1;
constexpr int kAnsweredNo = 2;

// How often a withdrawn question is withdrawn again: a message box that
// had not appeared yet when it was first cancelled is closed by a later
// attempt.
constexpr std::chrono::milliseconds kCancelRepeat{20};
constexpr int kWarnAfterAttempts = 100;  // 2 s

}  // namespace

bool ApprovalPrompt::Start(const ApprovalQuestion& question) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (thread_.joinable()) {
    return true;
  }
  answer_ = kNoAnswer;
  try {
    thread_ = std::thread([this, question] {
      const ApprovalAnswer answer = approver_.Ask(question);
      answer_ = answer == ApprovalAnswer::kYes ? kAnsweredYes : kAnsweredNo;
    });
  } catch (const std::system_error& error) {
    Log(LogLevel::Error, "%s failed: %s", "approval thread", error.what());
    answer_ = kAnsweredNo;
    return false;
  }
  return true;
}

std::optional<ApprovalAnswer> ApprovalPrompt::Answer() const {
  switch (answer_.load()) {
    case kAnsweredYes:
      return ApprovalAnswer::kYes;
    case kAnsweredNo:
      return ApprovalAnswer::kNo;
    default:
      return std::nullopt;
  }
}

bool ApprovalPrompt::Finish() {
  const std::lock_guard<std::mutex> guard(lock_);
  if (!thread_.joinable()) {
    return false;
  }
  const bool open = answer_.load() == kNoAnswer;
  // Each approver gives up within a slice of its own once cancelled (the
  // console's poll, the box's No pressed for it); a question that stays
  // open longer is said in the log, so that a hang has a name.
  int attempts = 0;
  while (answer_.load() == kNoAnswer) {
    approver_.Cancel();
    std::this_thread::sleep_for(kCancelRepeat);
    if (++attempts == kWarnAfterAttempts) {
      Log(LogLevel::Warn,
          "the question to this PC's user has not closed yet; still withdrawing it");
    }
  }
  thread_.join();
  // The answer belonged to that question: the next one starts unanswered.
  answer_ = kNoAnswer;
  return open;
}

}  // namespace veyra
