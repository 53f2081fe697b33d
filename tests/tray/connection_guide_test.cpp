#include "tray/connection_guide.h"

#include <gtest/gtest.h>

#include <string>

#include "tray/fake_guide_platform.h"
#include "tray/fake_settings_store.h"
#include "tray/localized_text.h"

namespace veyra {
namespace {

const std::wstring kData = L"C:\\Users\\ana\\AppData\\Local\\Brenvik\\Veyra";
const std::wstring kProgram = L"C:\\Program Files\\Veyra";

// Each combination of the tray's state with the status line and the query
// it gives; the line's fields are in a fixed order.
struct StatusCase {
  const char* name;
  GuideWorld world;
  bool driverEvent;
  const char* line;
  const wchar_t* query;
};

class GuideStatusTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(GuideStatusTest, LineAndQueryFollowTheTraysState) {
  const StatusCase& c = GetParam();
  FakeGuidePlatform platform;
  platform.driverEvent = c.driverEvent;
  const GuideStatus status = GuideStatusOf(c.world, platform);
  EXPECT_EQ(StatusScriptLine(status, 98765), c.line);
  EXPECT_EQ(GuideQuery(status), c.query);
  // The driver's event is asked for only when the display was not found.
  EXPECT_EQ(platform.driverEventChecks, c.world.displayFound ? 0 : 1);
}

GuideWorld World(bool display, std::wstring address, std::size_t phones, bool host, bool korean) {
  GuideWorld world;
  world.displayFound = display;
  world.receiverAddress = std::move(address);
  world.phonesFound = phones;
  world.hostRunning = host;
  world.korean = korean;
  return world;
}

INSTANTIATE_TEST_SUITE_P(
    Combinations, GuideStatusTest,
    ::testing::Values(
        StatusCase{"NoPhone", World(false, L"", 0, false, false), false,
                   "window.VEYRA_STATUS={app:true,driver:false,phone:false,found:false,"
                   "connected:false,arch:\"x64\",lang:\"en\",updated:98765};\n",
                   L"?lang=en&arch=x64&app=1&driver=0&phone=0&found=0&connected=0"},
        StatusCase{"RememberedAddressOnly", World(false, L"192.168.1.20", 0, false, false), false,
                   "window.VEYRA_STATUS={app:true,driver:false,phone:true,found:false,"
                   "connected:false,arch:\"x64\",lang:\"en\",updated:98765};\n",
                   L"?lang=en&arch=x64&app=1&driver=0&phone=1&found=0&connected=0"},
        StatusCase{"SearchFoundOne", World(false, L"", 1, false, false), false,
                   "window.VEYRA_STATUS={app:true,driver:false,phone:true,found:true,"
                   "connected:false,arch:\"x64\",lang:\"en\",updated:98765};\n",
                   L"?lang=en&arch=x64&app=1&driver=0&phone=1&found=1&connected=0"},
        StatusCase{"HostRunning", World(true, L"", 0, true, false), false,
                   "window.VEYRA_STATUS={app:true,driver:true,phone:true,found:true,"
                   "connected:true,arch:\"x64\",lang:\"en\",updated:98765};\n",
                   L"?lang=en&arch=x64&app=1&driver=1&phone=1&found=1&connected=1"},
        StatusCase{"DriverByEvent", World(false, L"", 0, false, false), true,
                   "window.VEYRA_STATUS={app:true,driver:true,phone:false,found:false,"
                   "connected:false,arch:\"x64\",lang:\"en\",updated:98765};\n",
                   L"?lang=en&arch=x64&app=1&driver=1&phone=0&found=0&connected=0"},
        StatusCase{"Korean", World(false, L"", 0, false, true), false,
                   "window.VEYRA_STATUS={app:true,driver:false,phone:false,found:false,"
                   "connected:false,arch:\"x64\",lang:\"ko\",updated:98765};\n",
                   L"?lang=ko&arch=x64&app=1&driver=0&phone=0&found=0&connected=0"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(GuideAddressTest, OnlineAndLocalAddresses) {
  GuideStatus status;
  status.korean = true;
  EXPECT_EQ(OnlineGuideAddress(status),
            std::wstring(L"https://") + kMakerWebHost +
                L"/setup?lang=ko&arch=x64&app=1&driver=0&phone=0&found=0&connected=0");
  // The largest tick still prints in full, unsigned.
  EXPECT_EQ(LocalGuideAddress(L"file:///C:/x/setup.html", 18446744073709551615ULL),
            L"file:///C:/x/setup.html?refresh=18446744073709551615");
  EXPECT_NE(
      StatusScriptLine(status, 18446744073709551615ULL).find("updated:18446744073709551615};\n"),
      std::string::npos);
}

class OpenGuideTest : public ::testing::Test {
 protected:
  OpenGuideTest() {
    platform.files[kProgram + L"\\setup.html"] = "<html>";
    platform.files[kProgram + L"\\veyra-icon.png"] = "PNG";
  }

  bool Open(GuideMode mode) { return OpenGuide(platform, settings, world, mode); }
  bool Shown() { return settings.Read(kSetupGuideShownSetting) == L"1"; }
  std::wstring LocalAddress() const { return L"file:///" + kData + L"\\setup.html?refresh=123456"; }
  std::wstring Missing() const { return TextFor(TextRole::GuideMissing, false); }

  FakeGuidePlatform platform;
  FakeSettingsStore settings;
  GuideWorld world;
};

TEST_F(OpenGuideTest, CopiesThePageAndPictureAndWritesTheStatusBesideThem) {
  platform.files[kProgram + L"\\qrcode.js"] = "var qrcode";
  EXPECT_TRUE(Open(GuideMode::kAutomatic));
  EXPECT_EQ(platform.files[kData + L"\\setup.html"], "<html>");
  EXPECT_EQ(platform.files[kData + L"\\veyra-icon.png"], "PNG");
  EXPECT_EQ(platform.files[kData + L"\\qrcode.js"], "var qrcode");
  const std::string status = platform.files[kData + L"\\status.js"];
  EXPECT_EQ(status.rfind("window.VEYRA_STATUS={app:true,", 0), 0U);
  EXPECT_TRUE(status.ends_with("};\n" + BrowserStatusLine(BrowserPath{}))) << status;
}

// The code carries a secret of this PC: never the online guide.
TEST_F(OpenGuideTest, TheBrowserPathOpensTheLocalPageOnIt) {
  platform.siteAnswers = true;
  EXPECT_TRUE(OpenGuide(platform, settings, world, GuideMode::kManual, true));
  EXPECT_EQ(platform.probes, 0);
  EXPECT_EQ(platform.opened, std::vector<std::wstring>{LocalAddress() + L"&show=browser"});
}

TEST_F(OpenGuideTest, ReachableSiteOpensTheOnlineGuideAndMarksItShown) {
  platform.siteAnswers = true;
  EXPECT_TRUE(Open(GuideMode::kAutomatic));
  ASSERT_EQ(platform.opened.size(), 1U);
  EXPECT_EQ(platform.opened[0], OnlineGuideAddress(GuideStatusOf(world, platform)));
  EXPECT_TRUE(Shown());
}

TEST_F(OpenGuideTest, OfflineOpensTheLocalPageWithARefreshSuffix) {
  EXPECT_TRUE(Open(GuideMode::kAutomatic));
  EXPECT_EQ(platform.probes, 1);
  EXPECT_EQ(platform.opened, std::vector<std::wstring>{LocalAddress()});
  EXPECT_TRUE(Shown());
}

TEST_F(OpenGuideTest, AnOnlineGuideThatDoesNotLaunchFallsBackToTheLocalPage) {
  platform.siteAnswers = true;
  platform.onlineLaunches = false;
  EXPECT_TRUE(Open(GuideMode::kAutomatic));
  ASSERT_EQ(platform.opened.size(), 2U);
  EXPECT_EQ(platform.opened[1], LocalAddress());
  EXPECT_TRUE(Shown());
}

TEST_F(OpenGuideTest, TheMenuNeverMarksTheGuideShown) {
  platform.siteAnswers = true;
  EXPECT_TRUE(Open(GuideMode::kManual));
  EXPECT_EQ(platform.opened.size(), 1U);
  EXPECT_TRUE(settings.writes().empty());
}

// The failure table: each situation in both modes.
struct FailureCase {
  const char* name;
  void (*arrange)(FakeGuidePlatform&);
  bool prepared;
  std::size_t launches;
};

class OpenGuideFailureTest : public OpenGuideTest,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OpenGuideFailureTest, WarnsOnlyInManualModeAndNeverMarksTheGuideShown) {
  const FailureCase& c = GetParam();
  c.arrange(platform);
  EXPECT_EQ(Open(GuideMode::kAutomatic), c.prepared);
  EXPECT_TRUE(platform.warnings.empty());
  EXPECT_FALSE(Shown());
  EXPECT_EQ(platform.opened.size(), c.launches);

  platform.opened.clear();
  EXPECT_EQ(Open(GuideMode::kManual), c.prepared);
  EXPECT_EQ(platform.warnings, std::vector<std::wstring>{Missing()});
  EXPECT_EQ(platform.opened.size(), c.launches);
  EXPECT_TRUE(settings.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenGuideFailureTest,
    ::testing::Values(
        FailureCase{"NoDataFolder", [](FakeGuidePlatform& p) { p.dataFolder.clear(); }, false, 0},
        FailureCase{"PageMissingBesideTheProgram",
                    [](FakeGuidePlatform& p) { p.files.erase(kProgram + L"\\setup.html"); }, false,
                    0},
        FailureCase{"PageNotCopyable",
                    [](FakeGuidePlatform& p) { p.unwritable.insert(kData + L"\\setup.html"); },
                    false, 0},
        FailureCase{"NoFileUrl", [](FakeGuidePlatform& p) { p.fileUrlWorks = false; }, true, 0},
        FailureCase{"LocalPageDoesNotLaunch", [](FakeGuidePlatform& p) { p.localLaunches = false; },
                    true, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(OpenGuideTest, MissingPictureOrUnwritableStatusDoNotStopTheGuide) {
  platform.files.erase(kProgram + L"\\veyra-icon.png");
  platform.unwritable.insert(kData + L"\\status.js");
  EXPECT_TRUE(Open(GuideMode::kManual));
  EXPECT_TRUE(platform.warnings.empty());
  EXPECT_EQ(platform.opened.size(), 1U);
  EXPECT_FALSE(platform.files.contains(kData + L"\\veyra-icon.png"));
}

TEST(WriteStatusScriptTest, WritesNothingWithoutADataFolder) {
  FakeGuidePlatform platform;
  platform.dataFolder.clear();
  WriteStatusScript(platform, GuideWorld{});
  EXPECT_TRUE(platform.writes.empty());
}

}  // namespace
}  // namespace veyra
