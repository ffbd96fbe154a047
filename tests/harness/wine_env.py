"""The Wine environment of one run, as tests/harness/run-setup made it: its display, its prefix, its certificates.

run-setup writes <run dir>/env, one NAME=value a line: DISPLAY, WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES (the
variables every Wine call of the run needs) and XVFB_PID. The tests, the demo and the benchmark all read it here.
"""

import os
import subprocess


def winpath(path):
    """The Windows name of a Unix path inside the prefix (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_record(path):
    """The NAME=value lines of a file that a helper program wrote (fake_setup's log), or {} if there is none."""
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as record:
        return dict(line.split("=", 1) for line in record.read().splitlines() if "=" in line)


class WineRun:
    def __init__(self, run_dir):
        self.run_dir = os.path.abspath(run_dir)
        with open(os.path.join(self.run_dir, "env")) as env_file:
            self.values = dict(line.rstrip("\n").split("=", 1) for line in env_file if "=" in line)
        self.prefix = self.values["WINEPREFIX"]
        self.xvfb_pid = int(self.values["XVFB_PID"])
        self.pki = os.path.join(self.run_dir, "pki")

    def env(self, **extra):
        """This process's environment with the run's Wine variables and extra (values made strings)."""
        env = dict(os.environ, **{name: value for name, value in self.values.items() if name != "XVFB_PID"})
        env.update({name: str(value) for name, value in extra.items()})
        return env

    def certificate(self, name="localhost"):
        """(certificate, key) files of one of the run's test certificates (see make-test-pki)."""
        return os.path.join(self.pki, name + ".pem"), os.path.join(self.pki, name + ".key")

    def profile_dir(self):
        return os.path.join(self.prefix, "drive_c", "users", os.environ.get("USER") or "root")

    def wine(self, *args, timeout=60, **extra_env):
        return subprocess.run(["wine", *args], env=self.env(**extra_env), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def popen(self, args, cwd, **extra_env):
        """Starts a program under Wine with its output discarded."""
        return subprocess.Popen(["wine", *args], cwd=cwd, env=self.env(**extra_env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def visible_window(self, title):
        """The X window id of a visible window with exactly this title, or None."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], env=self.env(),
                               capture_output=True, text=True, timeout=20).stdout.split()
        return found[0] if found else None
