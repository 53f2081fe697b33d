#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "host/base/status_codes.h"
#include "host/capture/adapter_choice.h"
#include "host/capture/capture_failure.h"
#include "host/capture/output_rotation.h"

namespace veyra {
namespace {

TEST(OutputRotationTest, QuarterTurnsSwapTheDeliveredSize) {
  const ImageSize portrait{1080, 1920};
  for (const OutputRotation rotation : {OutputRotation::kRotate90, OutputRotation::kRotate270}) {
    const ImageSize delivered = DeliveredImageSize(portrait, rotation);
    EXPECT_EQ(delivered.width, 1920u);
    EXPECT_EQ(delivered.height, 1080u);
  }
  for (const OutputRotation rotation :
       {OutputRotation::kUnspecified, OutputRotation::kIdentity, OutputRotation::kRotate180}) {
    const ImageSize delivered = DeliveredImageSize(portrait, rotation);
    EXPECT_EQ(delivered.width, 1080u);
    EXPECT_EQ(delivered.height, 1920u);
  }
}

TEST(OutputRotationTest, DesktopCornersLandWhereTheUnturnedImageHasThem) {
  // A 4 x 3 desktop; its image is 3 x 4 for quarter turns.
  struct Case {
    OutputRotation rotation;
    PixelPoint topLeft;   // of the desktop, in the image
    PixelPoint topRight;  // likewise
  };
  for (const Case& test : {Case{OutputRotation::kIdentity, {0, 0}, {3, 0}},
                           Case{OutputRotation::kRotate90, {0, 3}, {0, 0}},
                           Case{OutputRotation::kRotate180, {3, 2}, {0, 2}},
                           Case{OutputRotation::kRotate270, {2, 0}, {2, 3}}}) {
    const ImageSize image = DeliveredImageSize({4, 3}, test.rotation);
    const PixelPoint topLeft = DesktopToSurface({0, 0}, image, test.rotation);
    const PixelPoint topRight = DesktopToSurface({3, 0}, image, test.rotation);
    EXPECT_EQ(topLeft.x, test.topLeft.x);
    EXPECT_EQ(topLeft.y, test.topLeft.y);
    EXPECT_EQ(topRight.x, test.topRight.x);
    EXPECT_EQ(topRight.y, test.topRight.y);
    const PixelPoint back = SurfaceToDesktop(topRight, image, test.rotation);
    EXPECT_EQ(back.x, 3);
    EXPECT_EQ(back.y, 0);
  }
}

TEST(OutputRotationTest, APictureNeedsWhatTheConverterDidNotTurn) {
  EXPECT_EQ(PictureTurns(OutputRotation::kRotate90, OutputRotation::kRotate90), 0);
  EXPECT_EQ(PictureTurns(OutputRotation::kRotate90, OutputRotation::kIdentity), 1);
  EXPECT_EQ(PictureTurns(OutputRotation::kRotate270, OutputRotation::kIdentity), 3);
  EXPECT_EQ(PictureTurns(OutputRotation::kUnspecified, OutputRotation::kIdentity), 0);
}

TEST(CaptureFailureTest, EachKnownStatusHasItsRecoveryAndItsCause) {
  struct Case {
    std::int32_t status;
    bool openedBefore;
    CaptureRecovery recovery;
  };
  const std::int32_t abandoned = static_cast<std::int32_t>(status::kWaitAbandoned);
  for (const Case& test : {
           Case{status::kDxgiErrorAccessLost, false, CaptureRecovery::kRebuild},
           Case{status::kDxgiErrorDeviceRemoved, false, CaptureRecovery::kNewDevices},
           Case{status::kDxgiErrorDeviceReset, false, CaptureRecovery::kNewDevices},
           Case{abandoned, false, CaptureRecovery::kNewDevices},
           Case{status::kEAccessDenied, false, CaptureRecovery::kRetryLater},
           Case{status::kDxgiErrorNotCurrentlyAvailable, false, CaptureRecovery::kRetryLater},
           Case{status::kDxgiErrorSessionDisconnected, false, CaptureRecovery::kRetryLater},
           Case{status::kDxgiErrorUnsupported, false, CaptureRecovery::kRetryLater},
           Case{status::kDxgiErrorNotFound, true, CaptureRecovery::kRetryLater},
           Case{status::kDxgiErrorNotFound, false, CaptureRecovery::kFailed},
       }) {
    const CaptureFailure failure = ClassifyCaptureFailure(test.status, test.openedBefore);
    EXPECT_EQ(failure.recovery, test.recovery) << std::hex << test.status;
    EXPECT_NE(failure.cause, nullptr) << std::hex << test.status;
  }
  // Not the host's to interpret: reported as it is.
  for (const std::int32_t other : {status::kEFail, status::kEOutOfMemory, status::kSOk}) {
    EXPECT_EQ(ClassifyCaptureFailure(other).recovery, CaptureRecovery::kFailed);
    EXPECT_EQ(ClassifyCaptureFailure(other).cause, nullptr);
  }
}

TEST(AdapterChoiceTest, SoftwareAdaptersNeverMatch) {
  EXPECT_FALSE(AdapterMatches(true, 7, 0));
  EXPECT_FALSE(AdapterMatches(true, 7, 7));
}

TEST(AdapterChoiceTest, ZeroTakesAnyHardwareAdapterElseTheLuidMustMatchInBothHalves) {
  EXPECT_TRUE(AdapterMatches(false, 7, 0));
  EXPECT_TRUE(AdapterMatches(false, LuidValue(5, 2), LuidValue(5, 2)));
  EXPECT_FALSE(AdapterMatches(false, LuidValue(5, 2), LuidValue(5, 3)));
  EXPECT_FALSE(AdapterMatches(false, LuidValue(5, 2), LuidValue(6, 2)));
  EXPECT_EQ(LuidValue(0x89ABCDEFu, -1), 0xFFFFFFFF89ABCDEFull);
}

// Monitors are numbered over the hardware adapters in enumeration order,
// each once however many adapters list it; the adapter is the first that
// shows it and has not refused to duplicate it.
TEST(AdapterChoiceTest, TheMonitorsAdapterIsChosenAcrossAdapters) {
  constexpr std::uint64_t kPanel = 0x101;
  constexpr std::uint64_t kExternal = 0x102;
  constexpr std::uint64_t kThird = 0x103;
  // A discrete GPU without monitors first, the integrated one with the
  // panel and a second monitor, a software adapter, then a third GPU.
  const std::vector<AdapterSummary> split = {{false, 10, {}},
                                             {false, 20, {kPanel, kExternal}},
                                             {true, 30, {0x109}},
                                             {false, 40, {kThird}}};
  // A hybrid laptop set to high performance: the discrete GPU lists the
  // panel too, and comes first.
  const std::vector<AdapterSummary> hybrid = {{false, 10, {kPanel}},
                                              {false, 20, {kPanel, kExternal}}};
  struct Case {
    const std::vector<AdapterSummary>* adapters;
    std::uint64_t luid;
    std::uint32_t monitor;
    std::vector<std::uint64_t> refused;
    std::optional<std::size_t> index;
    std::optional<std::uint32_t> output;
  };
  for (const Case& test : {
           Case{&split, 0, 0, {}, 1, 0}, Case{&split, 0, 1, {}, 1, 1},
           Case{&split, 0, 2, {}, 3, 0},             // the software one's is not counted
           Case{&split, 0, 9, {}, 0, std::nullopt},  // no such monitor: the first GPU
           Case{&split, 40, 0, {}, 3, 0},            // an adapter asked for by id
           Case{&split, 30, 0, {}, std::nullopt, std::nullopt},  // a software adapter
           Case{&hybrid, 0, 0, {}, 0, 0},
           Case{&hybrid, 0, 1, {}, 1, 1},  // the panel is not counted twice
           Case{&hybrid, 0, 2, {}, 0, std::nullopt},
           Case{&hybrid, 0, 0, {10}, 1, 0},  // the discrete GPU refused the panel
           Case{&hybrid, 0, 0, {10, 20}, std::nullopt, std::nullopt},
           Case{&hybrid, 10, 0, {10}, std::nullopt, std::nullopt},  // no fallback from an id
       }) {
    const std::optional<std::size_t> index =
        ChooseAdapter(*test.adapters, test.luid, test.monitor, test.refused);
    EXPECT_EQ(index, test.index) << test.luid << " " << test.monitor;
    if (index) {
      EXPECT_EQ(OutputOfMonitor(*test.adapters, *index, test.luid, test.monitor), test.output)
          << test.luid << " " << test.monitor;
    }
  }
  EXPECT_FALSE(ChooseAdapter(std::vector<AdapterSummary>{{true, 1, {1}}}, 0, 0).has_value());
}

}  // namespace
}  // namespace veyra
