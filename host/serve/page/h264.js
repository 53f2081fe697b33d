// Just enough H.264 for the decoder: where the NAL units of an Annex B
// buffer are, and the codec string a sequence parameter set names. Pure
// functions.

export const NAL_IDR = 5;
export const NAL_SPS = 7;
export const NAL_PPS = 8;

// The NAL units of an Annex B byte stream, as views without start codes.
export function splitNalUnits(bytes) {
  const starts = [];
  for (let i = 0; i + 2 < bytes.length; i++) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      starts.push(i + 3);
      i += 2;
    }
  }
  const units = [];
  for (let k = 0; k < starts.length; k++) {
    let end = k + 1 < starts.length ? starts[k + 1] - 3 : bytes.length;
    // A unit never ends in a zero byte: zeros there belong to the next
    // four-byte start code.
    while (end > starts[k] && bytes[end - 1] === 0) {
      end--;
    }
    if (end > starts[k]) {
      units.push(bytes.subarray(starts[k], end));
    }
  }
  return units;
}

export function nalTypes(bytes) {
  return splitNalUnits(bytes).map((unit) => unit[0] & 0x1f);
}

// "avc1.PPCCLL" from an SPS NAL unit (its one-byte header first):
// profile_idc, the constraint flags byte and level_idc, in hex. No
// emulation prevention byte can come before level_idc: profile_idc is never
// 0, so no 00 00 pair precedes it. null when |unit| is not an SPS.
export function codecFromSps(unit) {
  if (unit.length < 4 || (unit[0] & 0x1f) !== NAL_SPS) {
    return null;
  }
  const hex = (b) => b.toString(16).toUpperCase().padStart(2, '0');
  return `avc1.${hex(unit[1])}${hex(unit[2])}${hex(unit[3])}`;
}

// The codec string of the first SPS in an Annex B buffer, or null.
export function codecFromConfig(bytes) {
  for (const unit of splitNalUnits(bytes)) {
    const codec = codecFromSps(unit);
    if (codec !== null) {
      return codec;
    }
  }
  return null;
}
