#include "tray/browser_path.h"

#include <gtest/gtest.h>

#include <string>

#include "host/base/serve_report.h"
#include "tray/connection_guide.h"
#include "tray/host_output.h"

namespace veyra {
namespace {

// The lines as the serving host makes them, read back by the tray.
TEST(BrowserPathTest, FollowsTheHostsLinesAndKeepsARefusalAsTheNews) {
  BrowserPath path;
  path.phase = BrowserPhase::kStarting;
  const std::string link = "https://192.168.1.5:47820/#s3cret";
  EXPECT_TRUE(ApplyHostLine(path, AddressLine(ServeLineKind::kAddress, link)));
  EXPECT_TRUE(ApplyHostLine(path, AddressLine(ServeLineKind::kOtherAddress, "http://10.0.0.2/")));
  EXPECT_TRUE(ApplyHostLine(path, UsbAddressLine(47820, "http://localhost:47820/#s3cret")));
  EXPECT_EQ(path.phase, BrowserPhase::kWaiting);
  EXPECT_EQ(path.link, L"https://192.168.1.5:47820/#s3cret");
  EXPECT_EQ(path.others, std::vector<std::wstring>{L"http://10.0.0.2/"});
  EXPECT_EQ(path.usb, L"http://localhost:47820/#s3cret");

  EXPECT_TRUE(ApplyHostLine(path, PhaseLine(ServePhase::kAsking, "Pixel \xED\x95\x9C")));
  EXPECT_EQ(path.phone, L"Pixel \uD55C");
  EXPECT_TRUE(ApplyHostLine(path, PhaseLine(ServePhase::kRefused, "Pixel")));
  // The host waits for the next phone at once; the refusal stays the news.
  EXPECT_FALSE(ApplyHostLine(path, PhaseLine(ServePhase::kWaiting, "")));
  EXPECT_EQ(path.phase, BrowserPhase::kRefused);
  EXPECT_TRUE(ApplyHostLine(path, PhaseLine(ServePhase::kStreaming, "")));
  EXPECT_EQ(path.phone, L"");

  // Anything else the host prints (a QR code, a log line), or a line that
  // only looks like one of these, changes nothing.
  for (const char* other :
       {"", "\xE2\x96\x88\xE2\x96\x88", "Waiting for the phone",
        "Open this address on the phone: javascript:alert(1)",
        "Open this address on the phone: https://a b", "Showing this PC on the phone: a\x1B[2Jb",
        "Or, over a USB cable after adb reverse tcp:1 tcp:1"}) {
    EXPECT_FALSE(ApplyHostLine(path, other)) << other;
  }
}

// The guide's second status line: a name can end neither the string nor
// the script.
TEST(BrowserPathTest, StatusLineEscapesEverythingButPlainText) {
  BrowserPath path{BrowserPhase::kStreaming,
                   L"https://192.168.1.5:47820/#a-b_c",
                   L"http://localhost:47820/#a-b_c",
                   {L"https://10.0.0.2:47820/#a-b_c"},
                   L"Tab \"S9\"</script>\u2028\uD55C"};
  EXPECT_EQ(BrowserStatusLine(path),
            "window.VEYRA_BROWSER={state:\"streaming\",link:\"https://192.168.1.5:47820/#a-b_c\","
            "usb:\"http://localhost:47820/#a-b_c\",others:[\"https://10.0.0.2:47820/#a-b_c\"],"
            "phone:\"Tab \\u0022S9\\u0022\\u003C/script\\u003E\\u2028\\uD55C\"};\n");
  EXPECT_EQ(BrowserStatusLine(BrowserPath{}),
            "window.VEYRA_BROWSER={state:\"off\",link:\"\",usb:\"\",others:[],phone:\"\"};\n");
}

TEST(HostOutputTest, LinesAreSplitAcrossReadsWithoutTheirEndsAndCut) {
  HostOutput output;
  std::string partial;
  EXPECT_FALSE(output.Feed(1, partial, "Waiting for"));
  EXPECT_TRUE(output.Feed(1, partial, " the phone.\r\nOpen"));
  EXPECT_TRUE(output.Feed(2, partial, std::string(5000, 'x') + "\n"));
  const std::vector<HostLine> lines = output.Take();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0].host, 1U);
  EXPECT_EQ(lines[0].text, "Waiting for the phone.");
  EXPECT_EQ(lines[1].host, 2U);
  EXPECT_EQ(lines[1].text.size(), HostOutput::kMaxLineBytes);
  EXPECT_TRUE(output.Take().empty());
}

}  // namespace
}  // namespace veyra
