#!/usr/bin/env python3
"""Checks built installers for what a vendor must know before publishing them.

    scripts/check-release FILE... [--ca-file PEM]

One line per check and file, "ok" or "FAIL" first:
  signature SHA-1, signature SHA-256   both signatures verify (osslsigncode), with the signer, the root their chains
                                       end in (--ca-file, or the system's CA bundle; their time stamps' too) and the
                                       time stamp, without which a signature ends with its certificate
  certificate table                    exactly the signature, rounded up to 8 bytes, and nothing after it
  channel                              the channel the installer records: stamped, or built in
  version, architecture                the version resource's and the manifest's, which must agree with the code
  size                                 within the budget of its architecture
  https://<download host><path>        for both addresses: status 200 and a whole Windows program, which passes the
                                       file's publisher pin if it has one
The download host, the paths, the pin, the built-in channel and the size budget are those the build wrote into the
file (resource 301). Exit code: 0 when every check passed, 1 when one failed, 2 for wrong arguments.
"""

import hashlib
import os
import re
import ssl
import struct
import subprocess
import tomllib
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stamp_channel  # noqa: E402
from stamp_channel import StampError  # noqa: E402

with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "product.toml"), "rb") as _product:
    USER_AGENT = tomllib.load(_product)["user_agent"]  # the installer's own
FACTS_RESOURCE = 301  # RCDATA written by velmor_add_hosts (cmake/Hosts.cmake)
MACHINES = {0x14C: ("x86", "x86"), 0x8664: ("x64", "amd64")}  # PE machine: name, manifest architecture
TIMEOUT_SECONDS = 30  # as the installer's


class Image:
    """A PE file's bytes, with the places of its headers."""

    def __init__(self, data):
        self.data = data
        optional, self.directories = stamp_channel.headers(data)
        self.machine, count = struct.unpack_from("<HH", data, optional - 20)
        self.directory_count = struct.unpack_from("<I", data, self.directories - 4)[0]
        table = optional + struct.unpack_from("<H", data, optional - 4)[0]
        # name, virtual size, virtual address, raw size, raw start
        self.sections = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(count)]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index) if index < self.directory_count \
            else (0, 0)

    def offset(self, rva):
        for _, virtual_size, address, raw_size, raw_start in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_start
        raise StampError("address %#x lies in no section" % rva)

    def is_whole(self):
        """What the installer asks of a download (net/pe_image.h): every section and the signature within the file,
        and the signature at its end."""
        table, size = self.directory(4)
        return all(raw_start + raw_size <= len(self.data) for _, _, _, raw_size, raw_start in self.sections if raw_size) \
            and (size == 0 or table + size == len(self.data))

    def resource(self, kind, name=None):
        """The first resource of that type (and id), any language; None when there is none."""
        address, size = self.directory(2)
        if size == 0:
            return None
        root = self.offset(address)

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, root + directory + 12)
            return [struct.unpack_from("<II", self.data, root + directory + 16 + 8 * i) for i in range(named + ids)]

        for entry_kind, names in entries(0):
            for entry_name, target in entries(names & 0x7FFFFFFF) if entry_kind == kind else []:
                if name in (None, entry_name):
                    while target & 0x80000000:
                        target = entries(target & 0x7FFFFFFF)[0][1]
                    address, size = struct.unpack_from("<II", self.data, root + target)
                    return self.data[self.offset(address):self.offset(address) + size]
        return None


def der_items(data, start, end):
    """(tag, start, content start, end) of each DER item in data[start:end]."""
    while start < end:
        tag, length, content = data[start], data[start + 1], start + 2
        if length & 0x80:
            content += length & 0x7F
            length = int.from_bytes(data[start + 2:content], "big")
        yield tag, start, content, content + length
        start = content + length


def children(data, item):
    return list(der_items(data, item[2], item[3]))


def signer_certificate(pkcs7):
    """(subject common name, DER SubjectPublicKeyInfo) of the first signer of a PKCS#7 SignedData."""
    content_info = next(der_items(pkcs7, 0, len(pkcs7)))
    signed_data = children(pkcs7, children(pkcs7, children(pkcs7, content_info)[1])[0])
    signer = children(pkcs7, children(pkcs7, signed_data[-1])[0])
    issuer_and_serial = pkcs7[signer[1][2]:signer[1][3]]
    for certificate in children(pkcs7, next(item for item in signed_data if item[0] == 0xA0)):
        fields = children(pkcs7, children(pkcs7, certificate)[0])
        fields = fields[1:] if fields[0][0] == 0xA0 else fields  # the version, when given
        serial, issuer, subject, key = fields[0], fields[2], fields[4], fields[5]
        if pkcs7[issuer[1]:issuer[3]] + pkcs7[serial[1]:serial[3]] == issuer_and_serial:
            names = [children(pkcs7, attribute) for name in children(pkcs7, subject)
                     for attribute in children(pkcs7, name)]
            common = [value for oid, value in names if pkcs7[oid[2]:oid[3]] == b"\x55\x04\x03"]
            text = pkcs7[common[0][2]:common[0][3]] if common else b""
            name = text.decode("utf-16-be" if common and common[0][0] == 0x1E else "utf-8", "replace")
            return name, pkcs7[key[1]:key[3]]
    raise StampError("the signer's certificate is not in the signature")


