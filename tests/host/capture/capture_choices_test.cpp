#include <gtest/gtest.h>

#include "host/capture/adapter_choice.h"
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

}  // namespace
}  // namespace veyra
