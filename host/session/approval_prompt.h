#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

#include "host/session/receiver_approver.h"

namespace veyra {

// One question to this PC's user at a time, asked on a thread of its own so
// that the connection keeps answering PINGs while the user thinks.
//
// Threads: Start and Finish from the receive or the run thread (serialised
// by the prompt's own lock, a leaf); Answer from any thread. Finish joins
// the asking thread: the owner calls it before the approver goes.
class ApprovalPrompt {
 public:
  explicit ApprovalPrompt(ReceiverApprover& approver) : approver_(approver) {}
  ~ApprovalPrompt() { Finish(); }
  ApprovalPrompt(const ApprovalPrompt&) = delete;
  ApprovalPrompt& operator=(const ApprovalPrompt&) = delete;

  // Asks |question| unless a question is open already. False when the
  // thread could not be started (counts as no).
  bool Start(const ApprovalQuestion& question);
  // The user's answer once given; nothing while the question is open or
  // none was asked.
  std::optional<ApprovalAnswer> Answer() const;
  // Withdraws an open question (its answer becomes no), waits for the
  // asking thread and forgets the answer. True when a question was still
  // open, so the user saw it withdrawn rather than answered.
  bool Finish();

 private:
  ReceiverApprover& approver_;
  std::mutex lock_;  // guards thread_; a leaf
  std::thread thread_;
  // 0 none, 1 yes, 2 no: written by the asking thread, read by any.
  std::atomic<int> answer_{0};
};

}  // namespace veyra
