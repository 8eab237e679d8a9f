#!/usr/bin/env python3
"""Checks the seals and chains of trawlex data log files from the format of trawlex-verify(1) alone.

check_seal.py --seal-key KEY [--seal-key KEY]... PATH...
    KEY is a verification key file or a folder of them, PATH a file or a folder (its ".data"
    files, in name order). Prints what "trawlex-verify --seal-key KEY... PATH..." prints for the
    seals: one line per file ("OK", "OK (note)", "INVALID (reason)"), the chain findings and
    the summary line, with its exit status (0 valid, 1 invalid or findings, 2 unreadable).
    The "@SIGNATURE:" lines are not checked (their keys are not public): only that the seal
    line follows one; a file that ends otherwise is "INVALID" with no reason, as a file whose
    last line is no well-formed seal line is no valid data log.

check_seal.py --vectors DIR
    runs each case of DIR/expected.txt and compares the output and exit status.

check_seal.py --self-test TRAWLEX TRAWLEX_SEAL
    makes a store and a sealed file in a temporary folder, checks it, and checks that every
    copy with one bit changed fails, as do the copy whose signature has S + L and the copy
    without the final line feed.
"""
import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import tempfile
import time

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

P = 2**255 - 19  # the field prime
L = 2**252 + 27742317777372353535851937790883648493  # the group order
FORMATS = {"trawlex-seal-1": 1, "trawlex-seal-2": 2}
FORMAT1_NOTE = "sealed in format 1, whose keys are not bound to a host"
BLANKS = " \r\n\t\v\b\f"  # what a meta line loses at both ends
SEAL_PREFIX = "@SEAL: "
LONGEST_SEAL_LINE = 512  # the seal line is looked for in this many bytes at the end


def canonical(key, signature):
    """Whether a public key and a signature have their one encoding: S below L, and the
    points (key, R) with y below P and no sign bit where x is 0 (y is 1 or P - 1)."""
    def point(raw):
        y = int.from_bytes(raw, "little") & (2**255 - 1)
        return y < P and not (raw[31] & 0x80 and y in (1, P - 1))
    return (len(key) == 32 and len(signature) == 64 and point(key) and point(signature[:32])
            and int.from_bytes(signature[32:], "little") < L)


def verify(key, signature, message):
    try:
        Ed25519PublicKey.from_public_bytes(key).verify(signature, message)
    except (InvalidSignature, ValueError):
        return False
    return True


def base64_of(text, size):
    """The bytes of canonical base64 (RFC 4648, padded, zero bits under the padding), or None."""
    if not re.fullmatch(r"[A-Za-z0-9+/]*={0,2}", text) or len(text) % 4:
        return None
    raw = base64.b64decode(text)
    return raw if len(raw) == size and base64.b64encode(raw).decode("ascii") == text else None


def decimal(text, above_zero=False):
    """A canonical unsigned decimal: 1 to 18 digits, no sign, no leading zero; or None."""
    if not re.fullmatch(r"0|[1-9][0-9]{0,17}", text):
        return None
    value = int(text)
    return None if above_zero and value == 0 else value


def is_key_id(text):
    return re.fullmatch(r"[0-9a-f]{16}", text) is not None


def is_host(text):
    return 1 <= len(text) <= 255 and all("!" <= c <= "~" for c in text)


def parse_key(text):
    """(format, key id, host or "", raw key) of a verification key line, or None."""
    parts = text.rstrip("\r\n").split(" ")
    fmt = FORMATS.get(parts[0])
    if fmt is None or len(parts) != (3 if fmt == 1 else 4) or not is_key_id(parts[1]):
        return None
    raw = base64_of(parts[-1], 32)
    if raw is None or hashlib.sha256(raw).hexdigest()[:16] != parts[1]:
        return None
    host = parts[2] if fmt != 1 else ""
    if fmt != 1 and not is_host(host):
        return None
    return fmt, parts[1], host, raw


