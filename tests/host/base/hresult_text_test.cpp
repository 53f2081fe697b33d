#include "host/base/hresult_text.h"

#include <gtest/gtest.h>

#include "host/base/status_codes.h"

namespace veyra {
namespace {

TEST(HresultTextTest, ComposesHexAndTrimmedMessage) {
  EXPECT_EQ(ComposeHresultText(0, "The operation completed successfully.\r\n"),
            "0x00000000 (The operation completed successfully.)");
  EXPECT_EQ(ComposeHresultText(status::kDxgiErrorAccessLost, "\n\r\n"), "0x887A0026");
  EXPECT_EQ(ComposeHresultText(-1, ""), "0xFFFFFFFF");
}

#if defined(_WIN32)
TEST(HresultTextTest, AsksTheSystemForItsMessageUnderWine) {
  const std::string success = HresultText(0);
  EXPECT_EQ(success.rfind("0x00000000 (", 0), 0u) << success;
  EXPECT_EQ(success.back(), ')');
  EXPECT_EQ(success.find('\n'), std::string::npos);
  // No message in the system table: the hexadecimal part alone.
  EXPECT_EQ(HresultText(0x2BADF00D), "0x2BADF00D");
}
#else
TEST(HresultTextTest, NativeBuildHasOnlyTheHexPart) {
  EXPECT_EQ(HresultText(0), "0x00000000");
  EXPECT_EQ(HresultText(status::kEAccessDenied), "0x80070005");
}
#endif

}  // namespace
}  // namespace veyra
