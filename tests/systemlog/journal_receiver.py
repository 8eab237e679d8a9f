#!/usr/bin/env python3
"""Receives records in the journal's native protocol on a datagram socket and writes each as
one JSON object per line: the fields of the record, by name."""
import json
import os
import socket
import struct
import sys


def parse(datagram):
    fields = {}
    rest = datagram
    while rest:
        line_end = rest.find(b"\n")
        equals = rest.find(b"=", 0, line_end if line_end >= 0 else len(rest))
        if equals >= 0:
            # NAME=value\n
            end = line_end if line_end >= 0 else len(rest)
            fields[rest[:equals].decode()] = rest[equals + 1:end].decode("utf-8", "replace")
            rest = rest[end + 1:]
        else:
            # NAME\n, a 64-bit little-endian size, the value, \n
            name = rest[:line_end].decode()
            (size,) = struct.unpack("<Q", rest[line_end + 1:line_end + 9])
            start = line_end + 9
            fields[name] = rest[start:start + size].decode("utf-8", "replace")
            rest = rest[start + size + 1:]
    return fields


def main():
    path, output, ready = sys.argv[1], sys.argv[2], sys.argv[3]
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    receiver.bind(path)
    open(ready, "w").close()
    with open(output, "a", buffering=1) as out:
        while True:
            datagram, ancillary, _, _ = receiver.recvmsg(1 << 20, socket.CMSG_SPACE(64))
            for level, kind, data in ancillary:
                # A large record comes as a memory file descriptor.
                if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                    descriptor = struct.unpack("i", data[:4])[0]
                    with os.fdopen(descriptor, "rb") as memory:
                        datagram = memory.read()
            out.write(json.dumps(parse(datagram)) + "\n")


if __name__ == "__main__":
    main()
