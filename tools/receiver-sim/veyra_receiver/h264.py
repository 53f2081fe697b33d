"""Just enough H.264 to check what the host sends: the picture size, profile
and level in a sequence parameter set."""

from .wire import WireError, split_nals

NAL_SLICE = 1
NAL_IDR = 5
NAL_SEI = 6
NAL_SPS = 7
NAL_PPS = 8
NAL_AUD = 9

PROFILES = {66: "baseline", 77: "main", 88: "extended", 100: "high", 110: "high10",
            122: "high422", 244: "high444"}
_HIGH_PROFILES = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135}


def unescape(nal):
    """The RBSP of a NAL unit: emulation prevention bytes (00 00 03) removed."""
    out = bytearray()
    zeros = 0
    for b in nal:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


class _Bits:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def u(self, n):
        value = 0
        for _ in range(n):
            byte = self.pos >> 3
            if byte >= len(self.data):
                raise WireError("truncated SPS")
            value = (value << 1) | ((self.data[byte] >> (7 - (self.pos & 7))) & 1)
            self.pos += 1
        return value

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
            if zeros > 31:
                raise WireError("bad Exp-Golomb code in SPS")
        return (1 << zeros) - 1 + self.u(zeros)

    def se(self):
        k = self.ue()
        return (k + 1) // 2 if k & 1 else -(k // 2)


def parse_sps(nal):
    """Profile, level and cropped picture size of an SPS NAL unit (with its
    one-byte NAL header)."""
    if not nal or nal[0] & 0x1F != NAL_SPS:
        raise WireError("not an SPS")
    r = _Bits(unescape(nal[1:]))
    profile_idc = r.u(8)
    r.u(8)  # constraint flags
    level_idc = r.u(8)
    r.ue()  # seq_parameter_set_id
    chroma_format_idc = 1
    separate_planes = 0
    if profile_idc in _HIGH_PROFILES:
        chroma_format_idc = r.ue()
        if chroma_format_idc == 3:
            separate_planes = r.u(1)
        r.ue()  # bit depth luma - 8
        r.ue()  # bit depth chroma - 8
        r.u(1)  # transform bypass
        if r.u(1):  # scaling matrices present
            for i in range(12 if chroma_format_idc == 3 else 8):
                if r.u(1):
                    last = nxt = 8
                    for _ in range(16 if i < 6 else 64):
                        if nxt:
                            nxt = (last + r.se() + 256) % 256
                        last = nxt or last
    r.ue()  # log2_max_frame_num - 4
    poc_type = r.ue()
    if poc_type == 0:
        r.ue()
    elif poc_type == 1:
        r.u(1)
        r.se()
        r.se()
        for _ in range(r.ue()):
            r.se()
    r.ue()  # max_num_ref_frames
    r.u(1)  # gaps allowed
    width_mbs = r.ue() + 1
    height_units = r.ue() + 1
    frame_mbs_only = r.u(1)
    if not frame_mbs_only:
        r.u(1)
    r.u(1)  # direct_8x8_inference
    crop = [0, 0, 0, 0]
    if r.u(1):
        crop = [r.ue() for _ in range(4)]
    chroma_array_type = 0 if separate_planes else chroma_format_idc
    if chroma_array_type == 0:
        unit_x, unit_y = 1, 2 - frame_mbs_only
    else:
        sub_w = 1 if chroma_format_idc == 3 else 2
        sub_h = 2 if chroma_format_idc == 1 else 1
        unit_x, unit_y = sub_w, sub_h * (2 - frame_mbs_only)
    width = width_mbs * 16 - unit_x * (crop[0] + crop[1])
    height = (2 - frame_mbs_only) * height_units * 16 - unit_y * (crop[2] + crop[3])
    return {"profileIdc": profile_idc, "profile": PROFILES.get(profile_idc, str(profile_idc)),
            "levelIdc": level_idc, "level": "%d.%d" % divmod(level_idc, 10),
            "width": width, "height": height}


def find_sps(data):
    """The first SPS of an Annex B buffer, parsed, or None."""
    for nal in split_nals(data):
        if nal[0] & 0x1F == NAL_SPS:
            return parse_sps(nal)
    return None
