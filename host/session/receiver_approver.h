#pragma once

#include <memory>
#include <string>

namespace veyra {

// What this PC's user is asked about a receiver that is not trusted yet.
// Every text is already safe to show (see PeerText).
struct ApprovalQuestion {
  std::string phone;    // the DEVICE_INFO model, else the HELLO's device id
  std::string address;  // where the host connected
  std::string code;     // the verification code; empty on a plaintext connection
};

enum class ApprovalAnswer { kYes, kNo };

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
};

// The question as the user reads it, in English or Korean.
std::string ApprovalText(const ApprovalQuestion& question, bool korean);

// True for the answers that allow natively: "y" or "yes" in any case,
// ignoring surrounding blanks.
bool IsYesAnswer(const std::string& line);

// This build's own way of asking.
std::unique_ptr<ReceiverApprover> CreateSystemApprover();

}  // namespace veyra
