#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace veyra {

// What this PC's user is asked about a receiver that is not trusted yet.
// Every text is already safe to show (see PeerName).
struct ApprovalQuestion {
  std::string phone;    // the DEVICE_INFO model, else the HELLO's device id
  std::string address;  // where the host connected
  std::string code;     // this PC's own verification code; empty on a plaintext connection
  // A phone is paired with this PC already, and this is not it.
  bool notThePairedPhone = false;
  // The last question of this run was about another key.
  bool differentDevice = false;
};

enum class ApprovalAnswer { kYes, kNo };

// An answer counts only once the question has been in front of the user
// this long: a key press or click meant for an earlier question, or typed
// ahead, must not answer this one.
inline constexpr std::chrono::milliseconds kAnswerHoldOff{1000};

// Asks this PC's user whether a receiver may see and control the PC: a
// message box on Windows, standard error and standard input natively.
//
// Threads: Ask runs on the session's approval thread and blocks until the
// user answers or Cancel; Cancel may be called from any thread, any number
// of times. A Cancel that comes before Ask is under way may be missed, so
// whoever withdraws a question repeats it until Ask has returned.
class ReceiverApprover {
 public:
  virtual ~ReceiverApprover() = default;
  virtual ApprovalAnswer Ask(const ApprovalQuestion& question) = 0;
  // Makes a running Ask return kNo soon.
  virtual void Cancel() = 0;
  // Tells this PC's user something about the questions (one that was
  // withdrawn, say) where they would look for the question: the log, and
  // natively the terminal too.
  virtual void Tell(const std::string& text);
};

// The question as the user reads it, in English or Korean: this PC's code
// first, on a line of its own, then what the phone calls itself.
std::string ApprovalText(const ApprovalQuestion& question, bool korean);

// True for the answers that allow natively: "y" or "yes" in any case,
// ignoring surrounding blanks.
bool IsYesAnswer(const std::string& line);

// This build's own way of asking.
std::unique_ptr<ReceiverApprover> CreateSystemApprover();

}  // namespace veyra
