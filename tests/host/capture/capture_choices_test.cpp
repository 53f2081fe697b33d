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
