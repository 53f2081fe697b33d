"""Keeping the received H.264: the whole stream in a file, and the pictures
since the last IDR for a snapshot decoded by ffmpeg."""

import os
import shutil
import struct
import subprocess
import tempfile


def find_ffmpeg(name="ffmpeg"):
    return shutil.which(name) or (name if os.path.isfile(name) and os.access(name, os.X_OK) else None)


class RecentPictures:
    """The last codec configuration and the access units since the last IDR:
    enough to decode the latest picture."""

    LIMIT = 64 * 1024 * 1024

    def __init__(self):
        self.config = b""
        self.units = []
        self.size = 0
        self.has_idr = False

    def add_config(self, data):
        self.config = bytes(data)

    def add_unit(self, data, idr):
        """Returns False when the buffer had to be dropped for size (a fresh
        IDR is then needed)."""
        if idr:
            self.units = []
            self.size = 0
            self.has_idr = True
        if not self.has_idr:
            return True
        if self.size + len(data) > self.LIMIT:
            self.units = []
            self.size = 0
            self.has_idr = False
            return False
        self.units.append(bytes(data))
        self.size += len(data)
        return True

    def stream(self):
        if not self.has_idr or not self.units:
            return b""
        return self.config + b"".join(self.units)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    return struct.unpack(">II", head[16:24])


def snapshot(ffmpeg, stream, out_path, timeout=120):
    """Decode an Annex B stream and save its last picture.  Returns (ok, text)."""
    if not ffmpeg:
        return False, "ffmpeg is not installed (or not on PATH); no snapshot taken"
    if not stream:
        return False, "no complete picture received yet (need an IDR); no snapshot taken"
    fd, tmp = tempfile.mkstemp(suffix=".h264", prefix="veyra-snapshot-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(stream)
        folder = os.path.dirname(os.path.abspath(out_path))
        os.makedirs(folder, exist_ok=True)
        proc = subprocess.run([ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
                               "-f", "h264", "-i", tmp, "-update", "1", out_path],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        if proc.returncode != 0 or not os.path.exists(out_path):
            return False, "ffmpeg could not decode the stream: %s" % (
                proc.stderr.decode(errors="replace").strip().splitlines() or ["exit %d" % proc.returncode])[-1]
        size = png_size(out_path) if out_path.lower().endswith(".png") else None
        return True, "saved %s%s" % (out_path, " (%dx%d)" % size if size else "")
    except subprocess.TimeoutExpired:
        return False, "ffmpeg took too long decoding the stream"
    except OSError as e:
        return False, "snapshot failed: %s" % e
    finally:
        try:
            os.unlink(tmp)
        except OSError:
            pass
