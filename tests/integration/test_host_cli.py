"""The host's command line, run as a real process: exact output bytes and
exit codes."""

import os
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import hostproc  # noqa: E402

# The usage text, written out here independently of the program's source.
USAGE = """Veyra Windows host 0.1.0

Usage: veyra-host [options]

Connection (the Android receiver listens; this host connects out):
  --host <addr>        receiver address; required unless --discover finds one
  --port <n>           receiver port (default 47820)
  --discover           browse _veyra._tcp and use the first result
  --list               list discovered receivers and exit

  For USB, forward the port and connect to localhost (SDD 8.2):
      adb forward tcp:47820 tcp:47820
      veyra-host --host 127.0.0.1

Capture and encode:
  --source <kind>      dd (Desktop Duplication, default) or synthetic
                       dd mirrors an existing monitor; synthetic generates
                       paced frames for pipeline diagnostics
  --output <n>         monitor index to mirror (default 0)
  --fps <n>            target frame rate (default 60)
  --bitrate <kbps>     encoder bitrate (default 12000)
  --gop <n>            keyframe interval in frames (default 120)
  --size <WxH>         force stream size; default derives from DEVICE_INFO
  --software           force the software encoder

Pairing (the device asks once, the first time this PC connects):
  --name <text>        name shown on the device's prompt (default: computer name)
  --pairings           list devices that have approved this PC, then exit
  --forget <deviceId>  drop one pairing so the device asks again
  --forget-all         drop every pairing

Other:
  --no-tls             connect in plaintext; only for the mock receiver
                       (a real receiver refuses, WIRE.md 11)
  --no-input           receive input but do not inject it
  --verbose            debug logging
  --log <path>         write the log to a file instead of stderr; the tray
                       uses this so a windowless session leaves a record
  --probe              report encoder and capture capabilities, then exit
  --version            print the host version and exit
  --help
"""

# Serving the phone's browser comes after the designed lines on both builds.
SERVING = """
The phone's browser (no app to install):
  --serve              listen for the phone's browser instead of connecting
                       out; prints the page's address to open on the phone
  --port <n>           with --serve, the port to listen on (default 47820)
"""

# The native build then lists what it adds; the Windows build prints the
# designed text and serving alone.
if hostproc.UNDER_WINE:
    HELP = USAGE + SERVING
    SOURCE_KINDS = "--source expects 'dd' or 'synthetic'\n"
else:
    HELP = USAGE + SERVING + """
This build also has:
  --source noise       a band of noise at the bit rate, for link benchmarks
"""
    SOURCE_KINDS = "--source expects 'dd', 'synthetic' or 'noise'\n"

MISSING = "No receiver address. Use --host <addr>, or --discover / --list.\n\n"


def out(result):
    # The Windows C runtime writes text-mode newlines; compare in Unix form.
    return result.stdout.replace(b"\r\n", b"\n").decode()


def test_usage_has_41_lines():
    assert USAGE.count("\n") == 41


@pytest.mark.parametrize("args,code,expected", [
    (["--version"], 0, "0.1.0\n"),
    (["--help"], 0, HELP),
    (["-h", "--bogus"], 0, HELP),
    ([], 2, MISSING + HELP),
    (["--host", "10.0.0.2", "--port"], 2, "--port requires a value\n"),
    (["--host", "a", "--size", "1280x"], 2, "--size expects WxH, e.g. 1920x1080\n"),
    (["--host", "a", "--source", "idd"], 2, SOURCE_KINDS),
    (["--frobnicate"], 2, "unknown option: --frobnicate\n\n" + HELP),
    (["--log", "/no/such/folder/host.log"], 2, "could not open the --log file for writing\n"),
])
def test_exact_output_and_exit_code(args, code, expected):
    if args[:1] == ["--log"]:
        args = ["--log", hostproc.windows_path(args[1])]
    result = hostproc.run_host(*args)
    assert out(result) == expected
    assert result.returncode == code