def signatures(path, ca_file):
    """One (digest algorithm, verified, signer, chain's root, time stamp or None) per signature, outer first."""
    command = ["osslsigncode", "verify", "-in", path]
    if ca_file:
        command += ["-CAfile", ca_file, "-TSA-CAfile", ca_file]
    output = subprocess.run(command, capture_output=True, text=True, errors="replace").stdout
    found = []
    for block in re.split(r"^Signature Index: .*$", output, flags=re.M)[1:]:
        digest = re.search(r"Message digest algorithm\s*: (\S+)", block)
        signer = re.search(r"Signer's certificate:[\s\S]*?Subject: (.*)", block)
        chain = block.partition("Signing certificate chain verified using:")[2]
        root = re.search(r"Subject: (.*)", chain)
        stamp = re.search(r"Timestamp time: (.*)", block)
        stamp_ok = "Timestamp Server Signature verification: ok" in block
        found.append((digest[1] if digest else "?", bool(re.search(r"^Signature verification: ok", block, re.M)),
                      signer[1] if signer else "?", root[1] if root else None,
                      stamp[1] if stamp and stamp_ok else None))
    return found


class Checks:
    def __init__(self):
        self.failed = False

    def report(self, passed, name, check, detail):
        self.failed = self.failed or not passed
        print("%-4s  %s: %s: %s" % ("ok" if passed else "FAIL", name, check, detail), flush=True)


def check_signatures(checks, name, path, image, ca_file):
    found = signatures(path, ca_file)
    for index, expected in enumerate(("SHA1", "SHA256")):
        check = "signature %s" % expected.replace("SHA", "SHA-")
        if index >= len(found) or found[index][0] != expected:
            checks.report(False, name, check, "missing" + (" (unsigned)" if not found else ""))
            continue
        _, verified, signer, root, stamp = found[index]
        if not verified:
            checks.report(False, name, check, "does not verify (its digest, or its chain to a trusted root): signer %s" %
                          signer)
        else:
            checks.report(stamp is not None, name, check, "signer %s, chain to %s, %s" % (
                signer, root, "time-stamped %s" % stamp if stamp else
                "not time-stamped: the signature stops being valid when the certificate expires"))
    try:
        offset, size = stamp_channel.certificate_table(image.data)
        signature = next(der_items(image.data, offset + 8, offset + size))
        expected = (signature[3] - offset + 7) // 8 * 8
        checks.report(size == expected, name, "certificate table",
                      "%d bytes, the signature's %d rounded up to 8: %d" % (size, signature[3] - offset - 8, expected))
    except (StampError, StopIteration, IndexError) as error:
        checks.report(False, name, "certificate table", str(error))


def check_channel(checks, name, image, facts):
    built_in = facts.get("distributor", "?")
    try:
        table = stamp_channel.certificate_table(image.data)
        slots = len(stamp_channel.slots(image.data))
        stamped = stamp_channel.stamped_channel(image.data)
        marked = stamp_channel.MARKER in image.data[table[0]:table[0] + table[1]]
    except StampError:
        slots, stamped, marked = 0, None, False
    if stamped:
        checks.report(True, name, "channel", "%s, stamped" % stamped)
    elif marked:
        checks.report(False, name, "channel", "a stamp the installer cannot read: it records the built-in %s" % built_in)
    else:
        checks.report(built_in != "?", name, "channel", "%s, built in (%s)" % (
            built_in, "an empty slot for a stamp" if slots == 1 else "no slot for a stamp"))


def check_build(checks, name, image, facts):
    version_info = image.resource(16) or b""
    at = version_info.find(struct.pack("<I", 0xFEEF04BD))
    manifest = (image.resource(24) or b"").decode("utf-8", "replace")
    identity = re.search(r'<assemblyIdentity[^>]*version="([^"]*)"[^>]*processorArchitecture="([^"]*)"', manifest)
    version = None
    if at >= 0:
        most, least = struct.unpack_from("<II", version_info, at + 8)
        version = "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)
    checks.report(version is not None and identity is not None and version == identity[1], name, "version",
                  "%s, manifest %s" % (version, identity[1] if identity else None))
    architecture, manifest_architecture = MACHINES.get(image.machine, ("machine %#x" % image.machine, None))
    checks.report(identity is not None and identity[2] == manifest_architecture, name, "architecture",
                  "%s, manifest %s" % (architecture, identity[2] if identity else None))
    budget = int(facts.get("size_budget", 0))
    checks.report(0 < len(image.data) <= budget, name, "size", "%d bytes, budget %d" % (len(image.data), budget))


