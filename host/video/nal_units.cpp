#include "host/video/nal_units.h"

#include <algorithm>
#include <cstdio>

namespace veyra {

std::vector<NalUnit> ScanNalUnits(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  std::vector<NalUnit> starts;
  std::size_t p = 0;
  while (p + 2 < n) {
    if (bytes[p] == 0 && bytes[p + 1] == 0 && bytes[p + 2] == 1) {
      starts.push_back({p, 0, 3, 0});
      p += 3;
    } else if (p + 3 < n && bytes[p] == 0 && bytes[p + 1] == 0 && bytes[p + 2] == 0 &&
               bytes[p + 3] == 1) {
      starts.push_back({p, 0, 4, 0});
      p += 4;
    } else {
      ++p;
    }
  }
  std::vector<NalUnit> units;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    NalUnit unit = starts[i];
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1].offset : n;
    unit.size = end - unit.offset;
    if (unit.size == unit.startCodeLength) continue;
    unit.type = bytes[unit.offset + unit.startCodeLength] & 0x1Fu;
    units.push_back(unit);
  }
  return units;
}

bool HasIdrSlice(std::span<const NalUnit> units) {
  return std::any_of(units.begin(), units.end(),
                     [](const NalUnit& unit) { return unit.type == kNalTypeIdr; });
}

std::vector<std::uint8_t> ExtractSequenceHeader(std::span<const std::uint8_t> bytes,
                                                std::span<const NalUnit> units) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  std::vector<std::uint8_t> header;
  for (const NalUnit& unit : units) {
    if (unit.type != kNalTypeSps && unit.type != kNalTypePps) continue;
    header.insert(header.end(), std::begin(kStartCode), std::end(kStartCode));
    const auto body =
        bytes.subspan(unit.offset + unit.startCodeLength, unit.size - unit.startCodeLength);
    header.insert(header.end(), body.begin(), body.end());
  }
  return header;
}

std::optional<std::string> SpsLevelName(std::span<const std::uint8_t> bytes) {
  for (const NalUnit& unit : ScanNalUnits(bytes)) {
    if (unit.type != kNalTypeSps) continue;
    // Header, profile_idc, constraint flags, level_idc. None of them can
    // hold an emulation prevention byte: the header and profile_idc are
    // never 0, so no 00 00 comes before level_idc.
    if (unit.size < unit.startCodeLength + 4) return std::nullopt;
    const std::uint8_t* sps = bytes.data() + unit.offset + unit.startCodeLength;
    const std::uint8_t profile = sps[1];
    const bool constraintSet3 = (sps[2] & 0x10u) != 0;
    const std::uint8_t level = sps[3];
    if (level == 0) return std::nullopt;
    if (level == 9 ||
        (level == 11 && constraintSet3 && (profile == 66 || profile == 77 || profile == 88))) {
      return std::string("1b");
    }
    return LevelIdcName(level);
  }
  return std::nullopt;
}

std::string LevelIdcName(std::uint32_t levelIdc) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u", levelIdc / 10u, levelIdc % 10u);
  return std::string(text);
}

}  // namespace veyra
