#!/usr/bin/env python3
"""Download throughput benchmark (run by scripts/bench): each row of ROWS downloads a setup program from an nginx of its
own over HTTPS on loopback, in rounds of a run per row with the CPUs free to idle and kept busy. A run's CPU time is split
into the process, the prefix's other Wine processes (reaped here, a child subreaper), nginx and Xvfb. Linux only."""

import argparse
import contextlib
import ctypes
import datetime
import json
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing of the run goes into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))

from wine_env import PRODUCT, WineRun, read_record, winpath  # noqa: E402

MIB = 1024 * 1024
PATH = PRODUCT["webview_path"]  # what the installer fetches in the prefix (Windows 10, no WebView2 Runtime), and
SMALL = PRODUCT["release_path"]  # where the WebView2 Runtime is registered: the setup program alone (rows 2f, 5f)
RUNTIME = r"HKCU\Software\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
SAVE_NAME = PRODUCT["setup_name"]
TICKS = os.sysconf("SC_CLK_TCK")
ROWS = {
    "1": "curl (native), to a file: the machine's ceiling", "2": "bare WinHTTP read loop, Wine (8 KiB reads)",
    "4": "DownloadFile + installer's progress callable, Wine", "4r": "the same with 3 attempts, Wine",
    "5": "whole installer, Wine (launch to exit, setup program run and deleted)",
    "5b": "the same, built from the baseline commit (VELMOR_BENCH_BASELINE)",
    "2f": "row 2 for the setup program alone: its fixed costs",
    "5f": "row 5 for the setup program alone (WebView2 Runtime registered): its fixed costs",
}
TARGETS = {"4": 0.95, "4r": 0.95, "5": 0.90}  # least throughput as a share of row 2's
CPU_TARGET = 1.10  # most machine CPU the whole installer (row 5) may take per payload as a multiple of row 2's
BASELINE_TARGET = 1.10  # most time row 5 may take as a multiple of row 5b's
CONDITIONS = {"idle": "Machine as it is (CPUs free to go idle)",
              "busy": "CPUs kept out of idle by one SCHED_IDLE busy loop per CPU"}


def stat(pid):
    """(state, parent pid, user + system ticks, start time) of a live process, or None."""
    try:
        fields = pathlib.Path("/proc/%d/stat" % pid).read_bytes().decode("latin-1").rsplit(")", 1)[1].split()
    except OSError:
        return None
    return fields[0], int(fields[1]), int(fields[11]) + int(fields[12]), int(fields[19])


def ticks(pid):
    return (stat(pid) or (0, 0, 0))[2] / TICKS


def prefix_processes(prefix):
    """{pid: (start time, ticks)} of the live processes whose environment names this Wine prefix."""
    marker = b"WINEPREFIX=" + prefix.encode()
    found = {}
    for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
        try:
            info = stat(pid) if marker in pathlib.Path("/proc/%d/environ" % pid).read_bytes().split(b"\0") else None
        except OSError:
            info = None
        if info:
            found[pid] = (info[3], info[2])
    return found


def reap_orphans(keep):
    """Waits for the ended processes handed to this subreaper (those not in keep); returns their CPU seconds."""
    seconds = 0.0
    for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
        info = stat(pid)
        if info and info[1] == os.getpid() and info[0] == "Z" and pid not in keep:
            with contextlib.suppress(ChildProcessError):
                usage = os.wait4(pid, 0)[2]
                seconds += usage.ru_utime + usage.ru_stime
    return seconds


