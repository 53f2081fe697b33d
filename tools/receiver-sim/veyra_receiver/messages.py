"""The messages the receiver sends, built from scenario operations, and the
shapes it expects of the host's JSON messages."""

from . import wire

DEVICE_INFO_KEYS = ("model", "widthPx", "heightPx", "densityDpi", "refreshHz",
                    "h264LowLatency", "hevc", "maxDecodeWidth", "maxDecodeHeight",
                    "touch", "folded", "rotation")

# A typical current phone, held in portrait.
DEFAULT_DEVICE_INFO = {
    "model": "Veyra Receiver Simulator",
    "widthPx": 1080,
    "heightPx": 2400,
    "densityDpi": 420,
    "refreshHz": 60.0,
    "h264LowLatency": True,
    "hevc": True,
    "maxDecodeWidth": 3840,
    "maxDecodeHeight": 2160,
    "touch": True,
    "folded": False,
    "rotation": 0,
}

DISPLAY_KEYS = ("widthPx", "heightPx", "densityDpi", "refreshHz", "folded", "rotation")

# What the host writes: key order and JSON types ("int" is an integral number,
# "num" any number).
HOST_JSON_SHAPES = {
    wire.HELLO_ACK: (("protocolVersion", "int"), ("hostPlatform", "str"), ("hostVersion", "str"),
                     ("codec", "str"), ("features", "list"), ("hostId", "str"),
                     ("hostName", "str"), ("token", "str")),
    wire.VIDEO_CONFIG: (("codec", "str"), ("width", "int"), ("height", "int"), ("fps", "int"),
                        ("bitrateBps", "int"), ("profile", "str"), ("level", "str")),
    wire.HOST_STATS: (("fps", "num"), ("bitrateBps", "int"), ("captureMs", "num"),
                      ("convertMs", "num"), ("encodeMs", "num"), ("networkMs", "num"),
                      ("e2eP50Ms", "num"), ("e2eP95Ms", "num"), ("encoderQueue", "int"),
                      ("droppedFrames", "int"), ("rttMs", "num")),
    wire.ERROR: (("code", "str"), ("message", "str")),
}


def _kind_ok(value, kind):
    if kind == "str":
        return isinstance(value, str)
    if kind == "list":
        return isinstance(value, list)
    if isinstance(value, bool):
        return False
    if kind == "int":
        return isinstance(value, int) or (isinstance(value, float) and value.is_integer())
    return isinstance(value, (int, float))


def check_shape(code, obj):
    """Complaints about a host JSON message: not an object, missing keys,
    wrong types, unexpected keys, keys out of order."""
    shape = HOST_JSON_SHAPES.get(code)
    if shape is None:
        return []
    if not isinstance(obj, dict):
        return ["payload is a JSON %s, not an object" % type(obj).__name__]
    problems = []
    expected = [k for k, _ in shape]
    for key, kind in shape:
        if key not in obj:
            problems.append("missing key \"%s\"" % key)
        elif not _kind_ok(obj[key], kind):
            problems.append("key \"%s\" should be %s, got %s" % (
                key, {"str": "a string", "list": "an array", "int": "an integer",
                      "num": "a number"}[kind], wire.encode_json(obj[key]).decode()[:40]))
    extra = [k for k in obj if k not in expected]
    if extra:
        problems.append("unexpected keys %s" % ", ".join('"%s"' % k for k in extra))
    present = [k for k in obj if k in expected]
    if present != [k for k in expected if k in obj]:
        problems.append("keys out of order: %s" % ",".join(present))
    if code == wire.HELLO_ACK and isinstance(obj.get("features"), list):
        if not all(isinstance(f, str) for f in obj["features"]):
            problems.append("\"features\" should hold strings only")
    return problems


def ordered(obj, keys):
    """A copy with the given keys first, in that order, then the rest."""
    out = {k: obj[k] for k in keys if k in obj}
    out.update((k, v) for k, v in obj.items() if k not in out)
    return out


