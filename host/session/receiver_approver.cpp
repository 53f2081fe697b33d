#include "host/session/receiver_approver.h"

#include "host/base/ascii_case.h"
#include "host/base/log.h"

namespace veyra {

void ReceiverApprover::Tell(const std::string& text) { Log(LogLevel::Info, "%s", text.c_str()); }

namespace {

// The question's words in one language.
struct ApprovalWords {
  const char* code;
  const char* noCode;
  const char* whoseCode;
  const char* callsItself;  // followed by the quoted name
  const char* afterName;
  const char* notThePairedPhone;
  const char* differentDevice;
  const char* address;
  const char* advice;
};

constexpr ApprovalWords kEnglish = {
    "Code: ",
    "none (this connection is not encrypted)",
    "(worked out on this PC from the phone's key)",
    "A device wants to see and control this PC. It calls itself \"",
    "\".",
    "It is not the phone already paired with this PC.",
    "It is a different device from the one asked about a moment ago.",
    "Address: ",
    "Allow it only if the phone shows the same code. Yes lets this phone show this PC's screen "
    "and control it with touch and keys.",
};

constexpr ApprovalWords kKorean = {
    "코드: ",
    "없음 (암호화되지 않은 연결)",
    "(이 PC가 휴대폰의 키로 직접 계산한 코드입니다)",
    "기기가 이 PC를 보고 제어하려고 합니다. 기기가 밝힌 이름: \"",
    "\"",
    "이 기기는 이 PC와 이미 연결된 휴대폰이 아닙니다.",
    "방금 전에 물어본 기기와 다른 기기입니다.",
    "주소: ",
    "휴대폰에 표시된 코드가 같을 때만 허용하세요. [예]를 누르면 이 휴대폰이 이 PC의 화면을 "
    "표시하고 터치와 키로 이 PC를 제어할 수 있습니다.",
};

}  // namespace

std::string ApprovalText(const ApprovalQuestion& question, bool korean) {
  const ApprovalWords& words = korean ? kKorean : kEnglish;
  std::string text =
      std::string(words.code) + (question.code.empty() ? words.noCode : question.code.c_str()) +
      "\n" + words.whoseCode + "\n\n" + words.callsItself + question.phone + words.afterName + "\n";
  if (question.notThePairedPhone) {
    text += std::string(words.notThePairedPhone) + "\n";
  }
  if (question.differentDevice) {
    text += std::string(words.differentDevice) + "\n";
  }
  return text + words.address + question.address + "\n\n" + words.advice;
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
