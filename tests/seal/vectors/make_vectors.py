#!/usr/bin/env python3
"""Writes the seal test vectors of this folder, the same bytes at every run.

make_vectors.py [DIR]            write the vectors into DIR (default: beside this script)
make_vectors.py --compare DIR    exit 0 when DIR holds exactly what a run would write

Fixed seeds and times, no randomness: Ed25519 signatures are deterministic. The data log
signature line ("@SIGNATURE: C2(S2):...") is made as trawlex makes it; its keys are read from
libraries/corelib/source/Crypto.cpp, so that they stay in one place. README tells what each
file is for; expected.txt gives what trawlex-verify prints for each run.
"""
import base64
import hashlib
import os
import re
import struct
import sys
import tempfile

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HERE = os.path.dirname(os.path.abspath(__file__))
CRYPTO_SOURCE = os.path.join(HERE, "..", "..", "..", "libraries", "corelib", "source", "Crypto.cpp")

L = 2**252 + 27742317777372353535851937790883648493

MASTER_SEED = hashlib.sha256(b"trawlex seal vectors: master").digest()
EPOCH_SEED = hashlib.sha256(b"trawlex seal vectors: epoch").digest()
FORMAT1_MASTER_SEED = hashlib.sha256(b"trawlex seal vectors: format 1 master").digest()
FORMAT1_EPOCH_SEED = hashlib.sha256(b"trawlex seal vectors: format 1 epoch").digest()
HOST = "web1"
SPAN = 3600000
EPOCH = 1112756  # 2026-12-09T12:00:00Z to 13:00:00Z
START, END = EPOCH * SPAN, (EPOCH + 1) * SPAN
MINUTE = 60000


# --- the data log signature line, as trawlex writes it -------------------------------------

def crypto_constants():
    """The AES-256 key and the private MD5 start state, from the pieces in Crypto.cpp."""
    areas = {"aesKey": bytearray(32), "words": bytearray(16)}
    text = open(CRYPTO_SOURCE, encoding="utf-8").read()
    for name, offset, piece in re.findall(r"put\((aesKey|words), (\d+), \{([^}]*)\}\)", text):
        values = bytes(int(v, 16) for v in piece.split(","))
        areas[name][int(offset):int(offset) + len(values)] = values
    return bytes(areas["aesKey"]), struct.unpack("<4I", bytes(areas["words"]))


def md5_from(state, data):
    """MD5 (RFC 1321) of data from the given start state."""
    shifts = [7, 12, 17, 22] * 4 + [5, 9, 14, 20] * 4 + [4, 11, 16, 23] * 4 + [6, 10, 15, 21] * 4
    constants = [int(abs(__import__("math").sin(i + 1)) * 2**32) & 0xFFFFFFFF for i in range(64)]
    message = data + b"\x80" + b"\x00" * ((55 - len(data)) % 64) + struct.pack("<Q", len(data) * 8)
    a0, b0, c0, d0 = state
    for block in range(0, len(message), 64):
        words = struct.unpack("<16I", message[block:block + 64])
        a, b, c, d = a0, b0, c0, d0
        for i in range(64):
            if i < 16:
                f, g = (b & c) | (~b & d), i
            elif i < 32:
                f, g = (d & b) | (~d & c), (5 * i + 1) % 16
            elif i < 48:
                f, g = b ^ c ^ d, (3 * i + 5) % 16
            else:
                f, g = c ^ (b | ~d), (7 * i) % 16
            f = (f + a + constants[i] + words[g]) & 0xFFFFFFFF
            a, d, c = d, c, b
            b = (b + ((f << shifts[i]) | (f >> (32 - shifts[i])))) & 0xFFFFFFFF
        a0, b0, c0, d0 = [(x + y) & 0xFFFFFFFF for x, y in zip((a0, b0, c0, d0), (a, b, c, d))]
    return struct.pack("<4I", a0, b0, c0, d0)


def signature_line(segment):
    key, state = crypto_constants()
    escaped = md5_from(state, segment).replace(b"\x00", b"\\0")
    framed = str(len(escaped)).encode() + b"\n" + escaped
    framed += b"\x00" * (-len(framed) % 16)
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    enciphered = encryptor.update(framed) + encryptor.finalize()
    return b"@SIGNATURE: C2(S2):" + enciphered.hex().upper().encode() + b"\n"


