#include <gtest/gtest.h>

#include "host/capture/synthetic_source.h"

namespace veyra {
namespace {

using synthetic::BandLeft;
using synthetic::BandWidth;
using synthetic::NextDeadline;

TEST(SyntheticPatternTest, BandMovesBy37AndWrapsBeforeTheRightEdge) {
  EXPECT_EQ(BandLeft(0, 1920), 0u);
  EXPECT_EQ(BandLeft(1, 1920), 37u);
  EXPECT_EQ(BandLeft(49, 1920), (49u * 37u) % 1824u);
  for (std::uint32_t counter = 0; counter < 200; ++counter) {
    EXPECT_LE(BandLeft(counter, 1920) + BandWidth(1920), 1920u);
  }
}

TEST(SyntheticPatternTest, NarrowPicturesDrawAtZeroInsideThePicture) {
  for (std::uint32_t counter = 0; counter < 5; ++counter) {
    EXPECT_EQ(BandLeft(counter, 96), 0u);
    EXPECT_EQ(BandLeft(counter, 40), 0u);
  }
  EXPECT_EQ(BandWidth(96), 96u);
  EXPECT_EQ(BandWidth(40), 40u);
}

TEST(SyntheticPatternTest, CounterBeyond32BitProductsDoesNotJump) {
  const std::uint32_t counter = 0xFFFFFFFFu;
  EXPECT_EQ(BandLeft(counter, 1920),
            static_cast<std::uint32_t>((static_cast<std::uint64_t>(counter) * 37u) % 1824u));
}

TEST(SyntheticPatternTest, DeadlineAdvancesByOneIntervalUnlessMoreThanOneLate) {
  EXPECT_EQ(NextDeadline(1000, 900, 16666), 17666u);    // early (slept)
  EXPECT_EQ(NextDeadline(1000, 17666, 16666), 17666u);  // exactly one interval late
  EXPECT_EQ(NextDeadline(1000, 17667, 16666), 34333u);  // later: restart from now
}

}  // namespace
}  // namespace veyra
