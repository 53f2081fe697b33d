"""Command line of veyra-receiver."""

import argparse
import json
import signal
import sys
import threading

from . import identity, messages, scenario, scenario_actions, wire
from .receiver import VERSION, Config, Receiver

DESCRIPTION = """\
Plays the phone's side of the Veyra wire protocol so that veyra-host can be
run and tested without a phone. It listens for the host, answers its TLS
handshake with a persistent self-signed key, introduces itself with HELLO,
asks "its user" to allow the PC, reports a screen with DEVICE_INFO,
acknowledges every video frame, and records everything it receives."""

EPILOG = """\
examples:
  veyra-receiver                                  listen on 47820 with TLS
  veyra-host --host 127.0.0.1                     ...and point the host at it
  veyra-receiver --no-tls --once --log events.jsonl --save-stream out.h264
  veyra-receiver --approve after=5 --action "stream+3 tap 0.5 0.5" \\
                 --action "stream+5 visibility false" --action "stream+8 visibility true"
  veyra-receiver --wire-decode 5659524100010030...   decode frames given in hex

exit status: 0 normally, 1 when it cannot start (port in use, no openssl),
2 for a command-line error, 3 with --strict when the host sent anything wrong.

""" + scenario.usage_text()


def _size(text):
    try:
        w, h = text.lower().split("x", 1)
        w, h = int(w), int(h)
    except ValueError:
        raise argparse.ArgumentTypeError("expected WxH, e.g. 1080x2400") from None
    if w < 0 or h < 0:
        raise argparse.ArgumentTypeError("sizes cannot be negative")
    return w, h


def _approve(text):
    t = text.strip().lower()
    if t in ("yes", "no", "never", "ask"):
        return t, 0.0
    if t.startswith("after="):
        try:
            secs = float(t[6:])
        except ValueError:
            secs = -1
        if secs >= 0:
            return "after", secs
    raise argparse.ArgumentTypeError("expected yes, no, never, ask or after=SECONDS")


def _nonneg_float(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text) from None
    if v < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return v