class Bench:
    def __init__(self, args):
        self.args, self.build = args, os.path.abspath(args.build)  # absolute: each run has a folder of its own
        self.run, self.spinners, self.payload = WineRun(args.run_dir), [], args.payload_mib * MIB
        self.out = os.path.join(self.build, "bench-run")
        self.url, self.www = "https://localhost:%d%s" % (args.port, PATH), os.path.join(self.out, "www")
        shutil.rmtree(self.out, ignore_errors=True)
        for path in (PATH, SMALL):
            os.makedirs(os.path.dirname(os.path.join(self.www, path.lstrip("/"))), exist_ok=True)
        payload_path, program = os.path.join(self.www, PATH.lstrip("/")), pathlib.Path(self.build, "tools",
                                                                                      "fake_setup.exe").read_bytes()
        if len(program) > self.payload:
            raise SystemExit("the payload is smaller than the setup program (%d bytes)" % len(program))
        # The test setup program, padded with zero bytes written out (not a sparse file: the disk is read for real).
        pathlib.Path(payload_path).write_bytes(program + bytes(self.payload - len(program)))
        pathlib.Path(self.www, SMALL.lstrip("/")).write_bytes(program)
        self.sizes = {True: len(program), False: self.payload}  # of the small rows and of the others
        self.nginx = self.start_nginx()
        # Processes that Wine starts (it forks twice) come to this process when they end, so they can be measured.
        if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")

    def start_nginx(self):
        cert, key = self.run.certificate()
        with open(os.path.join(self.out, "nginx.conf"), "w") as conf:
            conf.write("daemon off; master_process off; pid nginx.pid; error_log error.log; %s events {}\nhttp { access_log "
                       "off; sendfile on; default_type application/octet-stream; client_body_temp_path tmp; proxy_temp_path"
                       " tmp; fastcgi_temp_path tmp; uwsgi_temp_path tmp; scgi_temp_path tmp; server { listen 127.0.0.1:%d "
                       "ssl; root %s; ssl_certificate %s; ssl_certificate_key %s; } }\n"
                       % ("user root;" if os.geteuid() == 0 else "", self.args.port, self.www, cert, key))
        nginx = subprocess.Popen(["nginx", "-p", self.out + "/", "-c", "nginx.conf", "-e", "error.log"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        for _ in range(100):
            with contextlib.suppress(OSError):
                return socket.create_connection(("127.0.0.1", self.args.port), timeout=1).close() or nginx
            time.sleep(0.1)
        raise RuntimeError("nginx did not listen on port %d; see %s/error.log" % (self.args.port, self.out))

    def set_condition(self, condition):
        """busy: one busy loop per CPU at the idle scheduling class, which gives way at once to any other task."""
        for spinner in self.spinners:
            spinner.kill()
            spinner.wait()
        self.spinners = [] if condition == "idle" else [
            subprocess.Popen([sys.executable, "-c", "while True: pass"], env={}, stdin=subprocess.DEVNULL,
                             preexec_fn=lambda: os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0)))
            for _ in range(os.cpu_count())]

    def stop(self):
        self.set_condition("idle")
        self.nginx.terminate()
        self.nginx.wait(15)
        reap_orphans(set())

    def command(self, row, save):
        def tool(name, *more, url=self.url):
            return [self.run.loader, os.path.join(self.build, "bench", name + ".exe"), url, winpath(save), *more]
        installer = [self.run.loader, os.path.join(self.build, PRODUCT["program_name"] + ".exe")]
        return {"1": ["curl", "-sS", "--fail", "--cacert", os.path.join(self.run.pki, "ca.pem"), "-o", save, self.url],
                "2": tool("winhttp_loop"), "2f": tool("winhttp_loop", url=self.url.replace(PATH, SMALL)),
                "4": tool("downloadfile_bench"), "4r": tool("downloadfile_bench", "3"), "5": installer, "5f": installer,
                "5b": [self.run.loader, self.args.baseline and os.path.abspath(self.args.baseline)]}[row]

    def measure(self, row, condition):
        """One run of a row: its wall time, CPU split and what went wrong (problems)."""
        cwd = os.path.join(self.out, "run")
        os.makedirs(cwd)
        installer, size = row.startswith("5"), self.sizes[row.endswith("f")]
        # Row 5f's installer finds a WebView2 Runtime and so fetches the setup program alone; the others find none.
        self.run.wine("reg", *(["add", RUNTIME, "/v", "pv", "/d", "1"] if row == "5f" else ["delete", RUNTIME]), "/f")
        save = os.path.join(cwd, SAVE_NAME if installer else "download.bin")
        staged_before = self.run.staging_folders()
        setup_log, trace = os.path.join(cwd, "setup-log.txt"), os.path.join(cwd, "paint-trace.txt")
        env = self.run.env(VELMOR_SETUP_LOG=winpath(setup_log), VELMOR_PAINT_TRACE_FILE=winpath(trace))
        wine_before = prefix_processes(self.run.prefix)
        nginx_before, xvfb_before = ticks(self.nginx.pid), ticks(self.run.xvfb_pid)
        launch = time.time()
        process = subprocess.Popen(self.command(row, save), cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # A blocking wait, so that this process takes no CPU from the run; a timer ends a run that hangs (3 min).
        watchdog = threading.Timer(180, process.kill)
        watchdog.start()
        status, usage = os.wait4(process.pid, 0)[1:]
        wall = time.time() - launch
        watchdog.cancel()
        process.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        others = sum(after - (wine_before[p][1] if wine_before.get(p, (None,))[0] == start else 0)
                     for p, (start, after) in prefix_processes(self.run.prefix).items())
        result = {"row": row, "condition": condition, "wall": wall, "mib_per_s": size / MIB / wall,
                  "cpu_own": usage.ru_utime + usage.ru_stime,
                  "cpu_wine": others / TICKS + reap_orphans({self.nginx.pid, *[s.pid for s in self.spinners]}),
                  "cpu_nginx": ticks(self.nginx.pid) - nginx_before, "cpu_xvfb": ticks(self.run.xvfb_pid) - xvfb_before}
        result["cpu"] = result["cpu_own"] + result["cpu_wine"]
        result["cpu_machine"] = result["cpu"] + result["cpu_nginx"] + result["cpu_xvfb"]
        paints = [int(ms) for ms in pathlib.Path(trace).read_text().split()] if os.path.exists(trace) else []
        if len(paints) >= 2:
            result.update(paints=len(paints), paints_per_s=len(paints) * 1000 / (paints[-1] - paints[0]),
                          first_paint=paints[0] / 1000 - launch)
        failed = {"exit code %d" % process.returncode: process.returncode != 0,
                  "the setup program did not run to its end": installer and read_record(setup_log).get("ended") != "1",
                  SAVE_NAME + " was not deleted": installer and (os.path.exists(save) or
                                                                 self.run.staging_folders() != staged_before),
                  "no paint trace": installer and len(paints) < 2,
                  "the saved file is incomplete": not installer and (not os.path.exists(save) or
                                                                     os.path.getsize(save) != size)}
        result["problems"] = [problem for problem, happened in failed.items() if happened]
        shutil.rmtree(cwd, ignore_errors=True)  # before the kernel starts writing 256 MiB back to disk
        return result


def spread(values, digits):
    """median (min–max) of the values that are there."""
    values, form = [v for v in values if v is not None], "%%.%df" % digits
    return "%s (%s–%s)" % (form % statistics.median(values), form % min(values), form % max(values)) if values else ""


COLUMNS = [("Seconds", "wall", 2), ("CPU s", "cpu", 2), ("own", "cpu_own", 2), ("other Wine", "cpu_wine", 2),
           ("nginx", "cpu_nginx", 2), ("Xvfb", "cpu_xvfb", 2), ("Machine CPU s", "cpu_machine", 2),
           ("Paints", "paints", 0), ("Paints/s", "paints_per_s", 0), ("First paint s", "first_paint", 2)]


def condition_table(condition, results):
    good = [r for r in results if r["condition"] == condition and not r["problems"]]
    runs = {row: [r for r in good if r["row"] == row] for row in ROWS if any(r["row"] == row for r in good)}
    median = {key: {row: statistics.median(r[key] for r in found) for row, found in runs.items()}
              for key in ("mib_per_s", "cpu_machine")}
    ratio = {key: {row: values[row] / values["2"] if "2" in values else None for row in runs}
             for key, values in median.items()}
    cpu = median["cpu_machine"]  # per payload: less the fixed costs, where both small rows ran
    per_payload = (cpu["5"] - cpu["5f"]) / (cpu["2"] - cpu["2f"]) if {"2", "2f", "5", "5f"} <= cpu.keys() else None
    lines = ["### %s" % CONDITIONS[condition], "", "| # | What | MiB/s | × row 2 | Machine CPU × row 2 | %s |" % " | ".join(
        title for title, _, _ in COLUMNS), "|---" * (len(COLUMNS) + 5) + "|"]
    for row, found in runs.items():
        cells = [row, ROWS[row], spread([r["mib_per_s"] for r in found], 1)]
        cells += ["%.2f" % ratio[key][row] if ratio[key][row] else "–" for key in ("mib_per_s", "cpu_machine")]
        cells += [spread([r.get(key) for r in found], digits) for _, key, digits in COLUMNS]
        lines.append("| %s |" % " | ".join(cells))
    lines.append("")
    rates = median["mib_per_s"]  # the same bytes in every row: the time is the inverse of the rate
    checks = [("row %s ≥ %.2f × row 2" % (row, t), ratio["mib_per_s"].get(row), t, False) for row, t in TARGETS.items()]
    checks += [("row 5's machine CPU per payload ≤ %.2f × row 2's" % CPU_TARGET, per_payload, CPU_TARGET, True),
               ("row 5 ≤ %.2f × the time of row 5b" % BASELINE_TARGET,
                rates["5b"] / rates["5"] if {"5", "5b"} <= rates.keys() else None, BASELINE_TARGET, True)]
    lines += ["- Target %s: %s (%.2f)." % (label, "met" if (value <= t if most else value >= t) else "MISSED", value)
              for label, value, t, most in checks if value]
    return lines + [""]


def report(record):
    failed = ["%s row %s: %s" % (r["condition"], r["row"], ", ".join(r["problems"])) for r in record["results"]
              if r["problems"]]
    lines = ["## %s" % record["started"], "",
             "Machine: %s. Source: %s. %d runs per row and condition after a warm-up round, rows interleaved; %d MiB "
             "from nginx on loopback. MiB/s = payload / wall time from launch to exit; median (min–max); × row 2 = ratio "
             "of the medians. CPU s = the process + the prefix's other Wine processes; machine CPU adds nginx and Xvfb; "
             "per payload, less the fixed costs (rows 2f, 5f). Paints and the first paint come from the paint trace."
             % (record["machine"], record["source"], record["runs"], record["payload_mib"]), "",
             "- Failed runs, left out: %s." % "; ".join(failed) if failed else "- Every run succeeded.", ""]
    for condition in CONDITIONS:
        lines += condition_table(condition, record["results"])
    return "\n".join(lines)


def describe(loader):
    """The machine with the Wine that loader starts, and the commit measured (+ when tracked files differ from it)."""
    output = lambda *command: subprocess.run(command, capture_output=True, text=True).stdout.strip()  # noqa: E731
    model = next(line.split(":", 1)[1].strip() for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines()
                 if line.startswith("model name"))
    git = ["git", "-C", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]
    return {"machine": "%s, %d cores, %s" % (model, os.cpu_count(), output(loader, "--version")),
            "source": "commit %s%s" % (output(*git, "rev-parse", "--short", "HEAD"),
                                       "+" if output(*git, "status", "--porcelain", "-uno") else "")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the paint-trace build with the bench tools")
    parser.add_argument("--run-dir", required=True, help="made by wine/run-setup")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rows", default=",".join(ROWS), help="which rows (see ROWS)")
    parser.add_argument("--results", help="file to prepend the results to (none: print only)")
    parser.add_argument("--payload-mib", type=int, default=256,
                        help="size of the setup program served, at least that of the test setup program (3)")
    parser.add_argument("--baseline", help="row 5b: the installer built from another commit")
    parser.add_argument("--baseline-source", default="", help="that commit, for the report")
    args = parser.parse_args()
    rows = [row for row in args.rows.split(",") if row in ROWS and (row != "5b" or args.baseline)]
    record = {"started": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
              "runs": args.runs, "payload_mib": args.payload_mib, "results": [], **describe(WineRun(args.run_dir).loader)}
    record["source"] += "; row 5b: commit %s" % args.baseline_source if args.baseline else ""
    bench = Bench(args)
    try:
        for round_number in range(args.runs + 1):  # round 0 warms up: it is not recorded
            for condition in CONDITIONS:
                bench.set_condition(condition)
                for row in rows:
                    result = bench.measure(row, condition)
                    record["results"] += [result] if round_number else []
                    print("round %d %s row %s %6.1f MiB/s  CPU %5.2f s %s" % (round_number, condition, row, result[
                        "mib_per_s"], result["cpu"], " ".join(result["problems"])), flush=True)
    finally:
        bench.stop()
    json.dump(record, open(os.path.join(bench.out, "results.json"), "w"), indent=1)
    section = report(record)
    print("\n" + section)
    if args.results:
        title = "# Download benchmark results\n\nMade by `scripts/bench`; the newest run first.\n"
        old = pathlib.Path(args.results).read_text(encoding="utf-8")
        pathlib.Path(args.results).write_text(title + "\n" + section + "\n" + old.removeprefix(title).lstrip(), "utf-8")
    return 1 if any(r["problems"] for r in record["results"]) else 0


if __name__ == "__main__":
    sys.exit(main())
