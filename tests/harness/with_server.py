#!/usr/bin/env python3
# Runs a command while local HTTPS test servers are up, and exits with its exit code:
#   with_server.py -- <command> [arguments...]
# The command cannot make a file larger than FILE_SIZE_LIMIT: a longer write fails, as on a full disk.
# In the command's environment VELMOR_TEST_PORT is a server whose certificate chains to the run's test CA (it serves
# the test setup program as /file/setup); VELMOR_UNTRUSTED_PORT one with a certificate that nothing trusts;
# VELMOR_TLS_10_11_PORT one that accepts only TLS 1.0 and 1.1.

import contextlib
import os
import resource
import signal
import ssl
import subprocess
import sys

from https_server import HttpsTestServer
from wine_env import WineRun

FILE_SIZE_LIMIT = 3 << 20


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails instead of ending the process
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))


run = WineRun(os.environ["VELMOR_RUN_DIR"])
V = ssl.TLSVersion
servers = {"VELMOR_TEST_PORT": HttpsTestServer(*run.certificate()),
           "VELMOR_UNTRUSTED_PORT": HttpsTestServer(*run.certificate("selfsigned")),
           "VELMOR_TLS_10_11_PORT": HttpsTestServer(*run.certificate(), tls=(V.TLSv1, V.TLSv1_1))}
with open(os.path.join(os.environ["VELMOR_TOOLS_DIR"], "fake_setup.exe"), "rb") as program:
    servers["VELMOR_TEST_PORT"].files["setup"] = program.read()
with contextlib.ExitStack() as stack:
    env = dict(os.environ, **{name: str(stack.enter_context(server).port) for name, server in servers.items()})
    sys.exit(subprocess.call(sys.argv[sys.argv.index("--") + 1:], env=env, preexec_fn=limit_file_size))
