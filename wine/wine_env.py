# The Wine environment of one run as wine/run-setup made it. <run dir>/env holds one NAME=value a line:
# DISPLAY, WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, VELMOR_32BIT, VELMOR_WINE and perhaps WINELOADER (what every Wine
# call of the run needs; VELMOR_WINE is the loader to start programs with) and XVFB_PID. The tests, the demo and the
# benchmark all read it here.

import os
import subprocess
import tomllib

# The product's names, texts and places, as the build took them (product.toml at the top of the source tree).
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "product.toml"), "rb") as _product:
    PRODUCT = tomllib.load(_product)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_record(path):
    # The NAME=value lines that a helper program (fake_setup) wrote, or {} if it wrote none.
    if not os.path.exists(path):
        return {}
    with open(path, encoding="utf-8") as record:
        return dict(line.split("=", 1) for line in record.read().splitlines() if "=" in line)


class WineRun:
    def __init__(self, run_dir):
        self.run_dir = os.path.abspath(run_dir)
        self.values = read_record(os.path.join(self.run_dir, "env"))
        self.prefix = self.values["WINEPREFIX"]
        self.loader = self.values["VELMOR_WINE"]
        self.xvfb_pid = int(self.values.pop("XVFB_PID"))
        self.pki = os.path.join(self.run_dir, "pki")

    def env(self, **extra):
        env = dict(os.environ, **self.values)
        env.update((name, str(value)) for name, value in extra.items())
        return env

    def certificate(self, name="localhost"):
        # (certificate, key) of one of the run's certificates (see make-test-pki)
        return os.path.join(self.pki, name + ".pem"), os.path.join(self.pki, name + ".key")

    def unix_path(self, path):
        # What a path on the prefix's drive C: ("C:\\windows\\Temp") names; like Windows, Wine ignores the case.
        drive, _, rest = path.replace("\\", "/").partition(":/")
        if drive.lower() != "c":
            raise ValueError("not on drive C: %r" % path)
        here = os.path.join(self.prefix, "drive_c")
        for part in filter(None, rest.split("/")):
            names = {name.lower(): name for name in os.listdir(here)} if os.path.isdir(here) else {}
            here = os.path.join(here, names.get(part.lower(), part))
        return here

    def staging_root(self):
        # %SystemRoot%\Temp, where installers make the folders for their setup programs.
        return self.unix_path("C:\\windows\\temp")

    def staging_folders(self):
        # The folders that installers made for their setup programs and have not removed (in staging_root).
        temp, prefix = self.staging_root(), PRODUCT["staging_prefix"]
        return {name for name in os.listdir(temp) if name.startswith(prefix)} if os.path.isdir(temp) else set()

    def profile_dir(self):
        return os.path.join(self.prefix, "drive_c", "users", os.environ.get("USER") or "root")

    def wine(self, *args, timeout=60, **extra_env):
        return subprocess.run([self.loader, *args], env=self.env(**extra_env), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def popen(self, args, cwd, stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL, **extra_env):
        return subprocess.Popen([self.loader, *args], cwd=cwd, env=self.env(**extra_env), stdin=subprocess.DEVNULL,
                                stdout=stdout, stderr=stderr)

    def visible_window(self, title):
        # The X window id of a visible window with exactly this title, or None.
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], env=self.env(),
                               capture_output=True, text=True, timeout=20).stdout.split()
        return found[0] if found else None