def raw_log(lines, data):
    """A signed data log of one segment with these header lines."""
    segment = b"@META:\n" + b"".join(line.encode() + b"\n" for line in lines) + b"\n@DATA:\n" + data + b"\n\n\n"
    return segment + signature_line(segment)


def data_log(meta, data):
    """A signed data log of one segment: the header's meta keys in the given order."""
    return raw_log([f"{k}={v}" for k, v in meta], data)


# --- seals ----------------------------------------------------------------------------------

def b64(raw):
    return base64.b64encode(raw).decode("ascii")


def public(seed):
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def sign(seed, message):
    return Ed25519PrivateKey.from_private_bytes(seed).sign(message)


def key_id(master_public):
    return hashlib.sha256(master_public).hexdigest()[:16]


def plus_l(signature):
    """The same signature with S + L: a second encoding that a lax verifier accepts."""
    return signature[:32] + (int.from_bytes(signature[32:], "little") + L).to_bytes(32, "little")


class Store:
    def __init__(self, fmt, master_seed, epoch_seed, host):
        self.fmt, self.epoch_seed, self.host = fmt, epoch_seed, host
        self.master_seed = master_seed
        self.kid = key_id(public(master_seed))
        self.epoch_key = public(epoch_seed)

    def tag(self):
        return f"trawlex-seal-{self.fmt}"

    def key_line(self):
        host = f" {self.host}" if self.fmt >= 2 else ""
        return f"{self.tag()} {self.kid}{host} {b64(public(self.master_seed))}\n"

    def certificate_message(self, host=None):
        host = f" {host or self.host}" if self.fmt >= 2 else ""
        return f"{self.tag()} epoch {self.kid}{host} {EPOCH} {START} {END} {b64(self.epoch_key)}"

    def certificate(self, host=None):
        return sign(self.master_seed, self.certificate_message(host).encode("ascii"))

    def header(self, time, sequence, previous, host=None, kid=None):
        return [("log.type", "raw"), ("log.version", "2"), ("seal.key-id", kid or self.kid),
                ("seal.previous", previous), ("seal.sequence", sequence), ("source.application", "Trawlex"),
                ("source.datatype", "df"), ("source.host", host or self.host), ("source.module", "os"),
                ("source.time", time), ("source.timeformat", "1900epoch")]

    def seal(self, body, certificate=None, signature=None, fields=None):
        """body with its seal line; the parts given replace the right ones."""
        message = f"{self.tag()} file\n".encode("ascii") + hashlib.sha512(body).digest()
        parts = fields or [self.tag(), self.kid, str(EPOCH), str(START), str(END), b64(self.epoch_key),
                           b64(certificate or self.certificate()),
                           b64(signature or sign(self.epoch_seed, message))]
        return body + b"@SEAL: " + " ".join(parts).encode("ascii") + b"\n"


