#include "host/session/receiver_trust.h"

#include <gtest/gtest.h>

#include <string>

#include "host/base/peer_text.h"
#include "host/session/receiver_approver.h"

namespace veyra {
namespace {

TEST(ReceiverTrustTest, OnlyTlsWithThePinnedKeyAndATokenIsTrusted) {
  const std::string longId(kMaxDeviceIdBytes + 1, 'x');
  struct Case {
    const char* name;
    std::string id, key, pin, token;
    HelloVerdict verdict;
  };
  const Case cases[] = {
      {"paired", "p", "K", "K", "t", HelloVerdict::kTrusted},
      {"new", "p", "K", "", "", HelloVerdict::kAsk},
      {"token only", "p", "K", "", "t", HelloVerdict::kAsk},
      {"pin only", "p", "K", "K", "", HelloVerdict::kAsk},
      {"plaintext, token only", "p", "", "", "t", HelloVerdict::kAsk},
      {"plaintext, pinned", "p", "", "K", "t", HelloVerdict::kRefusePlaintextPin},
      {"another key", "p", "K2", "K", "t", HelloVerdict::kRefuseKeyMismatch},
      {"no id", "", "K", "", "", HelloVerdict::kAsk},
      {"control character", "p\n", "K", "", "", HelloVerdict::kRefuseBadId},
      {"too long", longId, "K", "", "", HelloVerdict::kRefuseBadId},
      {"longest", longId.substr(1), "K", "K", "t", HelloVerdict::kTrusted},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JudgeHello(c.id, c.key, c.pin, c.token), c.verdict) << c.name;
  }
  EXPECT_TRUE(CarriesApproval("p", "K", "p", "K"));
  EXPECT_FALSE(CarriesApproval("p", "K", "p", "K2"));
  EXPECT_FALSE(CarriesApproval("p", "K", "q", "K"));
  EXPECT_FALSE(CarriesApproval("p", "", "p", ""));  // plaintext is asked every time
}

TEST(ReceiverTrustTest, PeerTextCannotForgeLinesAndAnswersAreStrict) {
  EXPECT_EQ(PeerText("Pixel 9"), "Pixel 9");
  EXPECT_EQ(PeerText("a\nINFO  b\x1b[2J\\"), "a\\x0aINFO  b\\x1b[2J\\x5c");
  EXPECT_EQ(PeerText(std::string(300, 'z'), 4), "zzzz...");
  // A right-to-left override and a line separator cannot rearrange or break
  // a name; a cut never splits a character ("\xc3\xa9" is one).
  EXPECT_EQ(PeerText("Pixel \xe2\x80\xae"
                     "9 lexiP\xe2\x80\xa8x"),
            "Pixel \\u202e9 lexiP\\u2028x");
  EXPECT_EQ(PeerText("ab\xc3\xa9", 3), "ab...");
  EXPECT_EQ(PeerText("\xe2\x82\xac"
                     "5"),
            "\xe2\x82\xac"
            "5");  // the euro sign stays
  // C1 controls (a terminal's CSI among them), bytes that are not UTF-8 and
  // characters that show nothing are shown for what they are.
  EXPECT_EQ(PeerText("a\xc2\x9b"
                     "2J\xc2\x85"
                     "b\x9b\xff\xc0\xaf\xe2\x80\x8b"
                     "c\xef\xbb\xbf"),
            "a\\u009b2J\\u0085b\\x9b\\xff\\xc0\\xaf\\u200bc\\ufeff");
  EXPECT_EQ(PeerText("\xf3\xa0\x80\x81"), "\\U000e0001");  // a tag character
  // Beside this PC's code, a name cannot carry a code of its own.
  EXPECT_EQ(PeerName("Code: ABCD-EF01-2345-6789"), "Code: ABCD\\x2dEF01\\x2d2345\\x2d6789");
  EXPECT_EQ(PeerName("Galaxy S24-Ultra"), "Galaxy S24-Ultra");
  for (const char* yes : {"y", "Y", "yes", " YeS\r", "yes\t"}) {
    EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  }
  for (const char* no : {"", "n", "no", "yes please", "ye", "y y"}) {
    EXPECT_FALSE(IsYesAnswer(no)) << no;
  }
  // The code comes first, on a line of its own; the name after it.
  const ApprovalQuestion question{"Pixel 9", "192.168.1.20:47820", "ABCD-EF01-2345-6789", true,
                                  true};
  for (const bool korean : {false, true}) {
    const std::string text = ApprovalText(question, korean);
    EXPECT_EQ(text.find(korean ? "코드: ABCD-EF01-2345-6789\n" : "Code: ABCD-EF01-2345-6789\n"), 0u)
        << text;
    EXPECT_NE(text.find("\"Pixel 9\""), std::string::npos) << text;
    EXPECT_NE(text.find("192.168.1.20:47820"), std::string::npos) << text;
  }
  const std::string english = ApprovalText(question, false);
  EXPECT_NE(english.find("It is not the phone already paired with this PC.\n"), std::string::npos);
  EXPECT_NE(english.find("It is a different device from the one asked about a moment ago.\n"),
            std::string::npos);
  EXPECT_NE(english.find("control it with touch and keys"), std::string::npos);
}

}  // namespace
}  // namespace veyra
