#!/usr/bin/env python3
"""Download throughput benchmark (called by scripts/bench; not part of the tests).

Serves a 256 MiB setup program over HTTPS from an nginx instance of its own on loopback and downloads it, side by
side and several times each, with:

  1  curl (native) into a file: the ceiling of the machine
  2  a bare WinHTTP read loop under Wine (bench/winhttp_loop.cpp)
  3  URLDownloadToFileW under Wine (bench/urlmon_download.cpp)
  4  DownloadFile with the installer's progress callable on a real window (bench/downloadfile_bench.cpp)
  5  the whole installer under Wine, from launch to exit, including running and deleting the setup program
  2a, 4a-4e, 5a  variants, to see where the time goes (5a and 4e: an experiment that limits repaint requests)

Every row runs under two conditions: "idle", the machine as it is, and "busy", with one busy loop per CPU at the
idle scheduling class, which keeps the CPUs from entering their idle state and gives way at once to any other task.
On this kind of virtual machine waking an idle CPU is slow, and Wine makes many cross-thread and cross-process
wake-ups (every wineserver request), so the two conditions can rank the rows differently.

Rows are interleaved (one run of each per round and condition) so that a change in the machine's load over time
touches every row alike. Each run is measured from the launch of its process to its exit. CPU time is the user +
system time of the measured process (os.wait4) plus the change in the CPU time of every other process of the Wine
prefix over the run (wineserver, explorer.exe, services, and the processes that Wine starts, which reach this
process as orphans because it makes itself a child subreaper). Prints the tables and prepends them to the results
file; the raw measurements go to <build>/bench-run/results.json.

stdlib only; Linux only (reads /proc).
"""

import argparse
import ctypes
import datetime
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

MIB = 1024 * 1024
PAYLOAD_BYTES = 256 * MIB
INSTALLER_PATH = "/velmor-cap/ebwebview"
SAVE_NAME = "velmor-cap-setup.exe"
RUN_TIMEOUT_SECONDS = 180
PR_SET_CHILD_SUBREAPER = 36
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

ROWS = [
    ("1", "curl (native), to a file", "curl"),
    ("2", "bare WinHTTP read loop, Wine (8 KiB reads, std::ofstream)", "winhttp"),
    ("3", "URLDownloadToFileW (urlmon), Wine", "urlmon"),
    ("4", "DownloadFile + installer's progress callable, Wine", "downloadfile:installer"),
    ("5", "whole installer, Wine (launch to exit)", "installer"),
]
VARIANTS = [
    ("2a", "bare WinHTTP read loop + WinHttpSetTimeouts(30 s), Wine", "winhttp:timeouts"),
    ("4a", "DownloadFile, no callable", "downloadfile:none"),
    ("4b", "DownloadFile, callable that only counts", "downloadfile:noop"),
    ("4c", "DownloadFile, RecordProgress only", "downloadfile:record"),
    ("4d", "DownloadFile, InvalidateRect only", "downloadfile:invalidate"),
    ("4e", "DownloadFile, installer's callable with at most one repaint request per 40 ms (experiment)",
     "downloadfile:throttled"),
    ("5a", "whole installer with at most one repaint request per 40 ms (experiment build)", "installer:throttled"),
]


# ---------------------------------------------------------------------------------------------------------------------
# /proc readings


