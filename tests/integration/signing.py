# The run's test signatures, which need no Wine: setup programs signed by a test publisher, installers signed as
# scripts/release signs them, and their channel slots written over.

import os
import subprocess
import sys
import tempfile

for _folder in ("scripts", "wine"):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", _folder))

import stamp_channel  # noqa: E402
from wine_env import PRODUCT  # noqa: E402

TOOL = os.path.join(os.environ["VELMOR_TOOLS_DIR"], "fake_setup.exe")  # the setup program


def certificate(name):
    # (certificate, key) of one of the run's test certificates (see wine/make-test-pki)
    pki = os.path.join(os.environ["VELMOR_RUN_DIR"], "pki")
    return os.path.join(pki, name + ".pem"), os.path.join(pki, name + ".key")


def sign_setup(subject, key, *options):
    # The test setup program signed (SHA-256, with osslsigncode's further options) by a code-signing certificate for
    # subject and the publisher test key named key, issued by the run's test CA; the signature carries the CA's
    # certificate too, so its chain is signer and issuer.
    ca, ca_key = certificate("ca")
    key = os.path.join(os.environ["VELMOR_TEST_PUBLISHER_DIR"], key + ".key")
    with tempfile.TemporaryDirectory() as folder:
        extensions, chain, signed = (os.path.join(folder, name) for name in ("ext", "chain.pem", "signed.exe"))
        with open(extensions, "w") as ext:
            ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
        request = subprocess.run(["openssl", "req", "-new", "-key", key, "-subj", "/CN=" + subject], check=True,
                                 capture_output=True).stdout
        leaf = subprocess.run(["openssl", "x509", "-req", "-CA", ca, "-CAkey", ca_key, "-set_serial",
                               str(int.from_bytes(os.urandom(8), "big")), "-days", "7", "-extfile", extensions],
                              input=request, check=True, capture_output=True).stdout
        with open(chain, "wb") as pem, open(ca, "rb") as issuer:
            pem.write(leaf + issuer.read())
        subprocess.run(["osslsigncode", "sign", "-certs", chain, "-key", key, "-h", "sha256", "-n", "Velmor Cap",
                        *options, "-in", TOOL, "-out", signed], check=True, capture_output=True)
        with open(signed, "rb") as program:
            return program.read()


def signed_as_released(program, slots=1, *options):
    # The bytes of program signed by the run's test publisher as scripts/release signs: SHA-1 with an empty channel
    # slot, SHA-256 nested in it (with slots=2, with a slot of its own), with osslsigncode's further options.
    publisher, key = certificate("codesign")
    sign = ["osslsigncode", "sign", "-certs", publisher, "-key", key, "-n", PRODUCT["description"], *options]
    with tempfile.TemporaryDirectory() as folder:
        sha1, nested = os.path.join(folder, "sha1.exe"), os.path.join(folder, "nested.exe")
        subprocess.run(sign + ["-h", "sha1", "-addUnauthenticatedBlob", "-in", program, "-out", sha1], check=True,
                       capture_output=True)
        subprocess.run(sign + ["-h", "sha256", "-nest"] + ["-addUnauthenticatedBlob"] * (slots - 1) +
                       ["-in", sha1, "-out", nested], check=True, capture_output=True)
        with open(nested, "rb") as signed:
            return signed.read()


def in_slots(data, content):
    # data with content written over each of its channel slots, whatever stamp-channel would say to it.
    data = bytearray(data)
    for start in stamp_channel.slots(data):
        data[start:start + stamp_channel.SLOT_SIZE] = content.ljust(stamp_channel.SLOT_SIZE, b"\0")
    return bytes(data)


def saved(data, name=PRODUCT["program_name"] + ".exe"):
    # The path of a new file of that name, in a folder of its own, that holds data.
    path = os.path.join(tempfile.mkdtemp(prefix="velmor-program-"), name)
    with open(path, "wb") as file:
        file.write(data)
    return path