def parse_seal(line):
    """The fields of a well-formed seal line (without its line feed), or None."""
    if not line.startswith(SEAL_PREFIX):
        return None
    parts = line[len(SEAL_PREFIX):].split(" ")
    if len(parts) != 8 or parts[0] not in FORMATS or not is_key_id(parts[1]):
        return None
    epoch, start, end = (decimal(p) for p in parts[2:5])
    epoch_key = base64_of(parts[5], 32)
    certificate, signature = base64_of(parts[6], 64), base64_of(parts[7], 64)
    if None in (epoch, start, end, epoch_key, certificate, signature) or start >= end:
        return None
    return {"format": FORMATS[parts[0]], "tag": parts[0], "key_id": parts[1], "epoch": epoch, "start": start,
            "end": end, "epoch_key_text": parts[5], "epoch_key": epoch_key, "certificate": certificate,
            "signature": signature}


def seal_at_end(data):
    """(seal fields, offset of the seal line, ends in a line feed), or None: the last line,
    after a line feed, within the last 512 bytes, one line feed after it or none."""
    if len(data) < 2:
        return None
    tail = data[-LONGEST_SEAL_LINE:]
    line_feed = tail.endswith(b"\n")
    if line_feed:
        tail = tail[:-1]
    at = tail.rfind(b"\n")
    if at < 0:
        return None
    seal = parse_seal(tail[at + 1:].decode("latin-1"))
    return None if seal is None else (seal, len(data) - len(tail) - (1 if line_feed else 0) + at + 1, line_feed)


def first_header(data):
    """The meta keys of the first header: the lines after the first line "@META:" up to
    "@DATA:" (or the end of the segment), trimmed; key and value split at the first "="."""
    meta = {}
    lines = data.decode("latin-1").split("\n")
    if "@META:" not in lines:
        return meta
    for line in lines[lines.index("@META:") + 1:]:
        if line == "@DATA:" or line.startswith("@SIGNATURE: "):
            break
        text = line.strip(BLANKS)
        if text:
            key, equals, value = text.partition("=")
            meta[key.rstrip(BLANKS) if equals else key] = value.lstrip(BLANKS)
    return meta


def source_of(meta):
    application, module, datatype = (meta.get("source." + k, "") for k in ("application", "module", "datatype"))
    name = application
    if module != name:
        name += module if not name else "." + module
    if datatype != module:
        name += datatype if not name else "." + datatype
    return name


class Checker:
    def __init__(self):
        self.keys = {}  # key id: (format, key id, host, raw key, file)

    def add_keys(self, path):
        """None, or the problem that ends the run."""
        folder = os.path.isdir(path)
        files = [os.path.join(path, n) for n in sorted(os.listdir(path))] if folder else [path]
        added = 0
        for name in files:
            if os.path.isdir(name):
                continue
            key = parse_key(open(name, "rb").read().decode("latin-1"))
            if key is None:
                if folder:
                    continue
                return f'"{name}" is not a verification key'
            known = self.keys.get(key[1])
            if known is not None and known[:4] != key:
                return f'two different verification keys with the key id {key[1]}: "{known[4]}" and "{name}"'
            self.keys[key[1]] = key + (name,)
            added += 1
        return None if added else f'no verification key in "{path}"'

    def check(self, data):
        """(status, text, result): status "valid" or "invalid"; text the reason or note."""
        meta = first_header(data)
        found = seal_at_end(data)
        if found is None:
            last = data[:-1] if data.endswith(b"\n") else data
            signed = last[last.rfind(b"\n") + 1:].startswith(b"@SIGNATURE: ")
            return "invalid", "no seal" if signed else "", None
        seal, offset, line_feed = found
        before = data[:offset - 1]
        if not before[before.rfind(b"\n") + 1:].startswith(b"@SIGNATURE: "):
            return "invalid", "", None
        if not line_feed:
            return "invalid", "the seal line does not end in a line feed", None
        kid, epoch = seal["key_id"], seal["epoch"]
        key = self.keys.get(kid)
        if key is None:
            return "invalid", f"sealed under the unknown key {kid}", None
        if meta.get("seal.key-id", "") != kid:
            return "invalid", f"the header's seal.key-id is not the seal's key {kid}", None
        fmt, _, key_host, master, _ = key
        host = meta.get("source.host", "")
        if seal["format"] != fmt:
            return "invalid", f"sealed in format {seal['format']}, but the key {kid} is of format {fmt}", None
        if fmt != 1 and key_host != host:
            return "invalid", f'sealed by the key of the host "{key_host}", not of the file\'s source.host "{host}"', None
        sequence = decimal(meta.get("seal.sequence", ""), above_zero=True)
        if sequence is None:
            return "invalid", "no valid seal.sequence in the header", None
        previous = meta.get("seal.previous", "")
        starts = sequence == 1
        lower_hex = len(previous) == 64 and all(c in "0123456789abcdef" for c in previous)
        if starts != (previous == "none") or (not starts and not lower_hex):
            return "invalid", "no valid seal.previous in the header", None
        if not canonical(master, seal["certificate"]):
            return "invalid", f"the certificate of epoch {epoch} is not a canonical signature", None
        bound = f" {key_host}" if fmt != 1 else ""
        message = f"{seal['tag']} epoch {kid}{bound} {epoch} {seal['start']} {seal['end']} {seal['epoch_key_text']}"
        if not verify(master, seal["certificate"], message.encode("ascii")):
            return "invalid", f"the epoch key of epoch {epoch} has no valid certificate", None
        time_text = meta.get("source.time", "")
        when = decimal(time_text, above_zero=True)
        if when is None:
            return "invalid", "no valid source.time in the header", None
        if not seal["start"] <= when < seal["end"]:
            return "invalid", (f"the collection's time {time_text} lies outside the seal's epoch {epoch} "
                               f"({seal['start']} to {seal['end']})"), None
        if not canonical(seal["epoch_key"], seal["signature"]):
            return "invalid", "the seal's signature or epoch key is not in its canonical encoding", None
        digest = hashlib.sha512(data[:offset]).digest()
        if not verify(seal["epoch_key"], seal["signature"], seal["tag"].encode("ascii") + b" file\n" + digest):
            return "invalid", "the seal does not sign this file's content", None
        result = {"chain": (host, source_of(meta), kid), "sequence": sequence, "previous": previous,
                  "hash": hashlib.sha256(data).hexdigest()}
        return "valid", FORMAT1_NOTE if fmt == 1 else "", result