def read_stat(pid):
    """(state, ppid, cpu ticks, start time) of one process, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as stat_file:
            text = stat_file.read().decode("latin-1")
    except OSError:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[11]) + int(fields[12]), int(fields[19])


def prefix_processes(prefix):
    """{pid: (start time, cpu ticks)} of the live processes whose environment names this Wine prefix."""
    marker = b"WINEPREFIX=" + prefix.encode()
    found = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        try:
            with open("/proc/%d/environ" % pid, "rb") as environ:
                if marker not in environ.read().split(b"\0"):
                    continue
        except OSError:
            continue
        stat = read_stat(pid)
        if stat:
            found[pid] = (stat[3], stat[2])
    return found


def machine_cpu_ticks():
    """(all, kernel threads): CPU ticks used so far by every process of the machine, each live process's own time
    plus that of the children it has waited for (so a process that ends and is reaped stays counted, in its
    parent), and the part of it used by kernel threads (softirq work, writeback, ...)."""
    total = 0
    kernel = 0
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as stat_file:
                text = stat_file.read().decode("latin-1")
        except OSError:
            continue
        fields = text[text.rindex(")") + 2:].split()
        ticks = int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])
        total += ticks
        if name == "2" or fields[1] == "2":
            kernel += ticks
    return total, kernel


def steal_ticks():
    """CPU time that the hypervisor gave to others while this machine wanted it (/proc/stat, all CPUs)."""
    with open("/proc/stat") as stat_file:
        return int(stat_file.readline().split()[8])


def cpu_ticks(pid):
    stat = read_stat(pid)
    return stat[2] if stat else 0


def reap_orphans(known_children):
    """Waits for the exited processes that were handed to this subreaper. Returns their CPU seconds and pids."""
    seconds = 0.0
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        stat = read_stat(pid)
        if not stat or stat[1] != os.getpid() or stat[0] != "Z" or pid in known_children:
            continue
        try:
            _, _, usage = os.wait4(pid, 0)
        except ChildProcessError:
            continue
        seconds += usage.ru_utime + usage.ru_stime
        pids.append(pid)
    return seconds, pids


# ---------------------------------------------------------------------------------------------------------------------
# The server


class Nginx:
    """An nginx instance of its own: config, pid, logs and temp files under one directory."""

    def __init__(self, directory, port, certificate, key, payload):
        self.directory = directory
        self.port = port
        self.access_log = os.path.join(directory, "access.log")
        self.error_log = os.path.join(directory, "error.log")
        self.config = os.path.join(directory, "nginx.conf")
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        user = "user root;\n" if os.geteuid() == 0 else ""
        temp = "".join("    %s_temp_path %s;\n" % (kind, os.path.join(directory, "tmp-" + kind))
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        locations = "".join("        location = %s { alias %s; }\n" % (path, payload)
                            for path in ("/velmor-cap/ebwebview", "/velmor-cap/release"))
        with open(self.config, "w") as config:
            config.write(
                "daemon off;\n"
                "worker_processes 1;\n" + user +
                "pid %s;\n" % os.path.join(directory, "nginx.pid") +
                "error_log %s;\n" % self.error_log +
                "events { worker_connections 64; }\n"
                "http {\n" + temp +
                "    log_format bench '$msec $request_uri $status $body_bytes_sent $request_time "
                "$ssl_protocol $ssl_cipher';\n"
                "    access_log %s bench;\n" % self.access_log +
                "    sendfile on;\n"
                "    default_type application/octet-stream;\n"
                "    server {\n"
                "        listen 127.0.0.1:%d ssl;\n" % port +
                "        server_name localhost;\n"
                "        ssl_certificate %s;\n" % certificate +
                "        ssl_certificate_key %s;\n" % key + locations +
                "    }\n"
                "}\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["nginx", "-p", self.directory, "-c", self.config, "-e", self.error_log],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited: " + open(self.error_log).read())
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("nginx did not listen on port %d" % self.port)

    def worker_pids(self):
        pids = []
        for name in os.listdir("/proc"):
            if name.isdigit():
                stat = read_stat(int(name))
                if stat and stat[1] == self.process.pid:
                    pids.append(int(name))
        return pids

    def cpu_ticks(self):
        return cpu_ticks(self.process.pid) + sum(cpu_ticks(pid) for pid in self.worker_pids())

    def log_size(self):
        return os.path.getsize(self.access_log) if os.path.exists(self.access_log) else 0

    def requests_since(self, offset):
        """The access log lines written after offset, as dicts."""
        with open(self.access_log) as log:
            log.seek(offset)
            lines = log.read().splitlines()
        requests = []
        for line in lines:
            parts = line.split()
            requests.append({"end": float(parts[0]), "uri": parts[1], "status": int(parts[2]),
                             "bytes": int(parts[3]), "seconds": float(parts[4]), "tls": " ".join(parts[5:])})
        return requests

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: the master waits for its worker
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# ---------------------------------------------------------------------------------------------------------------------
# One measured run


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_tool_output(text):
    values = {}
    for key, value in re.findall(r"(\w+)=([0-9.]+)", text):
        values[key] = float(value)
    return values


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.run_dir = os.path.abspath(args.run_dir)
        self.out = os.path.join(self.build, "bench-run")
        self.work = os.path.join(self.out, "work")
        with open(os.path.join(self.run_dir, "env")) as env_file:
            run_env = dict(line.strip().split("=", 1) for line in env_file if "=" in line)
        self.prefix = run_env["WINEPREFIX"]
        self.xvfb_pid = int(run_env["XVFB_PID"])
        self.wine_env = dict(os.environ, DISPLAY=run_env["DISPLAY"], WINEPREFIX=self.prefix, WINEDEBUG="-all",
                             WINEDLLOVERRIDES="mscoree,mshtml=")
        self.url = "https://localhost:%d%s" % (args.port, INSTALLER_PATH)
        self.payload = os.path.join(self.out, "www", "payload")
        self.pki = os.path.join(self.run_dir, "pki")
        self.nginx = None
        self.spinners = []

    # -- set-up ----------------------------------------------------------------------------------------------------

    def make_payload(self):
        """The test setup program, padded with zero bytes (written, not sparse) to exactly 256 MiB."""
        os.makedirs(os.path.dirname(self.payload), exist_ok=True)
        with open(os.path.join(self.build, "tests", "tools", "fake_setup.exe"), "rb") as program:
            head = program.read()
        with open(self.payload, "wb") as payload:
            payload.write(head)
            left = PAYLOAD_BYTES - len(head)
            block = b"\0" * MIB
            while left > 0:
                left -= payload.write(block[:min(left, MIB)])
        assert os.path.getsize(self.payload) == PAYLOAD_BYTES

    def start(self):
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.make_payload()
        self.nginx = Nginx(os.path.join(self.out, "nginx"), self.args.port, os.path.join(self.pki, "localhost.pem"),
                           os.path.join(self.pki, "localhost.key"), self.payload)
        self.nginx.start()
        # Processes that Wine starts (it forks twice) come to this process when they end, so they can be measured.
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")

    def start_spinners(self):
        """One busy loop per CPU, at the idle scheduling class: they run only when nothing else wants the CPU, so
        the CPUs never enter their idle state, and they give way at once to any other task."""

        def idle_class():
            os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))

        self.spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"], env={}, preexec_fn=idle_class,
                                          stdin=subprocess.DEVNULL) for _ in range(os.cpu_count())]

    def stop_spinners(self):
        for spinner in self.spinners:
            spinner.kill()
            spinner.wait()
        self.spinners = []

    def spinner_ticks(self):
        return sum(cpu_ticks(spinner.pid) for spinner in self.spinners)

    def wait_for_quiet(self):
        """Waits until the machine, the busy loops aside, has been nearly idle (under 10 % of one CPU) for half a
        second, at most --quiet-wait seconds. Returns the seconds waited."""
        started = time.monotonic()
        while time.monotonic() - started < self.args.quiet_wait:
            before = machine_cpu_ticks()[0] - self.spinner_ticks()
            time.sleep(0.5)
            if (machine_cpu_ticks()[0] - self.spinner_ticks() - before) / CLOCK_TICKS < 0.05:
                break
        return time.monotonic() - started

    def stop(self):
        self.stop_spinners()
        if self.nginx:
            self.nginx.stop()
        reap_orphans(set())

    def tool(self, name):
        return os.path.join(self.build, "bench", name + ".exe")

    # -- commands ----------------------------------------------------------------------------------------------------

    def command(self, kind, save):
        if kind == "curl":
            return ["curl", "-sS", "--fail", "--cacert", os.path.join(self.pki, "ca.pem"), "-o", save, self.url]
        if kind == "winhttp":
            return ["wine", self.tool("winhttp_loop"), self.url, winpath(save)]
        if kind == "winhttp:timeouts":
            return ["wine", self.tool("winhttp_loop"), self.url, winpath(save), "timeouts"]
        if kind == "urlmon":
            return ["wine", self.tool("urlmon_download"), self.url, winpath(save)]
        if kind.startswith("downloadfile:"):
            return ["wine", self.tool("downloadfile_bench"), self.url, winpath(save), kind.split(":", 1)[1]]
        if kind == "installer":
            return ["wine", os.path.join(self.build, "VelmorInstaller.exe")]
        if kind == "installer:throttled":
            return ["wine", self.tool("VelmorInstallerThrottledRepaint")]
        raise ValueError(kind)

    def run(self, row, kind, verify=False):
        """One measured run. Returns a dict of its measurements; "ok" says whether it did what it should. With
        verify, a saved file is also compared byte for byte with the payload."""
        is_installer = kind.startswith("installer")
        is_wine = kind != "curl"
        cwd = os.path.join(self.work, "run-" + row)
        shutil.rmtree(cwd, ignore_errors=True)
        os.makedirs(cwd)
        save = os.path.join(cwd, SAVE_NAME if is_installer else "download.bin")
        setup_log = os.path.join(cwd, "setup-log.txt")
        trace = os.path.join(cwd, "paint-trace.txt")
        env = dict(self.wine_env) if is_wine else dict(os.environ)
        if is_installer:
            env.update(VELMOR_SETUP_LOG=winpath(setup_log), VELMOR_PAINT_TRACE_FILE=winpath(trace))
        stdout_path = os.path.join(cwd, "stdout.txt")
        stderr_path = os.path.join(cwd, "stderr.txt")

        quiet_wait = self.wait_for_quiet()
        log_offset = self.nginx.log_size()
        wine_before = prefix_processes(self.prefix) if is_wine else {}
        nginx_before = self.nginx.cpu_ticks()
        xvfb_before = cpu_ticks(self.xvfb_pid)
        busy_before, kernel_before = machine_cpu_ticks()
        spinners_before = self.spinner_ticks()
        steal_before = steal_ticks()
        self_before = os.times()
        with open(stdout_path, "wb") as stdout, open(stderr_path, "wb") as stderr:
            launch_unix = time.time()
            launch = time.monotonic()
            process = subprocess.Popen(self.command(kind, save), cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                       stdout=stdout, stderr=stderr)
            # A blocking wait, so that this process takes no CPU from the run; a timer ends a run that hangs.
            watchdog = threading.Timer(RUN_TIMEOUT_SECONDS, process.kill)
            watchdog.start()
            _, status, usage = os.wait4(process.pid, 0)
            wall = time.monotonic() - launch
            watchdog.cancel()
            timed_out = wall >= RUN_TIMEOUT_SECONDS
            exit_unix = time.time()
            process.returncode = os.waitstatus_to_exitcode(status)
        busy_after, kernel_after = machine_cpu_ticks()
        spinners_after = self.spinner_ticks()
        steal_after = steal_ticks()
        self_after = os.times()
        wine_after = prefix_processes(self.prefix) if is_wine else {}
        orphan_seconds, orphans = reap_orphans({self.nginx.process.pid})
        nginx_seconds = (self.nginx.cpu_ticks() - nginx_before) / CLOCK_TICKS
        xvfb_seconds = (cpu_ticks(self.xvfb_pid) - xvfb_before) / CLOCK_TICKS

        own_seconds = usage.ru_utime + usage.ru_stime
        others = 0
        for pid, (start, ticks) in wine_after.items():
            before = wine_before.get(pid)
            others += ticks - (before[1] if before and before[0] == start else 0)
        # A process of the prefix that was there before and ended during the run without reaching this process
        # (none was seen in trial runs) would count as zero: its last CPU time is not known.
        result_vanished = [pid for pid in wine_before if pid not in wine_after and pid not in orphans]
        wine_other_seconds = others / CLOCK_TICKS + orphan_seconds
        cpu_seconds = own_seconds + wine_other_seconds
        machine_seconds = (busy_after - busy_before) / CLOCK_TICKS
        self_seconds = self_after.user + self_after.system - self_before.user - self_before.system
        kernel_seconds = (kernel_after - kernel_before) / CLOCK_TICKS
        spinner_seconds = (spinners_after - spinners_before) / CLOCK_TICKS
        unrelated_seconds = (machine_seconds - cpu_seconds - nginx_seconds - xvfb_seconds - self_seconds -
                             kernel_seconds - spinner_seconds)

        requests = [r for r in self.nginx.requests_since(log_offset) if r["uri"] == INSTALLER_PATH]
        served = requests[-1] if requests else None
        result = {
            "row": row, "kind": kind, "exit": process.returncode, "timed_out": timed_out, "wall": wall,
            "mib_per_s": PAYLOAD_BYTES / MIB / wall, "cpu": cpu_seconds, "cpu_own": own_seconds,
            "cpu_wine_others": wine_other_seconds, "maxrss_kib": usage.ru_maxrss, "nginx_cpu": nginx_seconds,
            "xvfb_cpu": xvfb_seconds, "unrelated_cpu": unrelated_seconds, "requests": len(requests),
            "wine_processes_vanished": len(result_vanished), "quiet_wait": quiet_wait,
            "kernel_threads_cpu": kernel_seconds, "spinner_cpu": spinner_seconds,
            "condition": "busy" if self.spinners else "idle", "steal": (steal_after - steal_before) / CLOCK_TICKS,
        }
        if served:
            start_unix = served["end"] - served["seconds"]
            result.update(server_seconds=served["seconds"], served_bytes=served["bytes"], tls=served["tls"],
                          launch_to_request_ms=(start_unix - launch_unix) * 1000,
                          response_end_to_exit_ms=(exit_unix - served["end"]) * 1000)
        with open(stdout_path, errors="replace") as text:
            result["tool"] = parse_tool_output(text.read())

        problems = []
        if timed_out:
            problems.append("timed out")
        if process.returncode != 0:
            problems.append("exit code %d" % process.returncode)
        if not served or served["status"] != 200 or served["bytes"] != PAYLOAD_BYTES:
            problems.append("server did not send the whole payload: %s" % served)
        if is_installer:
            record = {}
            if os.path.exists(setup_log):
                with open(setup_log, encoding="utf-8") as log:
                    record = dict(line.split("=", 1) for line in log.read().splitlines() if "=" in line)
            if record.get("ended") != "1":
                problems.append("the setup program did not run to its end")
            if os.path.exists(save):
                problems.append(SAVE_NAME + " was not deleted")
            paints = []
            if os.path.exists(trace):
                with open(trace) as trace_file:
                    paints = [int(line) for line in trace_file if line.strip()]
            if len(paints) >= 2:
                result["paints"] = len(paints)
                result["first_paint_ms"] = paints[0] - launch_unix * 1000
                result["paints_per_s"] = len(paints) / ((paints[-1] - paints[0]) / 1000)
            else:
                problems.append("no paint trace")
        else:
            size = os.path.getsize(save) if os.path.exists(save) else -1
            if size != PAYLOAD_BYTES:
                problems.append("saved file has %d bytes" % size)
            elif verify or self.args.verify:
                if not same_file(save, self.payload):
                    problems.append("saved file differs from the payload")
        result["problems"] = problems
        result["ok"] = not problems
        shutil.rmtree(cwd, ignore_errors=True)  # before the kernel starts writing the 256 MiB back to disk
        return result


def same_file(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x = first.read(4 * MIB)
            y = second.read(4 * MIB)
            if x != y:
                return False
            if not x:
                return True


# ---------------------------------------------------------------------------------------------------------------------
# Report


def spread(values, digits):
    values = [v for v in values if v is not None]
    if not values:
        return "–"
    form = "%%.%df" % digits
    return "%s (%s–%s)" % (form % statistics.median(values), form % min(values), form % max(values))


def machine_description():
    model = "?"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        ram_kib = int(meminfo.readline().split()[1])

    def version(command, pattern):
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            return "?"
        found = re.search(pattern, done.stdout + done.stderr)
        return found.group(0) if found else "?"

    return {
        "cpu": model, "cores": os.cpu_count(), "ram_gib": ram_kib / MIB, "kernel": platform.release(),
        "wine": version(["wine", "--version"], r"wine-\S+( \(.*\))?"),
        "nginx": version(["nginx", "-v"], r"nginx/\S+"), "curl": version(["curl", "--version"], r"curl \S+"),
    }


CONDITION_TITLES = {
    "idle": "Machine as it is (CPUs free to go idle)",
    "busy": "CPUs kept out of idle by one SCHED_IDLE busy loop per CPU",
}


def condition_block(condition, results, heading):
    """The tables of one condition: main rows, targets, variants, where the time goes."""
    titles = {row: title for row, title, _ in ROWS + VARIANTS}
    kinds = {row: kind for row, _, kind in ROWS + VARIANTS}
    results = [r for r in results if r.get("condition", "idle") == condition]
    present = [row for row, _, _ in ROWS + VARIANTS if any(r["row"] == row for r in results)]
    by_row = {row: [r for r in results if r["row"] == row and r["ok"]] for row in present}
    rate2 = [r["mib_per_s"] for r in by_row.get("2", [])]
    base = statistics.median(rate2) if rate2 else None

    def ratio(row):
        runs = by_row.get(row)
        if not runs or not base:
            return "–"
        return "%.2f" % (statistics.median([r["mib_per_s"] for r in runs]) / base)

    def median(row, key, digits, source=None):
        values = [(r.get(source, {}) if source else r).get(key) for r in by_row[row]]
        values = [v for v in values if v is not None]
        return ("%%.%df" % digits) % statistics.median(values) if values else ""

    def main_line(row):
        runs = by_row[row]
        installer = kinds[row].startswith("installer")
        return "| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            row, titles[row], spread([r["mib_per_s"] for r in runs], 1), ratio(row),
            spread([r["cpu"] for r in runs], 2), spread([r["maxrss_kib"] / 1024 for r in runs], 1),
            spread([r.get("first_paint_ms") for r in runs], 0) if installer else "",
            spread([r.get("paints_per_s") for r in runs], 0) if installer else "")

    header = ["| # | What | MiB/s | × row 2 | CPU s | Peak RSS MiB | First paint ms | Paints/s |",
              "|---|------|-------|---------|-------|--------------|----------------|----------|"]
    lines = ["### %s" % heading, ""] + header
    lines += [main_line(row) for row, _, _ in ROWS if row in by_row]
    lines.append("")
    for row, target in (("4", 0.95), ("5", 0.90)):
        value = ratio(row)
        verdict = "not run" if value == "–" else ("met" if float(value) >= target else "MISSED")
        lines.append("- Target row %s ≥ %.2f × row 2: %s (%s)." % (row, target, verdict, value))
    variants = [row for row, _, _ in VARIANTS if row in by_row]
    if variants:
        lines += ["", "Variants, measured in the same rounds, to see where the time goes:", ""] + header
        lines += [main_line(row) for row in variants]
    lines += [
        "",
        "| # | Launch → request ms | Transfer s | Transfer MiB/s | Response end → exit ms | CPU own s | "
        "Other Wine CPU s | nginx CPU s | Xvfb CPU s | Kernel threads CPU s | Unrelated CPU s | Callbacks | Paints |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in present:
        runs = by_row[row]
        if not runs:
            continue
        transfer_rates = [PAYLOAD_BYTES / MIB / r["server_seconds"] for r in runs if r.get("server_seconds")]
        lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            row, median(row, "launch_to_request_ms", 0), median(row, "server_seconds", 3),
            "%.1f" % statistics.median(transfer_rates) if transfer_rates else "",
            median(row, "response_end_to_exit_ms", 0), median(row, "cpu_own", 2), median(row, "cpu_wine_others", 2),
            median(row, "nginx_cpu", 2), median(row, "xvfb_cpu", 2), median(row, "kernel_threads_cpu", 2),
            median(row, "unrelated_cpu", 2), median(row, "callbacks", 0, "tool"),
            median(row, "paints", 0) if kinds[row].startswith("installer") else median(row, "paints", 0, "tool")))
    lines.append("")
    return lines


def source_description():
    """The commit measured and whether the product's files differed from it (read-only git commands)."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        head = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "app", "ui", "install", "net",
                                "config", "resources", "cmake"],
                               capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    if not head:
        return "?"
    return "commit %s%s" % (head, ", with uncommitted changes in the product's files" if dirty else "")


