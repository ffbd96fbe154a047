#!/usr/bin/env python3
"""Stamps a distribution channel into a signed installer without its signing key.

    scripts/stamp-channel SIGNED OUT CHANNEL

scripts/release reserves one slot in the unauthenticated part of the installer's signature: an unauthenticated-data
attribute of osslsigncode (OID 1.3.6.1.4.1.42921.1.2.1) holding a 1024-byte UTF-8 string, in the outer (SHA-1)
signer's unsigned attributes beside the nested SHA-256 signature. This writes MARKER, the channel (1 to 9 decimal
digits) and zero bytes over the whole slot, in place: no length changes, so the signature's encoding, the certificate
table's size and the Authenticode digest stay as they were. It then recomputes the PE checksum, which covers the
whole file. The installer reads the digits after the only marker in its certificate table and records them as its
distributor identifier; anything else there leaves it with the identifier it was built with.

Standard library only, so that a download server can run it or import it: stamp(signed_bytes, channel) returns the
stamped bytes and raises StampError for a file it refuses (no slot, or more than one) and a channel that is not 1 to
9 digits. Exit codes: 0 written, 1 file refused, 2 wrong arguments.
"""

import re
import struct
import sys
from array import array

MARKER = b"installer-channel:"  # the installer's kChannelStampMarker
SLOT_SIZE = 1024
# The DER that leads into a slot: the attribute's OID, its SET of 1028 bytes and the UTF8String of SLOT_SIZE bytes.
SLOT_HEADER = bytes.fromhex("060b2b0601040182cf2901020131820404") + b"\x0c\x82" + struct.pack(">H", SLOT_SIZE)
CHANNEL = re.compile(r"[0-9]{1,9}")


class StampError(ValueError):
    pass


def headers(data):
    """(offset of the optional header, offset of its data directories) in a PE file's bytes."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise StampError("not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0" or pe + 26 > len(data):
        raise StampError("not a Windows program")
    optional = pe + 24
    directories = {0x10B: 96, 0x20B: 112}.get(struct.unpack_from("<H", data, optional)[0])
    if directories is None or optional + directories + 40 > len(data):
        raise StampError("not a Windows program")
    return optional, optional + directories


def checksum_offset(data):
    return headers(data)[0] + 64


def certificate_table(data):
    """(offset, size) of the certificate table, which must end the file."""
    offset, size = struct.unpack_from("<II", data, headers(data)[1] + 8 * 4)
    if size == 0:
        raise StampError("the file is not signed")
    if offset + size != len(data):
        raise StampError("the certificate table does not end the file")
    return offset, size


def slots(data):
    """Offsets of the slots' contents in data."""
    offset, size = certificate_table(data)
    found, at = [], data.find(SLOT_HEADER, offset)
    while at != -1:
        found.append(at + len(SLOT_HEADER))
        at = data.find(SLOT_HEADER, at + 1)
    return [start for start in found if start + SLOT_SIZE <= offset + size]


def pe_checksum(data):
    """The PE checksum of data, whatever its checksum field holds: 16-bit words summed with end-around carry, plus
    the file's length."""
    at = checksum_offset(data)
    words = array("H", data[:at] + b"\0\0\0\0" + data[at + 4:] + b"\0" * (len(data) % 2))
    if sys.byteorder != "little":
        words.byteswap()
    total = sum(words)
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def stamp(data, channel):
    """data (a signed installer with one slot) with channel stamped into its slot and its checksum updated."""
    if not CHANNEL.fullmatch(channel):
        raise StampError("the channel %r is not 1 to 9 decimal digits" % channel)
    found = slots(data)
    if len(found) != 1:
        raise StampError("the file has %d channel slots, not one" % len(found))
    stamped = bytearray(data)
    stamped[found[0]:found[0] + SLOT_SIZE] = (MARKER + channel.encode()).ljust(SLOT_SIZE, b"\0")
    struct.pack_into("<I", stamped, checksum_offset(data), pe_checksum(stamped))
    return bytes(stamped)


def stamped_channel(data):
    """The channel the installer would read from data: the digits after the only marker in its certificate table,
    or None."""
    offset, size = certificate_table(data)
    table = data[offset:offset + size]
    match = re.search(re.escape(MARKER) + rb"([0-9]{1,9})\0", table)
    return match.group(1).decode() if match and table.count(MARKER) == 1 else None


def main(args):
    usage = __doc__.split("\n\n")[1].strip()
    if args in (["-h"], ["--help"]):
        print(usage)
        return 0
    if len(args) != 3:
        print("usage: " + usage, file=sys.stderr)
        return 2
    signed, out, channel = args
    if not CHANNEL.fullmatch(channel):
        print("stamp-channel: the channel %r is not 1 to 9 decimal digits" % channel, file=sys.stderr)
        return 2
    try:
        with open(signed, "rb") as source:
            stamped = stamp(source.read(), channel)
    except (OSError, StampError, struct.error) as error:
        print("stamp-channel: %s: %s" % (signed, error), file=sys.stderr)
        return 1
    with open(out, "wb") as target:
        target.write(stamped)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
