"""The actions a scenario step may take, each parsed from its words into
[(delay, op, params)]: input, control messages, bad bytes and the
simulator's own operations; and the value syntax their arguments share."""

import json
import os

from . import wire


class ScenarioError(ValueError):
    pass


def _float(text, what):
    try:
        return float(text)
    except (TypeError, ValueError):
        raise ScenarioError("%s: %r is not a number" % (what, text)) from None


def _int(text, what):
    try:
        return int(str(text), 0)
    except ValueError:
        raise ScenarioError("%s: %r is not an integer" % (what, text)) from None


def parse_rate(text):
    """Bits per second, with an optional k/M/G suffix."""
    t = str(text).strip()
    scale = {"k": 1e3, "m": 1e6, "g": 1e9}.get(t[-1:].lower())
    value = _float(t[:-1] if scale else t, "rate") * (scale or 1)
    return int(value)


def _bool(text, what):
    t = str(text).lower()
    if t in ("true", "1", "yes", "on", "visible", "shown"):
        return True
    if t in ("false", "0", "no", "off", "hidden", "background"):
        return False
    raise ScenarioError("%s: %r is not true or false" % (what, text))


def parse_value(text):
    """A key=value value: JSON when it reads as JSON, otherwise the text."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def key_values(args, what):
    out = {}
    for a in args:
        if "=" not in a:
            raise ScenarioError("%s: expected key=value, got %r" % (what, a))
        k, v = a.split("=", 1)
        out[k] = parse_value(v)
    return out


# USB HID keyboard usages (page 0x07) by name.
KEY_USAGES = {"enter": 40, "return": 40, "esc": 41, "escape": 41, "backspace": 42,
              "tab": 43, "space": 44, "minus": 45, "equal": 46, "leftbracket": 47,
              "rightbracket": 48, "backslash": 49, "semicolon": 51, "quote": 52,
              "grave": 53, "comma": 54, "period": 55, "slash": 56, "capslock": 57,
              "printscreen": 70, "scrolllock": 71, "pause": 72, "insert": 73, "home": 74,
              "pageup": 75, "delete": 76, "end": 77, "pagedown": 78, "right": 79,
              "left": 80, "down": 81, "up": 82, "ctrl": 224, "shift": 225, "alt": 226,
              "win": 227, "gui": 227, "rctrl": 228, "rshift": 229, "ralt": 230, "rwin": 231}
for _i, _c in enumerate("abcdefghijklmnopqrstuvwxyz"):
    KEY_USAGES[_c] = 4 + _i
for _i, _c in enumerate("1234567890"):
    KEY_USAGES[_c] = 30 + _i
for _i in range(12):
    KEY_USAGES["f%d" % (_i + 1)] = 58 + _i
_CHAR_KEYS = {" ": "space", "\n": "enter", "\t": "tab", "-": "minus", "=": "equal",
              ",": "comma", ".": "period", "/": "slash", ";": "semicolon", "'": "quote"}
SHIFT = 225


def key_usage(name):
    n = name.lower()
    if n in KEY_USAGES:
        return KEY_USAGES[n]
    try:
        return int(n, 0)
    except ValueError:
        raise ScenarioError("unknown key %r" % name) from None


# --- action parsing -----------------------------------------------------------
# Each parser returns a list of (delay seconds, op, params); most give one.

TAP_SECONDS = 0.05
KEY_SECONDS = 0.03
TEXT_SECONDS = 0.04
MOVE_SECONDS = 1 / 60


def _touch(args):
    if len(args) < 3:
        raise ScenarioError("touch ACTION X Y [buttons=N] [pointer=N]")
    action = args[0].lower()
    if action in wire.TOUCH_ACTIONS:
        code = wire.TOUCH_ACTIONS[action]
    else:
        code = _int(action, "touch action")
    opts = key_values(args[3:], "touch")
    return [(0, "touch", {"action": code, "x": _float(args[1], "x"), "y": _float(args[2], "y"),
                          "buttons": int(opts.get("buttons", 0)),
                          "pointer": int(opts.get("pointer", 0))})]


def _tap(args):
    if len(args) not in (2, 3) or (len(args) == 3 and args[2] != "right"):
        raise ScenarioError("tap X Y [right]")
    x, y = _float(args[0], "x"), _float(args[1], "y")
    buttons = 2 if len(args) == 3 else 0
    return [(0, "touch", {"action": 0, "x": x, "y": y, "buttons": buttons, "pointer": 0}),
            (TAP_SECONDS, "touch", {"action": 2, "x": x, "y": y, "buttons": buttons, "pointer": 0})]


def _drag(args):
    if len(args) not in (4, 5):
        raise ScenarioError("drag X1 Y1 X2 Y2 [SECONDS]")
    x1, y1, x2, y2 = (_float(a, "coordinate") for a in args[:4])
    seconds = _float(args[4], "seconds") if len(args) == 5 else 0.3
    steps = max(2, int(round(seconds / MOVE_SECONDS)))
    out = [(0, "touch", {"action": 0, "x": x1, "y": y1, "buttons": 0, "pointer": 0})]
    for i in range(1, steps + 1):
        f = i / steps
        out.append((seconds * f, "touch", {"action": 1, "x": x1 + (x2 - x1) * f,
                                           "y": y1 + (y2 - y1) * f, "buttons": 0, "pointer": 0}))
    out.append((seconds, "touch", {"action": 2, "x": x2, "y": y2, "buttons": 0, "pointer": 0}))
    return out


def _scroll(args):
    if len(args) not in (2, 4):
        raise ScenarioError("scroll DX DY [X Y]")
    vals = [_float(a, "scroll") for a in args]
    x, y = (vals[2], vals[3]) if len(vals) == 4 else (0.5, 0.5)
    return [(0, "scroll", {"dx": vals[0], "dy": vals[1], "x": x, "y": y})]


def _key(args):
    if len(args) not in (1, 2):
        raise ScenarioError("key KEY [down|up|press]")
    mode = args[1].lower() if len(args) == 2 else "press"
    names = args[0].split("+") if len(args[0]) > 1 else [args[0]]
    usages = [key_usage(n) for n in names]
    if mode in ("down", "up"):
        if len(usages) != 1:
            raise ScenarioError("key combinations can only be pressed")
        return [(0, "key", {"usage": usages[0], "action": 0 if mode == "down" else 1})]
    if mode != "press":
        raise ScenarioError("key mode must be down, up or press")
    out = [(0, "key", {"usage": u, "action": 0}) for u in usages]
    out += [(KEY_SECONDS, "key", {"usage": u, "action": 1}) for u in reversed(usages)]
    return out


def _text(args):
    if len(args) != 1:
        raise ScenarioError("text STRING (quote it)")
    out = []
    t = 0.0
    for ch in args[0]:
        name = _CHAR_KEYS.get(ch, ch.lower())
        if name not in KEY_USAGES:
            raise ScenarioError("text: no key for %r" % ch)
        usage = KEY_USAGES[name]
        shifted = ch.isalpha() and ch.isupper()
        if shifted:
            out.append((t, "key", {"usage": SHIFT, "action": 0}))
        out.append((t, "key", {"usage": usage, "action": 0}))
        out.append((t + KEY_SECONDS / 2, "key", {"usage": usage, "action": 1}))
        if shifted:
            out.append((t + KEY_SECONDS / 2, "key", {"usage": SHIFT, "action": 1}))
        t += TEXT_SECONDS
    return out


def _visibility(args):
    if not args:
        raise ScenarioError("visibility true|false [REASON]")
    reason = " ".join(args[1:]) or "scenario"
    return [(0, "visibility", {"visible": _bool(args[0], "visibility"), "reason": reason})]


def _bitrate(args):
    if len(args) not in (1, 2):
        raise ScenarioError("bitrate BPS [FPS]")
    return [(0, "bitrate", {"bitrateBps": parse_rate(args[0]),
                            "fps": _int(args[1], "fps") if len(args) == 2 else 0})]


def _display(args):
    fields = {}
    rest = list(args)
    if len(rest) >= 2 and "=" not in rest[0] and "=" not in rest[1]:
        fields["widthPx"] = _int(rest[0], "width")
        fields["heightPx"] = _int(rest[1], "height")
        rest = rest[2:]
    fields.update(key_values(rest, "display"))
    if not fields:
        raise ScenarioError("display W H [key=value...]")
    return [(0, "display", fields)]


def _error(args):
    if not args:
        raise ScenarioError("error CODE [MESSAGE]")
    return [(0, "error", {"code": args[0], "message": " ".join(args[1:])})]


def _no_args(op):
    def parse(args):
        if args:
            raise ScenarioError("%s takes no arguments" % op)
        return [(0, op, {})]
    return parse


def _overrides(op):
    return lambda args: [(0, op, key_values(args, op))]


def _pair_accepted(args):
    if len(args) > 1:
        raise ScenarioError("pair-accepted [TOKEN]")
    return [(0, "pair-accepted", {"token": args[0] if args else ""})]


def _frame_ack(args):
    if len(args) not in (1, 4):
        raise ScenarioError("frame-ack FRAME_ID [RECEIVED_US DECODED_US PRESENTED_US]")
    vals = [_int(a, "frame-ack") for a in args]
    return [(0, "frame-ack", {"frameId": vals[0], "times": vals[1:] or None})]


def _send(args):
    if not args or len(args) > 2:
        raise ScenarioError("send TYPE [JSON | hex:HEX]")
    try:
        code = wire.message_code(args[0])
    except wire.WireError as e:
        raise ScenarioError(str(e)) from None
    payload = b""
    if len(args) == 2:
        if args[1].startswith("hex:"):
            payload = _hex(args[1][4:])
        else:
            payload = args[1].encode("utf-8")
    return [(0, "frame", {"type": code, "payload": payload})]


def _hex(text):
    try:
        return wire.from_hex(text)
    except wire.WireError:
        raise ScenarioError("%r is not hexadecimal" % text) from None


def _raw(args):
    if len(args) != 1:
        raise ScenarioError("raw HEX")
    return [(0, "raw", {"bytes": _hex(args[0])})]


def _bad_magic(args):
    _no_args("bad-magic")(args)
    return [(0, "raw", {"bytes": wire.encode_header(wire.PING, 0, magic=b"vyra")})]


def _bad_version(args):
    _no_args("bad-version")(args)
    return [(0, "raw", {"bytes": wire.encode_header(wire.PING, 0, version=2)})]


def _oversize(args):
    _no_args("oversize")(args)
    return [(0, "raw", {"bytes": wire.encode_header(wire.VIDEO_FRAME, wire.MAX_PAYLOAD + 1,
                                                      channel=wire.VIDEO)})]


def _garbage(args):
    if len(args) != 1:
        raise ScenarioError("garbage N")
    return [(0, "raw", {"bytes": os.urandom(max(0, _int(args[0], "garbage")))})]


def _short(args):
    if len(args) not in (1, 2):
        raise ScenarioError("short TYPE [LENGTH]")
    try:
        code = wire.message_code(args[0])
    except wire.WireError as e:
        raise ScenarioError(str(e)) from None
    if code not in wire.MIN_PAYLOAD:
        raise ScenarioError("short: %s has no minimum length (one of TOUCH, SCROLL, KEY, "
                            "FRAME_ACK, PING, PONG)" % args[0])
    length = _int(args[1], "length") if len(args) == 2 else wire.MIN_PAYLOAD[code] - 1
    return [(0, "frame", {"type": code, "payload": bytes(max(0, length))})]


def _bad_json(args):
    if len(args) != 1:
        raise ScenarioError("bad-json TYPE")
    try:
        code = wire.message_code(args[0])
    except wire.WireError as e:
        raise ScenarioError(str(e)) from None
    return [(0, "frame", {"type": code, "payload": b'{"unterminated":'})]


def _pieces(args):
    if len(args) < 3:
        raise ScenarioError("pieces BYTES SECONDS ACTION [ARGS]")
    size = _int(args[0], "piece size")
    if size < 1:
        raise ScenarioError("piece size must be at least 1")
    if args[2].lower() in ("pieces", "close", "offline", "reset", "exit", "log", "snapshot"):
        raise ScenarioError("%s cannot be sent in pieces" % args[2])
    inner = parse_action(args[2:])
    return [(0, "pieces", {"size": size, "interval": _float(args[1], "seconds"),
                           "ops": [(op, params) for _, op, params in inner]})]


def _offline(args):
    if len(args) != 1:
        raise ScenarioError("offline SECONDS")
    return [(0, "offline", {"seconds": _float(args[0], "seconds")})]


def _reset(args):
    if len(args) > 1:
        raise ScenarioError("reset [SECONDS]")
    return [(0, "reset", {"seconds": _float(args[0], "seconds") if args else None})]


def _one_text(op, what):
    def parse(args):
        if not args:
            raise ScenarioError("%s %s" % (op, what))
        return [(0, op, {"text": " ".join(args)})]
    return parse


# name -> (parser, usage line)
ACTIONS = {
    "touch": (_touch, "touch down|move|up|cancel X Y [buttons=N] [pointer=N]  TOUCH, X and Y as fractions 0..1"),
    "tap": (_tap, "tap X Y [right]            touch down, then up 50 ms later"),
    "drag": (_drag, "drag X1 Y1 X2 Y2 [SECONDS] down, moves at 60 Hz, up (default 0.3 s)"),
    "scroll": (_scroll, "scroll DX DY [X Y]         SCROLL by fractions of the screen"),
    "key": (_key, "key KEY [down|up|press]    KEY: a, enter, f5, ctrl+c, or a HID usage number"),
    "text": (_text, "text STRING                type letters, digits, space and . , - / ; ' ="),
    "visibility": (_visibility, "visibility true|false [REASON]"),
    "bitrate": (_bitrate, "bitrate BPS [FPS]          SET_BITRATE; BPS may end in k or M"),
    "display": (_display, "display W H [key=value...] DISPLAY_CHANGED (folded=true, rotation=90, ...)"),
    "idr": (_no_args("idr"), "idr                        REQUEST_IDR"),
    "error": (_error, "error CODE [MESSAGE]       ERROR with any code"),
    "device-info": (_overrides("device-info"), "device-info [key=value...] DEVICE_INFO again, with changes"),
    "hello": (_overrides("hello"), "hello [key=value...]       HELLO again, with changes"),
    "pair-accepted": (_pair_accepted, "pair-accepted [TOKEN]      PAIR_ACCEPTED with this token (default empty)"),
    "ping": (_no_args("ping"), "ping                       a PING now"),
    "frame-ack": (_frame_ack, "frame-ack ID [RX DEC PRES] a FRAME_ACK for any frame id"),
    "send": (_send, "send TYPE [JSON|hex:HEX]   any message type (name or number) with any payload"),
    "raw": (_raw, "raw HEX                    bytes as they are, no framing"),
    "bad-magic": (_bad_magic, "bad-magic                  a header whose magic is \"vyra\""),
    "bad-version": (_bad_version, "bad-version                a header with framing version 2"),
    "oversize": (_oversize, "oversize                   a header announcing 16 MiB + 1 payload bytes"),
    "short": (_short, "short TYPE [LENGTH]        a TOUCH/SCROLL/KEY/FRAME_ACK/PING/PONG below its minimum"),
    "bad-json": (_bad_json, "bad-json TYPE              a message whose payload is broken JSON"),
    "garbage": (_garbage, "garbage N                  N random bytes"),
    "pieces": (_pieces, "pieces BYTES SECONDS ACTION [ARGS]  send ACTION's bytes a few at a time, SECONDS apart"),
    "close": (_no_args("close"), "close                      close the connection"),
    "offline": (_offline, "offline SECONDS            close, stop listening, listen again after SECONDS"),
    "reset": (_reset, "reset [SECONDS]            abort the connection with a TCP reset; with SECONDS, also go offline"),
    "snapshot": (_one_text("snapshot", "FILE.png"), "snapshot FILE.png          save the last picture now (needs ffmpeg)"),
    "log": (_one_text("log", "TEXT"), "log TEXT                   a marker in the event log"),
    "exit": (_no_args("exit"), "exit                       stop the simulator"),
}


def parse_action(words):
    """[(delay, op, params)] for the words of an action."""
    if not words:
        raise ScenarioError("missing action")
    name = words[0].lower()
    if name not in ACTIONS:
        raise ScenarioError("unknown action %r (one of %s)" % (words[0], ", ".join(ACTIONS)))
    try:
        return ACTIONS[name][0](words[1:])
    except ScenarioError as e:
        raise ScenarioError("%s: %s" % (name, e)) from None