def _port(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a port number" % text) from None
    if not 0 <= v <= 65535:
        raise argparse.ArgumentTypeError("ports are 0 to 65535")
    return v


def _key_value(text):
    if "=" not in text:
        raise argparse.ArgumentTypeError("expected KEY=VALUE")
    k, v = text.split("=", 1)
    return k, scenario_actions.parse_value(v)


def build_parser():
    p = argparse.ArgumentParser(prog="veyra-receiver", description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version="veyra-receiver " + VERSION)

    g = p.add_argument_group("listening and TLS")
    g.add_argument("--port", type=_port, default=47820, metavar="N",
                   help="TCP port to listen on (default 47820; 0 picks a free one, "
                        "see --port-file)")
    g.add_argument("--bind", default="0.0.0.0", metavar="ADDR",
                   help="address to listen on (default 0.0.0.0, every IPv4 interface; "
                        "127.0.0.1 for this machine only, :: for IPv6)")
    g.add_argument("--port-file", metavar="FILE",
                   help="write the port actually listened on to FILE once listening")
    g.add_argument("--no-tls", action="store_true",
                   help="plaintext instead of TLS (the host then needs --no-tls too)")
    g.add_argument("--tls-version", choices=("any", "1.2", "1.3"), default="any",
                   help="TLS versions to accept (default any: 1.2 or 1.3)")
    g.add_argument("--tls-tickets", type=int, metavar="N",
                   help="TLS 1.3 session tickets to send after the handshake "
                        "(default: the TLS library's, usually 2; 0 sends none)")

    g = p.add_argument_group("identity and state")
    g.add_argument("--state", metavar="DIR", default=identity.default_state_dir(),
                   help="folder for the key, certificate, device id and paired hosts "
                        "(default %(default)s)")
    g.add_argument("--key-type", choices=("rsa", "ec"), default="rsa",
                   help="kind of key made on first use: RSA 2048 (default) or ECDSA P-256")
    g.add_argument("--new-key", action="store_true",
                   help="throw the key and the paired hosts away and make a new key, as a "
                        "reinstalled app would (the host will refuse it until --forget)")
    g.add_argument("--renew-cert", action="store_true",
                   help="issue a new certificate for the same key (the key hash stays)")
    g.add_argument("--openssl", default="openssl", metavar="PATH",
                   help="openssl command used to make the key and certificate")
    g.add_argument("--show-identity", action="store_true",
                   help="print device id, key hash, verification code and paired hosts, then exit")
    g.add_argument("--forget-hosts", action="store_true",
                   help="forget every paired host (they will be asked for again), then exit")

    g = p.add_argument_group("HELLO and pairing")
    g.add_argument("--device-id", metavar="ID",
                   help="deviceId sent in HELLO (default: one made once and kept in the state folder)")
    g.add_argument("--app-version", default=VERSION, metavar="TEXT",
                   help="appVersion sent in HELLO (default %(default)s)")
    g.add_argument("--protocol-version", type=int, default=1, metavar="N",
                   help="protocolVersion sent in HELLO (default 1; the host refuses others)")
    g.add_argument("--approve", type=_approve, default=("yes", 0.0), metavar="ANSWER",
                   help="what the user answers when a host without a known token asks: yes "
                        "(default), no (ERROR PERMISSION_DENIED, then close), never (no answer), "
                        "ask (prompt on this terminal), after=SECONDS (yes, after a delay)")
    g.add_argument("--deny-message", default="the user did not allow this computer", metavar="TEXT",
                   help="message of the PERMISSION_DENIED error")
    g.add_argument("--no-hello", action="store_true",
                   help="do not send HELLO on connecting (scenario steps still can)")
    g.add_argument("--no-device-info", action="store_true",
                   help="do not send DEVICE_INFO once paired (scenario steps still can)")

    d = messages.DEFAULT_DEVICE_INFO
    g = p.add_argument_group("DEVICE_INFO fields")
    g.add_argument("--model", default=d["model"], metavar="TEXT", help="model (default %(default)r)")
    g.add_argument("--screen", type=_size, default=(d["widthPx"], d["heightPx"]), metavar="WxH",
                   help="widthPx x heightPx (default %dx%d)" % (d["widthPx"], d["heightPx"]))
    g.add_argument("--density-dpi", type=int, default=d["densityDpi"], metavar="N",
                   help="densityDpi (default %(default)s)")
    g.add_argument("--refresh-hz", type=float, default=d["refreshHz"], metavar="HZ",
                   help="refreshHz (default %(default)s)")
    g.add_argument("--low-latency", action=argparse.BooleanOptionalAction, default=d["h264LowLatency"],
                   help="h264LowLatency (default on)")
    g.add_argument("--hevc", action=argparse.BooleanOptionalAction, default=d["hevc"],
                   help="hevc (default on)")
    g.add_argument("--max-decode", type=_size, default=(d["maxDecodeWidth"], d["maxDecodeHeight"]),
                   metavar="WxH", help="maxDecodeWidth x maxDecodeHeight (default %dx%d)"
                   % (d["maxDecodeWidth"], d["maxDecodeHeight"]))
    g.add_argument("--touch", action=argparse.BooleanOptionalAction, default=d["touch"],
                   help="touch (default on)")
    g.add_argument("--folded", action=argparse.BooleanOptionalAction, default=d["folded"],
                   help="folded (default off)")
    g.add_argument("--rotation", type=int, default=d["rotation"], metavar="DEG",
                   help="rotation (default %(default)s)")
    g.add_argument("--device-info-set", type=_key_value, action="append", default=[],
                   metavar="KEY=VALUE",
                   help="set any DEVICE_INFO key to a JSON value (or text), even a wrong "
                        "type, e.g. widthPx='\"1080\"'; repeatable")

    g = p.add_argument_group("timing, acknowledgements and clock")
    g.add_argument("--ping-interval", type=_nonneg_float, default=1.0, metavar="SECONDS",
                   help="send a PING this often (default 1; 0 never)")
    g.add_argument("--no-frame-ack", action="store_true",
                   help="do not acknowledge VIDEO_FRAMEs")
    g.add_argument("--clock-offset-us", type=int, default=0, metavar="N",
                   help="add N microseconds to this receiver's clock (every timestamp it sends)")
    g.add_argument("--read-kbps", type=int, default=0, metavar="N",
                   help="read from the host at most N kbit/s, a slow link whose queue builds "
                        "up in the host's socket (default 0: as fast as it comes)")
    g.add_argument("--decode-us", type=int, default=3000, metavar="N",
                   help="FRAME_ACK decodedUs = receivedUs + N (default 3000; simulated)")
    g.add_argument("--present-us", type=int, default=8000, metavar="N",
                   help="FRAME_ACK presentedUs = decodedUs + N (default 8000; 0 reports no "
                        "presentation time)")

    g = p.add_argument_group("scenario")
    g.add_argument("--action", action="append", default=[], metavar="'TIME ACTION [ARGS]'",
                   help="a timed step, e.g. 'stream+2 tap 0.5 0.5' (repeatable; see the list below)")
    g.add_argument("--scenario", action="append", default=[], metavar="FILE.json",
                   help="steps from a JSON file: a list of step strings or objects "
                        "{\"at\", \"do\"} (repeatable)")
    g.add_argument("--list-actions", action="store_true",
                   help="print the scenario anchors and actions, then exit")

    g = p.add_argument_group("how long to run")
    g.add_argument("--once", action="store_true",
                   help="serve exactly one connection, then exit (same as --connections 1)")
    g.add_argument("--connections", type=int, default=0, metavar="N",
                   help="exit after the Nth connection ends (default 0: keep serving)")
    g.add_argument("--duration", type=_nonneg_float, metavar="SECONDS",
                   help="exit after this long in any case")

    g = p.add_argument_group("output")
    g.add_argument("--log", metavar="FILE",
                   help="write every event (received and sent frames with decoded payloads, "
                        "problems, summary) as JSON lines to FILE; - for standard output")
    g.add_argument("--save-stream", metavar="FILE",
                   help="save the H.264 stream in Annex B form (codec config, then every access "
                        "unit), for ffprobe or ffplay")
    g.add_argument("--snapshot", metavar="FILE.png",
                   help="at exit, save the last picture received (decoded with ffmpeg)")
    g.add_argument("--ffmpeg", default="ffmpeg", metavar="PATH", help="ffmpeg command for --snapshot")
    g.add_argument("-v", "--verbose", action="count", default=0,
                   help="print more: every control message (-v), and more (-vv)")
    g.add_argument("-q", "--quiet", action="store_true",
                   help="print only the key facts, errors and the summary")
    g.add_argument("--strict", action="store_true",
                   help="exit with status 3 if the host sent anything malformed or unexpected")

    g = p.add_argument_group("wire format helpers (one-shot)")
    g.add_argument("--wire-decode", metavar="HEX",
                   help="decode frames given in hex (- reads standard input) and print one JSON "
                        "object per frame")
    g.add_argument("--wire-encode", metavar="'ACTION [ARGS]'",
                   help="print the frames an action sends, in hex, one per line (timestamps and "
                        "sequence numbers 0)")
    return p


def config_from_args(args, parser):
    steps = []
    index = 0
    try:
        for path in args.scenario:
            loaded = scenario.load_file(path, index)
            steps += loaded
            index += len({s.order[0] for s in loaded}) + 1
        for text in args.action:
            steps += scenario.parse_step(text, index)
            index += 1
    except scenario.ScenarioError as e:
        parser.error(str(e))
    info = dict(messages.DEFAULT_DEVICE_INFO)
    info.update({"model": args.model, "widthPx": args.screen[0], "heightPx": args.screen[1],
                 "densityDpi": args.density_dpi, "refreshHz": args.refresh_hz,
                 "h264LowLatency": args.low_latency, "hevc": args.hevc,
                 "maxDecodeWidth": args.max_decode[0], "maxDecodeHeight": args.max_decode[1],
                 "touch": args.touch, "folded": args.folded, "rotation": args.rotation})
    info.update(dict(args.device_info_set))
    if args.connections < 0:
        parser.error("--connections must not be negative")
    return Config(
        port=args.port, bind=args.bind, tls=not args.no_tls, tls_version=args.tls_version,
        tls_tickets=args.tls_tickets, key_type=args.key_type, state_dir=args.state,
        new_key=args.new_key, renew_cert=args.renew_cert, openssl=args.openssl,
        device_id=args.device_id, app_version=args.app_version,
        protocol_version=args.protocol_version, approve=args.approve[0],
        approve_after=args.approve[1], deny_message=args.deny_message, device_info=info,
        send_hello=not args.no_hello, send_device_info=not args.no_device_info,
        ping_interval=args.ping_interval, frame_ack=not args.no_frame_ack,
        clock_offset_us=args.clock_offset_us, read_kbps=args.read_kbps, decode_us=args.decode_us,
        present_us=args.present_us, steps=steps,
        connections=1 if args.once else args.connections, duration=args.duration,
        log_path=args.log, save_stream=args.save_stream, snapshot=args.snapshot,
        ffmpeg=args.ffmpeg, port_file=args.port_file,
        verbosity=0 if args.quiet else 1 + args.verbose, strict=args.strict)


def parse_config(argv):
    """A Config from command-line words (for tests and embedding)."""
    parser = build_parser()
    return config_from_args(parser.parse_args(argv), parser)


def _wire_decode(text):
    if text == "-":
        text = sys.stdin.read()
    try:
        frames = wire.decode_stream(wire.from_hex(text))
    except wire.WireError as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    for f in frames:
        print(json.dumps(f, ensure_ascii=False))
    return 0


def _wire_encode(text, parser):
    try:
        steps = scenario.parse_step("0 " + text)
    except scenario.ScenarioError as e:
        parser.error(str(e))
    ctx = messages.FixedContext()
    counters = wire.SequenceCounters()
    for step in steps:
        for frame in messages.encode_items(messages.build(step.op, step.params, ctx), counters):
            print(frame.hex())
    return 0


def _show_identity(args):
    device_id = args.device_id or identity.load_device_id(args.state)
    print("state folder:      %s" % args.state)
    print("device id:         %s" % device_id)
    try:
        ident = identity.ensure_identity(args.state, key_type=args.key_type, new_key=args.new_key,
                                         renew_cert=args.renew_cert, openssl=args.openssl)
        print("TLS key hash:      %s" % ident.key_hash)
        print("verification code: %s" % ident.short_code)
    except identity.StateError as e:
        print("TLS key:           unavailable (%s)" % e)
    hosts = identity.PairingMemory(args.state).hosts
    print("paired hosts:      %d" % len(hosts))
    for host_id, entry in sorted(hosts.items()):
        print("  %s  \"%s\"  paired %s" % (host_id, entry.get("hostName", ""), entry.get("pairedAt", "?")))
    return 0


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.wire_decode is not None:
        return _wire_decode(args.wire_decode)
    if args.wire_encode is not None:
        return _wire_encode(args.wire_encode, parser)
    if args.list_actions:
        print(scenario.usage_text())
        return 0
    try:
        if args.show_identity:
            return _show_identity(args)
        if args.forget_hosts:
            n = identity.PairingMemory(args.state).forget_all()
            print("forgot %d paired host%s" % (n, "" if n == 1 else "s"))
            return 0
    except (OSError, identity.StateError) as e:
        print("veyra-receiver: %s" % e, file=sys.stderr)
        return 1
    receiver = Receiver(config_from_args(args, parser))
    if threading.current_thread() is threading.main_thread():
        def on_signal(signum, frame):
            if receiver._stop_reason is not None:
                raise KeyboardInterrupt
            receiver.request_stop("interrupted (%s)" % signal.Signals(signum).name)
        signal.signal(signal.SIGINT, on_signal)
        signal.signal(signal.SIGTERM, on_signal)
    try:
        return receiver.run()
    except KeyboardInterrupt:
        return 130
