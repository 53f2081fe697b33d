#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veyra {

// One NAL unit of an Annex B byte string.
struct NalUnit {
  std::size_t offset = 0;           // of its start code
  std::size_t size = 0;             // start code included
  std::size_t startCodeLength = 0;  // 3 or 4
  std::uint8_t type = 0;            // the header's low 5 bits
};

inline constexpr std::uint8_t kNalTypeIdr = 5;
inline constexpr std::uint8_t kNalTypeSps = 7;
inline constexpr std::uint8_t kNalTypePps = 8;

// The non-empty units of |bytes|, in order. A start code is 00 00 01 or
// 00 00 00 01; a unit ends where the next start code begins. Bytes before the
// first start code belong to no unit, and a start code with nothing after it
// gives no unit.
std::vector<NalUnit> ScanNalUnits(std::span<const std::uint8_t> bytes);

// True when any unit is an IDR slice.
bool HasIdrSlice(std::span<const NalUnit> units);

// The SPS and PPS units of an access unit, in order, each behind a 4-byte
// start code; empty when it has none.
std::vector<std::uint8_t> ExtractSequenceHeader(std::span<const std::uint8_t> bytes,
                                                std::span<const NalUnit> units);

// The level the first SPS of |bytes| declares, as H.264 names levels
// ("3.1", "4.2", "1b"); nothing without a complete SPS. The SPS starts with
// profile_idc, the constraint flags and level_idc; level 1b is level_idc 11
// with constraint_set3_flag in the Baseline, Main and Extended profiles, or
// level_idc 9.
std::optional<std::string> SpsLevelName(std::span<const std::uint8_t> bytes);

// "4.2" for level_idc 42.
std::string LevelIdcName(std::uint32_t levelIdc);

}  // namespace veyra
