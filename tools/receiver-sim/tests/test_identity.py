"""Key fingerprint and the state folder."""

import re
import subprocess

import pytest

from veyra_receiver import identity


def openssl_key_hash(cert_path):
    """The documented pipeline: x509 -pubkey | pkey -pubin -outform DER | sha256 | base64."""
    out = subprocess.run(
        "openssl x509 -in '%s' -pubkey -noout | openssl pkey -pubin -outform DER "
        "| openssl dgst -sha256 -binary | base64" % cert_path,
        shell=True, check=True, stdout=subprocess.PIPE).stdout
    return out.decode().strip()


@pytest.mark.parametrize("key_type", ["rsa", "ec"])
def test_key_hash_matches_the_openssl_pipeline(tmp_path, key_type):
    ident = identity.ensure_identity(str(tmp_path), key_type=key_type)
    assert ident.created == ["key", "cert"]
    assert ident.key_hash == openssl_key_hash(ident.cert_path)
    assert len(ident.key_hash) == 44 and ident.key_hash.endswith("=")
    assert re.fullmatch(r"[0-9A-F]{4}(-[0-9A-F]{4}){3}", ident.short_code)
    digest = subprocess.run("openssl x509 -in '%s' -pubkey -noout | openssl pkey -pubin -outform DER "
                            "| openssl dgst -sha256 -hex" % ident.cert_path, shell=True, check=True,
                            stdout=subprocess.PIPE).stdout.decode().split()[-1]
    assert ident.short_code.replace("-", "") == digest[:16].upper()


def test_key_persists_across_runs_and_certificate_renewal(tmp_path):
    first = identity.ensure_identity(str(tmp_path))
    old_cert = open(first.cert_path).read()
    again = identity.ensure_identity(str(tmp_path))
    renewed = identity.ensure_identity(str(tmp_path), renew_cert=True)
    assert again.created == [] and renewed.created == ["cert"]
    assert open(renewed.cert_path).read() != old_cert
    assert first.key_hash == again.key_hash == renewed.key_hash
    fresh = identity.ensure_identity(str(tmp_path), new_key=True)
    assert fresh.key_hash != first.key_hash


def test_pairing_memory_and_device_id_survive_restarts(tmp_path):
    mem = identity.PairingMemory(str(tmp_path))
    assert mem.token_for("host-a") == "" and not mem.knows("host-a", "")
    mem.remember("host-a", "tok-a", "Desk PC")
    later = identity.PairingMemory(str(tmp_path))
    assert later.knows("host-a", "tok-a")
    assert not later.knows("host-a", "tok-b") and not later.knows("host-b", "tok-a")
    assert later.forget_all() == 1 and not identity.PairingMemory(str(tmp_path)).knows("host-a", "tok-a")
    device = identity.load_device_id(str(tmp_path))
    assert device.startswith("sim-") and identity.load_device_id(str(tmp_path)) == device


def test_certificate_parser_refuses_garbage():
    for der in (b"", b"\x30\x05\x01", b"\x04\x00", b"\x30\x03\x30\x01\x00"):
        with pytest.raises(ValueError):
            identity.spki_from_cert_der(der)
