#include "host/session/receiver_approver.h"

#include "host/base/ascii_case.h"

namespace veyra {

std::string ApprovalText(const ApprovalQuestion& question, bool korean) {
  if (korean) {
    return "\"" + question.phone + "\"에서 이 PC를 사용하도록 허용할까요?\n\n" +
           "주소: " + question.address + "\n" + "코드: " +
           (question.code.empty() ? std::string("없음 (암호화되지 않은 연결)") : question.code) +
           "\n\n" +
           "휴대폰에 표시된 코드가 같을 때만 허용하세요. [예]를 누르면 이 휴대폰이 이 PC의 화면을 "
           "표시하고 터치와 키로 이 PC를 제어할 수 있습니다.";
  }
  return "Allow \"" + question.phone + "\" to use this PC?\n\n" + "Address: " + question.address +
         "\n" + "Code: " +
         (question.code.empty() ? std::string("none (this connection is not encrypted)")
                                : question.code) +
         "\n\n" +
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
