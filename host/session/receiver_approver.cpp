#include "host/session/receiver_approver.h"

#include "host/base/ascii_case.h"
#include "host/base/log.h"

namespace veyra {

void ReceiverApprover::Tell(const std::string& text) { Log(LogLevel::Info, "%s", text.c_str()); }

std::string ApprovalText(const ApprovalQuestion& question, bool korean) {
  std::string text;
  if (korean) {
    text = "코드: " +
           (question.code.empty() ? std::string("없음 (암호화되지 않은 연결)") : question.code) +
           "\n(이 PC가 휴대폰의 키로 직접 계산한 코드입니다)\n\n" +
           "기기가 이 PC를 보고 제어하려고 합니다. 기기가 밝힌 이름: \"" + question.phone + "\"\n";
    if (question.notThePairedPhone) {
      text += "이 기기는 이 PC와 이미 연결된 휴대폰이 아닙니다.\n";
    }
    if (question.differentDevice) {
      text += "방금 전에 물어본 기기와 다른 기기입니다.\n";
    }
    return text + "주소: " + question.address + "\n\n" +
           "휴대폰에 표시된 코드가 같을 때만 허용하세요. [예]를 누르면 이 휴대폰이 이 PC의 화면을 "
           "표시하고 터치와 키로 이 PC를 제어할 수 있습니다.";
  }
  text = "Code: " +
         (question.code.empty() ? std::string("none (this connection is not encrypted)")
                                : question.code) +
         "\n(worked out on this PC from the phone's key)\n\n" +
         "A device wants to see and control this PC. It calls itself \"" + question.phone + "\".\n";
  if (question.notThePairedPhone) {
    text += "It is not the phone already paired with this PC.\n";
  }
  if (question.differentDevice) {
    text += "It is a different device from the one asked about a moment ago.\n";
  }
  return text + "Address: " + question.address + "\n\n" +
         "Allow it only if the phone shows the same code. Yes lets this phone show this PC's "
         "screen and control it with touch and keys.";
}

bool IsYesAnswer(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) {
    return false;
  }
  const std::size_t last = line.find_last_not_of(" \t\r\n");
  const std::string_view word = std::string_view(line).substr(first, last - first + 1);
  return EqualsIgnoringAsciiCase(word, "y") || EqualsIgnoringAsciiCase(word, "yes");
}

}  // namespace veyra
