// The wire headers are included by Windows glue after <windows.h>, whose
// macros (ERROR, DELETE, IN, OUT, ...) must not break them.
#include <windows.h>

#include <gtest/gtest.h>

#include "host/wire/binary_payloads.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

TEST(WireHeadersWinTest, CompileAfterWindowsHeadersUnderWine) {
  EXPECT_EQ(ERROR, 0);  // the macro is there, and did not reach our enumerators
  EXPECT_EQ(static_cast<int>(MessageType::kError), 255);
  EXPECT_STREQ(MessageName(MessageType::kError), "ERROR");
  EXPECT_EQ(Serialize(BuildError({kErrorInternal, ""})), R"({"code":"INTERNAL","message":""})");
}

}  // namespace
}  // namespace veyra