def build_report(record):
    results = record["results"]
    machine = record["machine"]
    settings = record["settings"]
    sizes = record["sizes"]
    started = datetime.datetime.fromisoformat(record["started"])
    finished = datetime.datetime.fromisoformat(record["finished"])
    conditions = settings.get("conditions", ["idle"])
    failed = [r for r in results if not r["ok"]]
    tls = next((r.get("tls") for r in results if r.get("tls")), "?")
    lines = [
        "## %s" % started.strftime("%Y-%m-%d %H:%M UTC"),
        "",
        "Machine: %s, %d cores, %.1f GiB RAM, Linux %s, %s; %s; %s." % (
            machine["cpu"], machine["cores"], machine["ram_gib"], machine["kernel"], machine["wine"],
            machine["nginx"], machine["curl"]),
        "Source measured: %s." % record.get("source", "not recorded"),
        "Run: %s to %s UTC; %d measured runs per row and condition after one warm-up run of each row, rows "
        "interleaved (one run of each per round and condition); each run started once the machine (busy loops "
        "aside) had been nearly idle for 0.5 s, waiting at most %g s; payload %d bytes (256 MiB) from nginx on "
        "127.0.0.1:%d, %s; load average before: %s." % (
            started.strftime("%H:%M:%S"), finished.strftime("%H:%M:%S"), settings["runs"], settings["quiet_wait"],
            PAYLOAD_BYTES, settings["port"], tls, record["load_before"]),
        "",
        "MiB/s = 256 MiB / wall time from launching the process (`wine <program>` or `curl`) to its exit, as "
        "median (min–max) of the runs; × row 2 = ratio of the medians. CPU s = user + system time of the measured "
        "process and, for the Wine rows, the change in CPU time of every other process of the Wine prefix "
        "(wineserver, explorer.exe, services, the setup program). Peak RSS = ru_maxrss of the measured process. "
        "First paint = from the launch to the first paint in the trace; paints/s = paints / (last paint − first "
        "paint). In the second table of each condition: launch → request = from the launch until nginx began the "
        "response; transfer = nginx's request time and the rate over it; CPU own = the measured process; other "
        "Wine = the prefix's other processes; kernel threads = softirq, writeback and other kernel work; "
        "unrelated = everything else the machine ran meanwhile (other users of the machine; the busy loops are "
        "not counted anywhere).",
        "",
        "- Installer size: %d bytes as shipped (`build/bench-release`, VELMOR_BUILD_TESTS=OFF); %d bytes for the "
        "paint-trace build measured in row 5." % (sizes["release"], sizes["trace"]),
    ]
    if failed:
        lines.append("- Failed runs, left out of the tables: %s." % "; ".join(
            "round %s %s row %s: %s" % (r.get("round", "?"), r.get("condition", "idle"), r["row"],
                                        ", ".join(r["problems"])) for r in failed))
    else:
        lines.append("- Every run succeeded (status 200 with all bytes served, file complete; rows 5 and 5a: the "
                     "setup program ran to its end and was deleted, exit code 0).")
    lines.append("")
    for condition in conditions:
        lines += condition_block(condition, results, CONDITION_TITLES.get(condition, condition))
    lines += [
        "<details><summary>Every run</summary>",
        "",
        "| Round | Condition | # | Wall s | MiB/s | CPU s | Peak RSS MiB | Transfer s | Paints | "
        "Kernel threads CPU s | Unrelated CPU s | Waited for idle s | OK |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results:
        paints = r.get("paints", r.get("tool", {}).get("paints"))
        lines.append("| %s | %s | %s | %.3f | %.1f | %.2f | %.1f | %s | %s | %.2f | %.2f | %.1f | %s |" % (
            r.get("round", "?"), r.get("condition", "idle"), r["row"], r["wall"], r["mib_per_s"], r["cpu"],
            r["maxrss_kib"] / 1024, "%.3f" % r["server_seconds"] if r.get("server_seconds") else "",
            "%d" % paints if paints else "", r["kernel_threads_cpu"], r["unrelated_cpu"], r["quiet_wait"],
            "yes" if r["ok"] else "; ".join(r["problems"])))
    lines += ["", "</details>", ""]
    return "\n".join(lines)


def prepend_results(path, section):
    title = "# Download benchmark results\n\nMade by `scripts/bench`; the newest run first.\n"
    old = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as existing:
            old = existing.read()
        if old.startswith(title):
            old = old[len(title):]
    with open(path, "w", encoding="utf-8") as results:
        results.write(title + "\n" + section + "\n" + old.lstrip("\n"))


# ---------------------------------------------------------------------------------------------------------------------


def run_all(args):
    """Runs the plan. Returns the record that build_report turns into the results section."""
    wanted = args.rows.split(",")
    plan = [(row, kind) for row, _, kind in ROWS + VARIANTS if row in wanted]
    conditions = args.conditions.split(",")
    record = {
        "sizes": {"release": os.path.getsize(os.path.join(args.release_build, "VelmorInstaller.exe")),
                  "trace": os.path.getsize(os.path.join(args.build, "VelmorInstaller.exe"))},
        "machine": machine_description(),
        "settings": {"runs": args.runs, "quiet_wait": args.quiet_wait, "port": args.port, "rows": wanted,
                     "conditions": conditions},
        "warm_up": [], "results": [],
    }
    with open("/proc/loadavg") as loadavg:
        record["load_before"] = " ".join(loadavg.read().split()[:3])
    record["source"] = source_description()
    record["started"] = datetime.datetime.now(datetime.timezone.utc).isoformat()

    bench = Bench(args)
    try:
        bench.start()
        for row, kind in plan:
            warm = bench.run(row, kind, verify=True)
            record["warm_up"].append(warm)
            print("warm-up  row %-3s %6.1f MiB/s %s" % (
                row, warm["mib_per_s"], "" if warm["ok"] else "  FAILED: " + "; ".join(warm["problems"])), flush=True)
        for round_number in range(1, args.runs + 1):
            for condition in conditions:
                if condition == "busy":
                    bench.start_spinners()
                for row, kind in plan:
                    result = bench.run(row, kind)
                    result["round"] = round_number
                    record["results"].append(result)
                    print("round %d %-4s row %-3s %6.1f MiB/s  %5.2f s  CPU %5.2f s  RSS %5.1f MiB  "
                          "unrelated CPU %5.2f s%s" % (
                              round_number, condition, row, result["mib_per_s"], result["wall"], result["cpu"],
                              result["maxrss_kib"] / 1024, result["unrelated_cpu"],
                              "" if result["ok"] else "  FAILED: " + "; ".join(result["problems"])), flush=True)
                bench.stop_spinners()
    finally:
        bench.stop()
    record["finished"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
    raw_path = os.path.join(bench.out, "results.json")
    with open(raw_path, "w") as raw:
        json.dump(record, raw, indent=1)
    print("raw measurements: %s" % raw_path)
    return record


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="the paint-trace build with the bench tools")
    parser.add_argument("--release-build", help="the shipping build, for the installer's size")
    parser.add_argument("--run-dir", help="made by tests/harness/run-setup")
    parser.add_argument("--port", type=int)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--rows", default=",".join(row for row, _, _ in ROWS + VARIANTS), help="which rows to run")
    parser.add_argument("--conditions", default="idle,busy",
                        help="idle: the machine as it is; busy: with a busy loop per CPU at the idle scheduling class")
    parser.add_argument("--results", help="file to prepend the results to (none: print only)")
    parser.add_argument("--quiet-wait", type=float, default=30,
                        help="longest wait, in seconds, for the machine to be idle before each run")
    parser.add_argument("--verify", action="store_true", help="compare every saved file with the payload")
    parser.add_argument("--report-from", help="write the report from this results.json of an earlier run instead")
    args = parser.parse_args()

    if args.report_from:
        with open(args.report_from) as raw:
            record = json.load(raw)
    else:
        if not (args.build and args.release_build and args.run_dir and args.port):
            parser.error("--build, --release-build, --run-dir and --port are needed to run")
        record = run_all(args)

    section = build_report(record)
    print()
    print(section)
    if args.results:
        prepend_results(args.results, section)
        print("prepended to %s" % args.results)
    return 0 if all(r["ok"] for r in record["results"]) else 1


if __name__ == "__main__":
    sys.exit(main())
