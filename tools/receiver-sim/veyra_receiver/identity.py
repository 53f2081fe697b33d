"""The receiver's lasting state: its TLS key and certificate, its device id,
and the hosts its user has allowed (with the token issued to each).

Everything lives in one state folder:
  key.pem        private key (made once with the openssl command line)
  cert.pem       self-signed certificate for that key (renewable, same key)
  device.json    {"deviceId": ...}
  pairings.json  {"hosts": {hostId: {"token", "hostName", "pairedAt"}}}
"""

import base64
import datetime
import hashlib
import json
import os
import secrets
import shutil
import ssl
import subprocess
import tempfile

KEY_FILE = "key.pem"
CERT_FILE = "cert.pem"
DEVICE_FILE = "device.json"
PAIRINGS_FILE = "pairings.json"
CERT_SUBJECT = "/CN=Veyra Receiver Simulator"
CERT_DAYS = 3650


class StateError(RuntimeError):
    """The state folder or the openssl tool could not do what was needed."""


def default_state_dir():
    if os.name == "nt":
        base = os.environ.get("LOCALAPPDATA") or os.path.expanduser("~")
        return os.path.join(base, "veyra-receiver")
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "veyra-receiver")


def _write_atomic(path, data, mode=0o644):
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _read_json(path):
    try:
        with open(path, "rb") as f:
            return json.loads(f.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as e:
        raise StateError("cannot read %s: %s" % (path, e)) from None


# --- key fingerprint --------------------------------------------------------

def _der_element(der, pos):
    """(tag, content start, end) of the DER element at pos."""
    if pos + 2 > len(der):
        raise ValueError("truncated DER")
    tag = der[pos]
    length = der[pos + 1]
    pos += 2
    if length & 0x80:
        n = length & 0x7F
        if n == 0 or n > 4 or pos + n > len(der):
            raise ValueError("bad DER length")
        length = int.from_bytes(der[pos:pos + n], "big")
        pos += n
    end = pos + length
    if end > len(der):
        raise ValueError("truncated DER")
    return tag, pos, end


def spki_from_cert_der(der):
    """The DER bytes of a certificate's SubjectPublicKeyInfo."""
    tag, start, _ = _der_element(der, 0)          # Certificate
    if tag != 0x30:
        raise ValueError("not a certificate")
    tag, pos, _ = _der_element(der, start)        # TBSCertificate
    if tag != 0x30:
        raise ValueError("not a certificate")
    tag, _, end = _der_element(der, pos)
    if tag == 0xA0:                               # [0] version
        pos = end
    for _ in range(5):                            # serial, signature, issuer, validity, subject
        _, _, pos = _der_element(der, pos)
    tag, _, end = _der_element(der, pos)
    if tag != 0x30:
        raise ValueError("no SubjectPublicKeyInfo")
    return bytes(der[pos:end])


def key_hash(spki_der):
    """Base64 of the SHA-256 of the SubjectPublicKeyInfo: the pin the host keeps."""
    return base64.b64encode(hashlib.sha256(spki_der).digest()).decode("ascii")


def short_code(spki_der):
    """The first 8 digest bytes as XXXX-XXXX-XXXX-XXXX, as the host prints it."""
    digits = hashlib.sha256(spki_der).digest()[:8].hex().upper()
    return "-".join(digits[i:i + 4] for i in range(0, 16, 4))


def fingerprint_of_cert_file(cert_path):
    with open(cert_path, "r", encoding="ascii") as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    spki = spki_from_cert_der(der)
    return key_hash(spki), short_code(spki)


# --- key and certificate ------------------------------------------------------

def _openssl(openssl, args):
    exe = shutil.which(openssl) or (openssl if os.path.isfile(openssl) else None)
    if not exe:
        raise StateError("the openssl command is needed to make the TLS key; install it "
                         "(e.g. apt-get install openssl) or run with --no-tls")
    proc = subprocess.run([exe] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise StateError("openssl %s failed: %s" % (args[0], proc.stderr.decode(errors="replace").strip()))


class Identity:
    """Key, certificate and fingerprints of one state folder."""

    def __init__(self, state_dir, key_path, cert_path, key_hash, short_code, created):
        self.state_dir = state_dir
        self.key_path = key_path
        self.cert_path = cert_path
        self.key_hash = key_hash
        self.short_code = short_code
        self.created = created   # what was made this time: [] or ["key", "cert"]


def ensure_identity(state_dir, *, key_type="rsa", new_key=False, renew_cert=False,
                    openssl="openssl"):
    """Load the key and certificate, making whatever is missing.

    new_key: throw the old key away (as a reinstalled app would);
    renew_cert: issue a new certificate for the existing key."""
    os.makedirs(state_dir, exist_ok=True)
    key_path = os.path.join(state_dir, KEY_FILE)
    cert_path = os.path.join(state_dir, CERT_FILE)
    created = []
    if new_key:
        for p in (key_path, cert_path):
            if os.path.exists(p):
                os.unlink(p)
    if not os.path.exists(key_path):
        if key_type == "rsa":
            algo = ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]
        elif key_type == "ec":
            algo = ["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"]
        else:
            raise StateError("unknown key type %r (rsa or ec)" % key_type)
        tmp = key_path + ".new"
        _openssl(openssl, ["genpkey"] + algo + ["-out", tmp])
        os.chmod(tmp, 0o600)
        os.replace(tmp, key_path)
        created.append("key")
        renew_cert = True
    if renew_cert or not os.path.exists(cert_path):
        tmp = cert_path + ".new"
        _openssl(openssl, ["req", "-x509", "-new", "-key", key_path, "-out", tmp, "-days",
                           str(CERT_DAYS), "-subj", CERT_SUBJECT, "-sha256",
                           "-set_serial", str(secrets.randbits(63))])
        os.replace(tmp, cert_path)
        created.append("cert")
    try:
        hash_text, code = fingerprint_of_cert_file(cert_path)
    except (OSError, ValueError) as e:
        raise StateError("cannot read the certificate %s: %s" % (cert_path, e)) from None
    return Identity(state_dir, key_path, cert_path, hash_text, code, created)


# --- device id and pairing memory ----------------------------------------------

def load_device_id(state_dir):
    """The stored device id, made on first use."""
    os.makedirs(state_dir, exist_ok=True)
    path = os.path.join(state_dir, DEVICE_FILE)
    data = _read_json(path)
    if isinstance(data, dict) and isinstance(data.get("deviceId"), str) and data["deviceId"]:
        return data["deviceId"]
    device_id = "sim-" + secrets.token_hex(8)
    _write_atomic(path, json.dumps({"deviceId": device_id}).encode("utf-8"))
    return device_id


def new_token():
    return secrets.token_hex(16)


class PairingMemory:
    """Hosts this receiver's user has allowed, keyed by the host's id."""

    def __init__(self, state_dir):
        self.path = os.path.join(state_dir, PAIRINGS_FILE)
        data = _read_json(self.path)
        hosts = data.get("hosts") if isinstance(data, dict) else None
        self.hosts = {k: v for k, v in (hosts or {}).items()
                      if isinstance(v, dict) and isinstance(v.get("token"), str)}

    def token_for(self, host_id):
        entry = self.hosts.get(host_id)
        return entry["token"] if entry else ""

    def knows(self, host_id, token):
        """Whether token is the one issued to host_id (never an empty token)."""
        return bool(token) and self.token_for(host_id) == token

    def remember(self, host_id, token, host_name=""):
        self.hosts[host_id] = {
            "token": token, "hostName": host_name,
            "pairedAt": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
        self.save()

    def forget_all(self):
        count = len(self.hosts)
        self.hosts = {}
        self.save()
        return count

    def save(self):
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        _write_atomic(self.path, json.dumps({"hosts": self.hosts}, indent=2).encode("utf-8") + b"\n",
                      0o600)
