#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host/session/receiver_approver.h"

namespace veyra {

// What a test's stand-in for this PC's user does, shared between the test
// and the approver the session owns.
struct ApproverScript {
  std::mutex lock;
  std::condition_variable changed;
  // The answer every question gets at once; empty: the question stays open
  // until the test sets one or the session withdraws it.
  std::optional<ApprovalAnswer> answer = ApprovalAnswer::kYes;
  std::vector<ApprovalQuestion> asked;
  int cancels = 0;

  void Answer(ApprovalAnswer given) {
    const std::lock_guard<std::mutex> guard(lock);
    answer = given;
    changed.notify_all();
  }
  std::size_t AskedCount() {
    const std::lock_guard<std::mutex> guard(lock);
    return asked.size();
  }
  // Waits up to 15 s until |count| questions were asked.
  bool WaitAsked(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(15), [&] { return asked.size() >= count; });
  }
};

class FakeReceiverApprover final : public ReceiverApprover {
 public:
  explicit FakeReceiverApprover(std::shared_ptr<ApproverScript> script)
      : script_(std::move(script)) {}

  ApprovalAnswer Ask(const ApprovalQuestion& question) override {
    std::unique_lock<std::mutex> guard(script_->lock);
    script_->asked.push_back(question);
    cancelled_ = false;
    script_->changed.notify_all();
    script_->changed.wait(guard, [this] { return script_->answer.has_value() || cancelled_; });
    return cancelled_ || !script_->answer ? ApprovalAnswer::kNo : *script_->answer;
  }
  void Cancel() override {
    const std::lock_guard<std::mutex> guard(script_->lock);
    cancelled_ = true;
    ++script_->cancels;
    script_->changed.notify_all();
  }

 private:
  std::shared_ptr<ApproverScript> script_;
  bool cancelled_ = false;  // guarded by the script's lock
};

}  // namespace veyra