def chain_findings(links):
    """The findings over the valid files: {(host, source, key id): [(sequence, path, result)]}."""
    found = []
    for chain in sorted(links):
        where = f"host {chain[0]}, source {chain[1]}, key {chain[2]}: "
        ordered = sorted(links[chain], key=lambda link: (link[0], link[1]))
        for (_, before_path, before), (sequence, path, link) in zip(ordered, ordered[1:]):
            if sequence == before["sequence"]:
                if link["hash"] != before["hash"]:
                    found.append(f"{where}two files with sequence {sequence}: {before_path} and {path}")
            elif sequence > before["sequence"] + 1:
                found.append(f"{where}{sequence - before['sequence'] - 1} missing after sequence {before['sequence']}")
            elif link["previous"] != before["hash"]:
                found.append(f"{where}{path} (sequence {sequence}) does not follow {before_path}: seal.previous differs")
    return found


def escaped(text):
    return "".join({"\t": "\\t", "\n": "\\n", "\r": "\\r"}.get(c) or (f"\\x{ord(c):02x}" if ord(c) < 0x20 or c == "\x7f"
                   else c) for c in text)


def expand(path):
    if not os.path.isdir(path):
        return [path]
    found = []
    for folder, folders, files in os.walk(path):
        folders[:] = [f for f in folders if not os.path.islink(os.path.join(folder, f))]
        found += [os.path.join(folder, f) for f in files if f.endswith(".data")
                  and not os.path.islink(os.path.join(folder, f)) and os.path.isfile(os.path.join(folder, f))]
    return sorted(found)