def vectors():
    """{relative path: bytes}"""
    web1 = Store(2, MASTER_SEED, EPOCH_SEED, HOST)
    old = Store(1, FORMAT1_MASTER_SEED, FORMAT1_EPOCH_SEED, None)
    out = {"web1.key": web1.key_line().encode(), "format1.key": old.key_line().encode()}

    def body(store, minute, sequence, previous, data, time=None, **header):
        time = time or str(START + minute * MINUTE)
        return data_log(store.header(time, str(sequence), previous, **header), data)

    def lines_of(meta):
        return [f"{k}={v}" for k, v in meta]

    # A chain of three.
    previous = "none"
    chain = []
    for n in (1, 2, 3):
        sealed = web1.seal(body(web1, n, n, previous, f"disk {40 + n}%".encode()))
        chain.append(sealed)
        out[f"chain/web1-{n}.data"] = sealed
        previous = hashlib.sha256(sealed).hexdigest()
    first = chain[0]
    out["seal-line.txt"] = first[first.rfind(b"@SEAL: "):]
    out["certificate.txt"] = (web1.certificate_message() + "\n" + b64(web1.certificate()) + "\n").encode()

    out["format1/old-1.data"] = old.seal(body(old, 5, 1, "none", b"disk 7%"))

    # Each of these fails alone.
    ok_body = body(web1, 10, 1, "none", b"disk 10%")
    good = web1.seal(ok_body)
    line = good[len(ok_body):-1].decode().split(" ")[1:]  # the fields after "@SEAL:"
    message = b"trawlex-seal-2 file\n" + hashlib.sha512(ok_body).digest()
    bad = {
        "signature-s-plus-l": web1.seal(ok_body, signature=plus_l(sign(EPOCH_SEED, message))),
        "certificate-s-plus-l": web1.seal(ok_body, certificate=plus_l(web1.certificate())),
        "no-final-line-feed": good[:-1],
        "other-host": web1.seal(body(web1, 10, 1, "none", b"disk 10%", host="web2")),
        "certificate-of-other-host": web1.seal(ok_body, certificate=web1.certificate("web2")),
        "sequence-leading-zero": web1.seal(body(web1, 10, "01", "none", b"disk 10%")),
        "sequence-zero": web1.seal(body(web1, 10, 0, "none", b"disk 10%")),
        "previous-short": web1.seal(body(web1, 10, 2, "abc", b"disk 10%")),
        "time-before-epoch": web1.seal(body(web1, -1, 1, "none", b"disk 10%")),
        "time-signed": web1.seal(body(web1, 10, 1, "none", b"disk 10%", time=f"+{START + 10 * MINUTE}")),
        "header-key-id": web1.seal(body(web1, 10, 1, "none", b"disk 10%", kid="0123456789abcdef")),
        "seal-of-another-file": ok_body + chain[1][chain[1].rfind(b"@SEAL: "):],
        "unknown-key": old.seal(body(old, 10, 1, "none", b"disk 10%")),
        "format-word": web1.seal(ok_body, fields=["trawlex-seal-1"] + line[1:]),
        "last-host-counts": web1.seal(raw_log(lines_of(web1.header(str(START), "1", "none"))
                                              + ["source.host=web2"], b"disk 10%")),
        "no-seal": ok_body,
        # Malformed seal lines: the file is then no valid data log at all.
        "epoch-leading-zero": web1.seal(ok_body, fields=line[:2] + ["0" + line[2]] + line[3:]),
        "epoch-key-padding-bits": web1.seal(ok_body, fields=line[:5] + [line[5][:-2] + "p="] + line[6:]),
        "two-blanks": web1.seal(ok_body, fields=line[:3] + [""] + line[3:]),
        "carriage-return": good[:-1] + b"\r\n",
    }
    for name, data in bad.items():
        out[f"invalid/{name}.data"] = data

    # How a header is read: blanks around keys and values, the last of two lines with one
    # key, only the first segment's header. Each file is a chain of its own.
    def parsing(datatype, minute=30):
        return web1.header(str(START + minute * MINUTE), "1", "none")[:6] + [("source.datatype", datatype)] + \
            web1.header(str(START + minute * MINUTE), "1", "none")[7:]
    blanks = [f" \t{k} \v= \f{v}\b \r" for k, v in parsing("blanks")]
    out["parsing/blanks.data"] = web1.seal(raw_log(blanks, b"a"))
    out["parsing/last-host-counts.data"] = web1.seal(raw_log(["source.host=web2"] + lines_of(parsing("last")), b"b"))
    second = b"@META:\nsource.time=1\nsource.host=web2\n\n@DATA:\nc\n"
    out["parsing/first-header-counts.data"] = web1.seal(
        data_log(parsing("segments"), b"c") + second + signature_line(second))

    # A chain with findings: sequence 2 names its predecessor in upper case (invalid), 3 is missing,
    # two different files have sequence 4.
    f1 = web1.seal(body(web1, 20, 1, "none", b"load 1"))
    f2 = web1.seal(body(web1, 21, 2, hashlib.sha256(f1).hexdigest().upper(), b"load 2"))
    f4 = web1.seal(body(web1, 23, 4, "0" * 64, b"load 4"))
    f4b = web1.seal(body(web1, 24, 4, "0" * 64, b"load 4 again"))
    out.update({"findings/a1.data": f1, "findings/a2.data": f2, "findings/a4.data": f4, "findings/a4b.data": f4b})
    return out


def write(folder):
    for name, data in vectors().items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(data)


def compare(folder):
    differ = [name for name, data in vectors().items()
              if not os.path.isfile(os.path.join(folder, name))
              or open(os.path.join(folder, name), "rb").read() != data]
    for name in differ:
        print("differs:", name)
    return 1 if differ else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--compare":
        sys.exit(compare(sys.argv[2]))
    write(sys.argv[1] if len(sys.argv) > 1 else HERE)
