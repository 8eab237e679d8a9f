#!/usr/bin/env python3
"""Checks the seal of trawlex data log files from the format of trawlex-verify(1) alone.

check_seal.py VERIFICATION-KEY FILE...   exit 0 when every file's seal is valid

With --self-test TRAWLEX TRAWLEX_SEAL it makes a store and a sealed file in a temporary
folder, checks it, and checks that every copy with one bit changed fails, as do the copy
whose signature has S + L and the copy without the final line feed.
"""
import base64
import hashlib
import os
import subprocess
import sys
import tempfile
import time

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

FORMAT = "trawlex-seal-2"
P = 2**255 - 19  # the field prime
L = 2**252 + 27742317777372353535851937790883648493  # the group order


def canonical(key, signature):
    """Whether a public key and a signature have their one encoding: S below L, and the
    points (key, R) with y below P and no sign bit where x is 0 (y is 1 or P - 1)."""
    def point(raw):
        y = int.from_bytes(raw, "little") & (2**255 - 1)
        return y < P and not (raw[31] & 0x80 and y in (1, P - 1))
    return (len(key) == 32 and len(signature) == 64 and point(key) and point(signature[:32])
            and int.from_bytes(signature[32:], "little") < L)


def verify(key, signature, message):
    """Whether the signature of message under the raw public key holds, in canonical form."""
    if not canonical(key, signature):
        return False
    try:
        Ed25519PublicKey.from_public_bytes(key).verify(signature, message)
    except InvalidSignature:
        return False
    return True


def read_key(path):
    tag, key_id, host, key = open(path, encoding="ascii").read().split()
    raw = base64.b64decode(key, validate=True)
    if tag != FORMAT or hashlib.sha256(raw).hexdigest()[:16] != key_id:
        raise ValueError("not a verification key")
    return key_id, host, raw


def check(data, key_id, host, master):
    """None when the seal of the file's bytes is valid, else the reason."""
    try:
        return check_fields(data, key_id, host, master)
    except (ValueError, UnicodeDecodeError):  # bad base64, numbers or text
        return "malformed seal line"


def check_fields(data, key_id, host, master):
    body = data[:-1] if data.endswith(b"\n") else data
    cut = body.rfind(b"\n@SEAL: ")
    if cut < 0:
        return "no seal"
    if body == data:
        return "no line feed after the seal line"
    sealed, line = data[:cut + 1], body[cut + 1:].decode("ascii")
    fields = line[len("@SEAL: "):].split(" ")
    if len(fields) != 8 or fields[0] != FORMAT:
        return "malformed seal line"
    _, kid, epoch, start, end, epoch_key, certificate, signature = fields
    if kid != key_id:
        return "unknown key"
    header = {}
    for raw in sealed.split(b"\n@DATA:")[0].split(b"\n")[1:]:
        key, _, value = raw.decode("utf-8", "replace").partition("=")
        header[key.strip()] = value.strip()
    if header.get("seal.key-id") != kid:
        return "header key id differs"
    if header.get("source.host") != host:
        return "another host's key"
    message = f"{FORMAT} epoch {kid} {host} {epoch} {start} {end} {epoch_key}".encode("ascii")
    if not verify(master, base64.b64decode(certificate, validate=True), message):
        return "no valid certificate"
    if not int(start) <= int(header.get("source.time", "-1")) < int(end):
        return "time outside the epoch"
    digest = hashlib.sha512(sealed).digest()
    if not verify(base64.b64decode(epoch_key, validate=True), base64.b64decode(signature, validate=True),
                  FORMAT.encode("ascii") + b" file\n" + digest):
        return "signature does not match"
    return None


def self_test(trawlex, trawlex_seal):
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, TRAWLEX_SEAL_DIR=os.path.join(folder, "store"))
        until = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 7200))
        subprocess.run([trawlex_seal, "init", "--until", until], env=env, check=True, stdout=subprocess.DEVNULL)
        out = os.path.join(folder, "out")
        subprocess.run([trawlex, "--target", out, "--module", "os", "--datatype", "df", "--interval", "PT1M",
                        "--timeout", "PT30S", "--exe", "/bin/echo", "--args", "disk 42%"], env=env, check=True)
        key_id, host, master = read_key(os.path.join(folder, "store", "verification.key"))
        (name,) = os.listdir(out)
        data = open(os.path.join(out, name), "rb").read()
        failures = []
        if check(data, key_id, host, master) is not None:
            failures.append("the sealed file: " + check(data, key_id, host, master))
        # The same signature with S + L, and the file without its final line feed.
        line_at = data.rfind(b"@SEAL: ")
        fields = data[line_at:-1].split(b" ")
        raw = base64.b64decode(fields[-1])
        fields[-1] = base64.b64encode(raw[:32] + (int.from_bytes(raw[32:], "little") + L).to_bytes(32, "little"))
        for what, copy in (("S + L", data[:line_at] + b" ".join(fields) + b"\n"), ("no final line feed", data[:-1])):
            if check(copy, key_id, host, master) is None:
                failures.append(f"the copy with {what} passed")
        for position in range(len(data)):  # every byte, one bit changed
            changed = bytearray(data)
            changed[position] ^= 1
            if check(bytes(changed), key_id, host, master) is None:
                failures.append(f"a change at byte {position} passed")
        for failure in failures:
            print("FAILED:", failure)
        print("seal line:", len(data) - data.rfind(b"@SEAL: "), "bytes")
        return 1 if failures else 0


def main(arguments):
    if len(arguments) == 3 and arguments[0] == "--self-test":
        return self_test(arguments[1], arguments[2])
    if len(arguments) < 2:
        print(__doc__)
        return 2
    key_id, host, master = read_key(arguments[0])
    result = 0
    for path in arguments[1:]:
        reason = check(open(path, "rb").read(), key_id, host, master)
        print(f"{path}: {'OK' if reason is None else 'INVALID (' + reason + ')'}")
        result = result if reason is None else 1
    return result


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