def run(arguments, out):
    """Prints the check of "--seal-key KEY... PATH..." to out; the exit status."""
    checker, paths = Checker(), []
    while arguments:
        if arguments[0] == "--seal-key" and len(arguments) > 1:
            problem = checker.add_keys(arguments[1])
            if problem:
                print("check_seal.py:", problem, file=sys.stderr)
                return 2
            arguments = arguments[2:]
        else:
            paths.append(arguments[0])
            arguments = arguments[1:]
    if not checker.keys or not paths:
        print(__doc__, file=sys.stderr)
        return 2
    counts = {"valid": 0, "invalid": 0, "unreadable": 0}
    links = {}
    for path in (p for argument in paths for p in expand(argument)):
        try:
            status, text, result = checker.check(open(path, "rb").read())
        except OSError as error:
            status, text, result = "unreadable", error.strerror, None
        counts[status] += 1
        if result:
            links.setdefault(result.pop("chain"), []).append((result["sequence"], path, result))
        verdict = {"valid": "OK", "invalid": "INVALID", "unreadable": "UNREADABLE"}[status]
        print(f"{escaped(path)}: {verdict}" + (f" ({escaped(text)})" if text else ""), file=out)
    findings = chain_findings(links)
    for finding in findings:
        print(escaped(finding), file=out)
    if sum(counts.values()) > 1:
        summary = f"{counts['valid']} valid, {counts['invalid']} invalid, {counts['unreadable']} unreadable"
        if findings:
            summary += f", {len(findings)} finding{'' if len(findings) == 1 else 's'}"
        print(summary, file=out)
    return 2 if counts["unreadable"] else 1 if counts["invalid"] or findings else 0


def check_vectors(folder):
    """Each case of expected.txt, run in folder: 0 when every output and status matches."""
    cases = []
    for line in open(os.path.join(folder, "expected.txt"), encoding="utf-8").read().splitlines():
        if line.startswith("$ "):
            cases.append((line[2:].split(" "), []))
        elif cases and not line.startswith("#"):
            cases[-1][1].append(line)
    failures = 0
    here = os.getcwd()
    os.chdir(folder)
    try:
        for arguments, expected in cases:
            out = io.StringIO()
            status = run(list(arguments), out)
            got = out.getvalue().splitlines() + [f"exit {status}"]
            if got != expected:
                failures += 1
                print("FAILED:", " ".join(arguments))
                print("  expected:", *expected, sep="\n    ")
                print("  got:", *got, sep="\n    ")
    finally:
        os.chdir(here)
    print(f"{len(cases)} cases, {failures} failed")
    return 1 if failures or not cases else 0


def self_test(trawlex, trawlex_seal):
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, TRAWLEX_SEAL_DIR=os.path.join(folder, "store"))
        until = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 7200))
        subprocess.run([trawlex_seal, "init", "--until", until], env=env, check=True, stdout=subprocess.DEVNULL)
        out = os.path.join(folder, "out")
        subprocess.run([trawlex, "--target", out, "--module", "os", "--datatype", "df", "--interval", "PT1M",
                        "--timeout", "PT30S", "--exe", "/bin/echo", "--args", "disk 42%"], env=env, check=True)
        checker = Checker()
        problem = checker.add_keys(os.path.join(folder, "store", "verification.key"))
        (name,) = os.listdir(out)
        data = open(os.path.join(out, name), "rb").read()
        failures = [] if problem is None else [problem]
        if not failures and checker.check(data)[0] != "valid":
            failures.append("the sealed file: " + checker.check(data)[1])
        # The same signature with S + L, and the file without its final line feed.
        line_at = data.rfind(b"@SEAL: ")
        fields = data[line_at:-1].split(b" ")
        raw = base64.b64decode(fields[-1])
        fields[-1] = base64.b64encode(raw[:32] + (int.from_bytes(raw[32:], "little") + L).to_bytes(32, "little"))
        for what, copy in (("S + L", data[:line_at] + b" ".join(fields) + b"\n"), ("no final line feed", data[:-1])):
            if checker.check(copy)[0] == "valid":
                failures.append(f"the copy with {what} passed")
        for position in range(len(data)):  # every byte, one bit changed
            changed = bytearray(data)
            changed[position] ^= 1
            if checker.check(bytes(changed))[0] == "valid":
                failures.append(f"a change at byte {position} passed")
        for failure in failures:
            print("FAILED:", failure)
        print("seal line:", len(data) - data.rfind(b"@SEAL: "), "bytes")
        return 1 if failures else 0


def main(arguments):
    if len(arguments) == 3 and arguments[0] == "--self-test":
        return self_test(arguments[1], arguments[2])
    if len(arguments) == 2 and arguments[0] == "--vectors":
        return check_vectors(arguments[1])
    return run(arguments, sys.stdout)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