def test_log_option_creates_or_truncates_the_file_and_takes_the_log_lines():
    with tempfile.TemporaryDirectory() as folder:
        fresh = os.path.join(folder, "host.log")
        result = hostproc.run_host("--log", hostproc.windows_path(fresh), "--list")
        assert result.returncode == 1
        assert result.stderr == b""
        log = open(fresh, "rb").read()
        assert b"] WARN  DnsServiceBrowse unavailable (127)" in log

        stale = os.path.join(folder, "old.log")
        with open(stale, "w") as f:
            f.write("old contents\n")
        result = hostproc.run_host("--log", hostproc.windows_path(stale), "--version")
        assert (result.returncode, out(result)) == (0, "0.1.0\n")
        assert open(stale).read() == ""


@pytest.mark.skipif(not hostproc.UNDER_WINE, reason="the presence mutex exists on Windows only")
def test_a_running_host_does_not_stop_a_second_one():
    holder = hostproc.popen(os.environ["VEYRA_MUTEX_HOLDER"], "Local\\Veyra.Host.v1",
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline().strip() == b"held 0"
        # Two hosts at once while the mutex already exists: both get as far as
        # their command lines take them.
        first = hostproc.popen(hostproc.HOST, "--version", stdout=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
        second = hostproc.run_host("--version")
        assert first.communicate(timeout=60)[0].replace(b"\r\n", b"\n") == b"0.1.0\n"
        assert first.returncode == 0
        assert out(second) == "0.1.0\n"
        assert second.returncode == 0
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


NONE_FOUND = ("none found. Use --host <addr>, or check that the receiver app is running\n"
              "and that mDNS is not blocked on this network (SDD 8.1).\n")


def test_list_without_a_browser_gives_the_advice_and_exit_1():
    # Neither Wine nor the native build can browse DNS-SD: the browse reports
    # itself unavailable instead of aborting the process.
    result = hostproc.run_host("--list")
    assert out(result) == "browsing for _veyra._tcp ...\n" + NONE_FOUND
    assert result.returncode == 1
    assert (b"] WARN  DnsServiceBrowse unavailable (127); use --host to connect manually"
            in result.stderr)


def test_discover_finding_nothing_reports_the_missing_address():
    result = hostproc.run_host("--discover")
    assert out(result) == MISSING + HELP
    assert result.returncode == 2


@pytest.mark.skipif(hostproc.UNDER_WINE, reason="the native media back end only")
def test_probe_reports_adapter_capture_and_encoder():
    # Natively the adapter is the CPU, the desktop is an X display (none
    # here until the test starts one), and no hardware encoder opens without
    # a GPU: libx264 is the fallback.
    env = dict(os.environ, DISPLAY="")
    result = hostproc.run_host("--probe", env=env)
    assert result.returncode == 0
    assert out(result) == ("adapter: CPU (libswscale)\n"
                           "capture: unavailable\n"
                           "encoder: libx264 (software)\n")
    assert b"] WARN  no hardware H.264 encoder; falling back to software" in result.stderr
    assert b"] ERROR capture: no X display (DISPLAY is not set)" in result.stderr

    with hostproc.Xvfb("640x480x24") as display:
        result = hostproc.run_host("--probe", env=dict(os.environ, DISPLAY=display.name))
    assert result.returncode == 0
    assert out(result).splitlines()[1] == "capture: x11 640x480"


@pytest.mark.skipif(not hostproc.UNDER_WINE, reason="the Direct3D 11 back end only")
def test_probe_under_wine_reports_wines_adapter_and_nothing_to_capture_or_encode():
    # Measured under Wine 8: DXGI lists one hardware adapter by this name,
    # DuplicateOutput is not implemented, and Media Foundation starts but
    # enumerates no H.264 encoder of either kind. Only the graphics devices
    # decide the exit code.
    result = hostproc.run_host("--probe")
    assert result.returncode == 0
    assert out(result) == ("adapter: NVIDIA GeForce GTX 470\n"
                           "capture: unavailable\n"
                           "encoder: none usable\n")
    err = result.stderr
    assert (b"] INFO  D3D11 on NVIDIA GeForce GTX 470: separate capture and encoder devices"
            in err)
    assert b"] ERROR DuplicateOutput failed: 0x80004001" in err
    assert b"] WARN  no hardware H.264 encoder; falling back to software" in err
    assert b"] ERROR encoder selection failed: 0xC00D5212" in err
