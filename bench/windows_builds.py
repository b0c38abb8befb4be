#!/usr/bin/env python3
"""Side-by-side timing, under Wine, of full updates by two builds of the
Windows program: one inflating with ISA-L, one with zlib. In one run,
alternating which goes first, it applies each package that make_packages.py
writes N times per build, every time to a fresh root whose `current` holds
the previous version, and prints per package and build the wall time and
user CPU of every run, their medians and the ISA-L build's ratio to zlib's.

Wall time is taken around the whole `wine64 updater.exe apply ...`; user
CPU is what /usr/bin/time reports for that process and its children, so it
leaves out the Wine server. A server started here stays up for the whole
benchmark (otherwise every run would pay for starting one and Wine's
services), and ends by itself, closing those services, SERVER_LINGER
seconds after the last run: a server ended by a signal would leave them
running. Roots are created below a directory marked chattr +T, as bench/run.py
explains.

usage: windows_builds.py ISAL_EXE ZLIB_EXE [--runs N] [--packages DIR]
Needs WINEPREFIX set to an initialised prefix.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

from run import prepare_root, sh

HERE = os.path.dirname(os.path.abspath(__file__))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
SERVER_LINGER = 30  # seconds; longer than preparing a root takes


def windows_path(path):
    """Wine shows the Unix root as drive Z:."""
    return "Z:" + path.replace("/", "\\")


def apply_update(exe, root, package):
    """Wall seconds and user CPU seconds of one update."""
    command = ["/usr/bin/time", "-v", WINE, exe, "apply", "--pid", "0", "--package", windows_path(package),
               "--app-dir", windows_path(root), "--version", "2", "--exe", "app.exe"]
    t0 = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - t0
    with open(os.path.join(root, ".version")) as version:
        applied = version.read().strip() == "2"
    if result.returncode != 0 or not applied:
        sys.exit("%s failed on %s:\n%s" % (exe, package, result.stderr))
    user = float(re.search(r"User time \(seconds\): ([\d.]+)", result.stderr).group(1))
    return seconds, user


def figures(values):
    return " ".join("%6.2f" % v for v in values) + "  | %6.2f" % statistics.median(values)


def bench_package(builds, package, template, work, runs):
    times = {name: [] for name in builds}
    order = list(builds)
    for run in range(runs):
        for name in order[run % 2:] + order[:run % 2]:
            times[name].append(apply_update(builds[name], prepare_root(work, template), package))
    medians = {}
    for name, results in times.items():
        wall = [w for w, _ in results]
        user = [u for _, u in results]
        medians[name] = (statistics.median(wall), statistics.median(user))
        print("  %-5s wall s %s   user s %s" % (name, figures(wall), figures(user)), flush=True)
    return medians["isal"][0] / medians["zlib"][0], medians["isal"][1] / medians["zlib"][1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("isal_exe")
    parser.add_argument("zlib_exe")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--packages", default=os.path.join(HERE, "..", "build-bench", "packages"))
    args = parser.parse_args()
    if "WINEPREFIX" not in os.environ:
        sys.exit("WINEPREFIX is not set")
    builds = {"isal": os.path.abspath(args.isal_exe), "zlib": os.path.abspath(args.zlib_exe)}
    packages = os.path.abspath(args.packages)
    sh("python3 '%s' '%s'" % (os.path.join(HERE, "make_packages.py"), packages))

    work = tempfile.mkdtemp(prefix="updater-wine-bench-", dir=os.path.dirname(packages))
    subprocess.run(["chattr", "+T", work], stderr=subprocess.DEVNULL)
    server = subprocess.Popen([WINESERVER, "--foreground", "--persistent=%d" % SERVER_LINGER])
    time.sleep(1)
    if server.poll() is not None:
        print("note: another Wine server serves this prefix; it may end, and be started again, between runs")
    ratios = []
    try:
        # Loads Wine and the program once before anything is timed.
        for exe in builds.values():
            subprocess.run([WINE, exe, "--help"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print("%d runs per build; per run, then the median" % args.runs)
        for name in ["app", "large"]:
            package = os.path.join(packages, name + ".zip")
            template = os.path.join(work, "prev-" + name)
            sh("unzip -q '%s' -d '%s'" % (os.path.join(packages, "prev-" + name + ".zip"), template))
            sh("cat '%s' >/dev/null" % package)  # read from the page cache by every run alike
            print(name + ":", flush=True)
            wall, user = bench_package(builds, package, template, work, args.runs)
            print("  isal/zlib: wall %.2f, user CPU %.2f" % (wall, user), flush=True)
            ratios.append((name, wall, user))
            sh("rm -rf '%s'" % template)
    finally:
        sh("rm -rf '%s'" % work)
        try:
            server.wait(timeout=SERVER_LINGER + 30)
        except subprocess.TimeoutExpired:
            server.terminate()
            server.wait()
    print("ratios isal/zlib: " + "; ".join("%s wall %.2f user %.2f" % r for r in ratios))


if __name__ == "__main__":
    main()
