#!/usr/bin/env python3
"""Runs a command while two local HTTPS test servers are up, and exits with its exit code.

  with_server.py -- <command> [arguments...]

VELMOR_TEST_PORT (in the command's environment) names the port of a server whose certificate chains to the run's
test CA; VELMOR_UNTRUSTED_PORT one whose certificate chains to a CA that nothing trusts; VELMOR_TLS_<LOW>_<HIGH>_PORT
ones with the trusted certificate that accept only the TLS versions LOW to HIGH (10 for 1.0, ...). The run directory
comes from VELMOR_RUN_DIR; the trusted server serves the test setup program from VELMOR_TOOLS_DIR as
/file/setup.
"""

import contextlib
import os
import ssl
import subprocess
import sys

from https_server import HttpsTestServer
from wine_env import WineRun


def main():
    command = sys.argv[sys.argv.index("--") + 1:]
    run = WineRun(os.environ["VELMOR_RUN_DIR"])
    trusted = HttpsTestServer(*run.certificate())
    untrusted = HttpsTestServer(*run.certificate("untrusted"))
    with open(os.path.join(os.environ["VELMOR_TOOLS_DIR"], "fake_setup.exe"), "rb") as program:
        trusted.files["setup"] = program.read()
    versions = {"10": ssl.TLSVersion.TLSv1, "11": ssl.TLSVersion.TLSv1_1, "12": ssl.TLSVersion.TLSv1_2,
                "13": ssl.TLSVersion.TLSv1_3}
    limited = {"VELMOR_TLS_%s_%s_PORT" % pair: HttpsTestServer(*run.certificate(),
                                                               tls=(versions[pair[0]], versions[pair[1]]))
               for pair in (("10", "11"), ("12", "13"))}
    with trusted, untrusted, contextlib.ExitStack() as stack:
        env = dict(os.environ, VELMOR_TEST_PORT=str(trusted.port), VELMOR_UNTRUSTED_PORT=str(untrusted.port))
        for name, server in limited.items():
            env[name] = str(stack.enter_context(server).port)
        return subprocess.call(command, env=env)


if __name__ == "__main__":
    sys.exit(main())