class FixedContext:
    """What building a message needs, with a fixed clock: for encoding frames
    outside a connection (the hex hook)."""

    def __init__(self, device_id="sim-0000000000000000", app_version="0.1.0",
                 protocol_version=1, clock_us=0):
        self.device_info = dict(DEFAULT_DEVICE_INFO)
        self.device_id = device_id
        self.app_version = app_version
        self.protocol_version = protocol_version
        self.modifiers = 0
        self.clock_us = clock_us
        self.ping_id = 0

    def now_us(self):
        return self.clock_us

    def next_ping_id(self):
        self.ping_id += 1
        return self.ping_id


def hello_payload(ctx, overrides=None):
    obj = {"protocolVersion": ctx.protocol_version, "deviceId": ctx.device_id,
           "appVersion": ctx.app_version}
    obj.update(overrides or {})
    return obj


def build(op, params, ctx):
    """The bytes an operation sends: a list of ("frame", type, payload) and
    ("raw", bytes) items.  None for operations that send nothing themselves
    (close, offline, snapshot, log, exit)."""
    now = ctx.now_us()
    if op == "touch":
        a = params["action"]
        return [("frame", wire.TOUCH, wire.encode_touch(
            a, params["x"], params["y"], buttons=params["buttons"], pointer_id=params["pointer"],
            pressure=1.0 if a in (0, 1) else 0.0, event_time_us=now))]
    if op == "scroll":
        return [("frame", wire.SCROLL, wire.encode_scroll(params["dx"], params["dy"], params["x"],
                                                         params["y"], event_time_us=now))]
    if op == "key":
        usage = params["usage"]
        if 0xE0 <= usage <= 0xE7:
            bit = 1 << (usage - 0xE0)
            ctx.modifiers = ctx.modifiers | bit if params["action"] == 0 else ctx.modifiers & ~bit
        return [("frame", wire.KEY, wire.encode_key(usage, params["action"],
                                                    modifiers=ctx.modifiers, event_time_us=now))]
    if op == "visibility":
        return [("frame", wire.VISIBILITY, wire.encode_json(
            {"visible": params["visible"], "reason": params["reason"], "atUs": now}))]
    if op == "bitrate":
        return [("frame", wire.SET_BITRATE, wire.encode_json(
            {"bitrateBps": params["bitrateBps"], "fps": params["fps"]}))]
    if op == "display":
        shape = {k: ctx.device_info.get(k, DEFAULT_DEVICE_INFO[k]) for k in DISPLAY_KEYS}
        shape.update(params)
        ctx.device_info.update(params)
        return [("frame", wire.DISPLAY_CHANGED, wire.encode_json(ordered(shape, DISPLAY_KEYS)))]
    if op == "idr":
        return [("frame", wire.REQUEST_IDR, b"")]
    if op == "error":
        return [("frame", wire.ERROR, wire.encode_json(
            {"code": params["code"], "message": params["message"]}))]
    if op == "device-info":
        ctx.device_info.update(params)
        return [("frame", wire.DEVICE_INFO,
                 wire.encode_json(ordered(ctx.device_info, DEVICE_INFO_KEYS)))]
    if op == "hello":
        return [("frame", wire.HELLO, wire.encode_json(hello_payload(ctx, params)))]
    if op == "pair-accepted":
        return [("frame", wire.PAIR_ACCEPTED, wire.encode_json({"token": params["token"]}))]
    if op == "ping":
        return [("frame", wire.PING, wire.encode_ping(ctx.next_ping_id(), now, 0))]
    if op == "frame-ack":
        rx, dec, pres = params["times"] or (now, now, now)
        return [("frame", wire.FRAME_ACK, wire.encode_frame_ack(params["frameId"], rx, dec, pres))]
    if op == "frame":
        return [("frame", params["type"], params["payload"])]
    if op == "raw":
        return [("raw", params["bytes"])]
    return None


def encode_items(items, counters=None, timestamp_us=0):
    """Frame the items of `build` the way the receiver sends them."""
    counters = counters or wire.SequenceCounters()
    out = []
    for item in items or ():
        if item[0] == "raw":
            out.append(item[1])
        else:
            out.append(wire.encode_frame(item[1], item[2], sequence=counters.next(wire.CONTROL),
                                         timestamp_us=timestamp_us))
    return out