class HttpsOnly(urllib.request.HTTPRedirectHandler):
    """Follows redirects only to https:// addresses, as the installer does."""

    def redirect_request(self, request, fp, code, message, headers, address):
        if not address.startswith("https://"):
            raise urllib.error.HTTPError(address, code, "redirect to " + address, headers, fp)
        return super().redirect_request(request, fp, code, message, headers, address)


def check_download(checks, name, facts, path, ca_file):
    address = "https://%s%s" % (facts["download_host"], path)
    opener = urllib.request.build_opener(HttpsOnly, urllib.request.HTTPSHandler(context=ssl.create_default_context()))
    with tempfile.NamedTemporaryFile(prefix="check-release-", suffix=".exe") as program:
        try:
            with opener.open(urllib.request.Request(address, headers={"User-Agent": USER_AGENT}),
                             timeout=TIMEOUT_SECONDS) as response:
                while chunk := response.read(1 << 20):
                    program.write(chunk)
            program.flush()
            with open(program.name, "rb") as downloaded:
                image = Image(downloaded.read())
        except urllib.error.HTTPError as error:
            return checks.report(False, name, address, "status %d" % error.code)
        except (OSError, urllib.error.URLError) as error:
            return checks.report(False, name, address, "no answer: %s" % getattr(error, "reason", error))
        except (StampError, struct.error) as error:
            return checks.report(False, name, address, "status 200, but no Windows program: %s" % error)
        if not image.is_whole():
            return checks.report(False, name, address, "status 200, but no whole Windows program")
        detail = "status 200, a whole Windows program of %d bytes" % len(image.data)
        signer, keys = facts.get("payload_signer", ""), facts.get("payload_keys", "")
        if not signer and not keys:
            return checks.report(True, name, address, detail + ", no publisher pinned")
        found = signatures(program.name, ca_file)
        if not found:
            return checks.report(False, name, address, detail + ", not signed, which the pin refuses")
        try:
            offset, size = stamp_channel.certificate_table(image.data)
            common_name, key = signer_certificate(image.data[offset + 8:offset + size])
        except (StampError, StopIteration, IndexError) as error:
            return checks.report(False, name, address, detail + ", its signature unreadable: %s" % error)
        pinned = found[0][1] and (not signer or common_name == signer) and \
            (not keys or hashlib.sha256(key).hexdigest() in keys.split(","))
        checks.report(pinned, name, address, detail + ", signed by %s (%s), which the pin %s" % (
            common_name, "verified" if found[0][1] else "not verified", "accepts" if pinned else "refuses"))


def main(args):
    usage = __doc__.split("\n\n")[1].strip()
    if "--help" in args or "-h" in args:
        print(__doc__.split("\n\n", 1)[1].strip())
        return 0
    ca_file = None
    if "--ca-file" in args:
        at = args.index("--ca-file")
        if at + 1 >= len(args) or not os.path.isfile(args[at + 1]):
            print("check-release: --ca-file needs a PEM file\nusage: " + usage, file=sys.stderr)
            return 2
        ca_file = args.pop(at + 1)
        args.pop(at)
    unknown = [arg for arg in args if arg.startswith("-")]
    if not args or unknown:
        print("check-release: %s\nusage: %s" % ("unknown option " + unknown[0] if unknown else "no file", usage),
              file=sys.stderr)
        return 2
    checks = Checks()
    for path in args:
        name = os.path.basename(path)
        try:
            with open(path, "rb") as file:
                image = Image(file.read())
            facts = dict(line.split("=", 1) for line in
                         (image.resource(10, FACTS_RESOURCE) or b"").decode("utf-8").splitlines() if "=" in line)
        except (OSError, StampError, struct.error) as error:
            checks.report(False, name, "file", str(error))
            continue
        check_signatures(checks, name, path, image, ca_file)
        check_channel(checks, name, image, facts)
        check_build(checks, name, image, facts)
        if "download_host" not in facts:
            checks.report(False, name, "download host", "the file does not say (built without resource 301)")
            continue
        for path_key in ("release_path", "webview_path"):
            check_download(checks, name, facts, facts[path_key], ca_file)
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
