#include "host/video/nal_units.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(NalUnitsTest, MixedStartCodesGiveUnitsWithTheirLengths) {
  // 4-byte SPS, 4-byte PPS, 3-byte IDR slice.
  const Bytes au = {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC, 0xDD};
  const std::vector<NalUnit> units = ScanNalUnits(au);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].offset, 0u);
  EXPECT_EQ(units[0].size, 6u);
  EXPECT_EQ(units[0].startCodeLength, 4u);
  EXPECT_EQ(units[0].type, 7);
  EXPECT_EQ(units[1].offset, 6u);
  EXPECT_EQ(units[1].type, 8);
  EXPECT_EQ(units[2].offset, 12u);
  EXPECT_EQ(units[2].size, 6u);
  EXPECT_EQ(units[2].startCodeLength, 3u);
  EXPECT_EQ(units[2].type, 5);
  EXPECT_TRUE(HasIdrSlice(units));
}

TEST(NalUnitsTest, SequenceHeaderIsSpsThenPpsBehindFourByteStartCodes) {
  const Bytes au = {0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1,    0x06, 0x01,
                    0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC};
  const Bytes header = ExtractSequenceHeader(au, ScanNalUnits(au));
  EXPECT_EQ(header, (Bytes{0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB}));
}

TEST(NalUnitsTest, AllNonIdrSlicesAreNoKeyFrameAndNoHeader) {
  const Bytes au = {0, 0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x01, 0x22};
  const std::vector<NalUnit> units = ScanNalUnits(au);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].type, 1);
  EXPECT_EQ(units[1].type, 1);
  EXPECT_FALSE(HasIdrSlice(units));
  EXPECT_TRUE(ExtractSequenceHeader(au, units).empty());
}

TEST(NalUnitsTest, EmptyUnitsAndLeadingBytesAreSkipped) {
  // Junk before the first start code, two start codes back to back, and a
  // start code at the very end.
  const Bytes au = {0xFF, 0x12, 0, 0, 1, 0, 0, 1, 0x65, 0x10, 0, 0, 1};
  const std::vector<NalUnit> units = ScanNalUnits(au);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].offset, 5u);
  EXPECT_EQ(units[0].size, 5u);
  EXPECT_EQ(units[0].type, 5);
}

TEST(NalUnitsTest, ShortInputsHoldNoUnits) {
  EXPECT_TRUE(ScanNalUnits(Bytes{}).empty());
  EXPECT_TRUE(ScanNalUnits(Bytes{0, 0}).empty());
  EXPECT_TRUE(ScanNalUnits(Bytes{0, 0, 1}).empty());
  EXPECT_TRUE(ScanNalUnits(Bytes{0, 0, 0, 1}).empty());
}

TEST(NalUnitsTest, TheLevelComesFromTheFirstSps) {
  struct Case {
    Bytes bytes;
    const char* level;  // nullptr: none
  };
  const std::vector<Case> cases = {
      {{0, 0, 0, 1, 0x67, 100, 0x00, 42, 0xAC}, "4.2"},
      {{0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x67, 100, 0, 31, 0xAC, 0, 0, 1, 0x68, 0xEE}, "3.1"},
      {{0, 0, 0, 1, 0x67, 77, 0x10, 11, 0xAC}, "1b"},    // constraint_set3 in Main
      {{0, 0, 0, 1, 0x67, 100, 0x10, 11, 0xAC}, "1.1"},  // not in High
      {{0, 0, 0, 1, 0x67, 66, 0, 9, 0xAC}, "1b"},
      {{0, 0, 0, 1, 0x67, 100, 0x00, 51}, "5.1"},
      {{0, 0, 0, 1, 0x67, 100, 0x00}, nullptr},  // cut short
      {{0, 0, 0, 1, 0x68, 0xEE, 0, 0, 1, 0x65, 1}, nullptr},
      {{0, 0, 0, 1, 0x67, 100, 0, 0, 0xAC}, nullptr},  // level 0
  };
  for (const Case& test : cases) {
    const std::optional<std::string> level = SpsLevelName(test.bytes);
    if (test.level == nullptr) {
      EXPECT_FALSE(level.has_value()) << *level;
    } else {
      ASSERT_TRUE(level.has_value()) << test.level;
      EXPECT_EQ(*level, test.level);
    }
  }
}

}  // namespace
}  // namespace veyra
