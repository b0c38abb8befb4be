#!/usr/bin/env python3
"""Side-by-side benchmark of a full update, on the two packages that
make_packages.py writes. In one run, alternating, it times N updates of
each package by

  updater   updater apply on a fresh root whose `current` holds the
            previous version (a process id that is not running);
  unzip     mv current current.bak && unzip -q PKG -d current && rm -rf current.bak
  bsdtar    mv current current.bak && mkdir current && bsdtar -xf PKG -C current
            && rm -rf current.bak
  no-sync   (with --durability) the updater with every flush to stable
            storage turned into a no-op, to show what durability costs.
  1 worker  (with --one-worker PROGRAM) the updater built to extract with a
            single worker, to show what the pool of workers gains.
  sha256    the updater given the package's SHA-256 (--sha256), which it
            computes on a thread beside the extraction: what checking costs.
  prepared  updater prepare on the fresh root, timed on its own, then
            updater apply, which finds the prepared copy and only swaps it
            in: what matters is its time to the "Launched" line, the time the
            application is down.

Every run starts from a freshly copied `current` with nothing left to write
back (sync), so no method pays for another's writes.

Each run's root is a new directory below a parent marked as a top of a
directory hierarchy (chattr +T), so that ext4 places it, and the files
created in it, in a block group of its own choosing. Without that, every
run creates its files among the inodes that the runs before it deleted
seconds earlier; on an ext4 without a journal, as on the machine these
figures come from, the kernel then checks every such recently deleted
inode before it reuses one, which doubles the time of every method on the
app-shaped package. An installation being updated has not lost thousands
of files in its own directories within the last minute.

usage: run.py UPDATER [--runs N] [--packages DIR] [--durability] [--one-worker PROGRAM]
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def sh(command, **kwargs):
    subprocess.run(command, shell=True, check=True, **kwargs)


def prepare_root(work, template):
    root = os.path.join(work, "root")
    if os.path.exists(root):
        sh("rm -rf '%s'" % root)
    os.makedirs(root)
    sh("cp -a '%s' '%s'" % (template, os.path.join(root, "current")))
    sh("sync")
    return root


def launched_after(root, started):
    """Seconds from the start to the log's "Launched" line."""
    with open(os.path.join(root, "updater.log")) as log:
        for line in log:
            if "] Launched: " in line:
                stamp = datetime.datetime.strptime(line[1:24], "%Y-%m-%d %H:%M:%S.%f")
                return (stamp - started).total_seconds()
    return float("nan")


def run_updater(updater, root, package, env=None, extra=()):
    started = datetime.datetime.now()
    t0 = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-v", updater, "apply", "--pid", "999999999", "--package", package,
                             "--app-dir", root, "--version", "2", "--exe", "app.exe"] + list(extra),
                            stderr=subprocess.PIPE, text=True, env=env)
    seconds = time.perf_counter() - t0
    if result.returncode != 0:
        sys.exit("updater failed:\n" + result.stderr)
    rss_kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    return seconds, launched_after(root, started), rss_kb / 1024.0


def run_prepared(updater, root, package):
    """The preparation's time, then the update's, its time to "Launched" and
    its peak memory."""
    t0 = time.perf_counter()
    sh("'%s' prepare --package '%s' --app-dir '%s' --version 2" % (updater, package, root))
    preparing = time.perf_counter() - t0
    sh("sync")
    applying, after, peak = run_updater(updater, root, package)
    with open(os.path.join(root, "updater.log")) as log:
        if "Using the prepared copy" not in log.read():
            sys.exit("the update did not use the prepared copy")
    return preparing, applying, after, peak


def run_shell(command, root):
    t0 = time.perf_counter()
    sh(command, cwd=root)
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("updater")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--packages", default=os.path.join(HERE, "..", "build-bench", "packages"))
    parser.add_argument("--durability", action="store_true")
    parser.add_argument("--one-worker")
    args = parser.parse_args()
    updater = os.path.abspath(args.updater)
    packages = os.path.abspath(args.packages)
    sh("python3 '%s' '%s'" % (os.path.join(HERE, "make_packages.py"), packages))

    work = tempfile.mkdtemp(prefix="updater-bench-", dir=os.path.dirname(packages))
    subprocess.run(["chattr", "+T", work], stderr=subprocess.DEVNULL)
    nosync_env = None
    if args.durability:
        nosync = os.path.join(work, "nosync.so")
        sh("cc -O2 -shared -fPIC -o '%s' '%s'" % (nosync, os.path.join(HERE, "nosync.c")))
        nosync_env = dict(os.environ, LD_PRELOAD=nosync)

    ratios = []
    try:
        for name in ["app", "large"]:
            package = os.path.join(packages, name + ".zip")
            template = os.path.join(work, "prev-" + name)
            sh("unzip -q '%s' -d '%s'" % (os.path.join(packages, "prev-" + name + ".zip"), template))
            methods = {
                "updater": lambda root: run_updater(updater, root, package),
                "unzip": lambda root: run_shell(
                    "mv current current.bak && unzip -q '%s' -d current && rm -rf current.bak" % package, root),
                "bsdtar": lambda root: run_shell(
                    "mv current current.bak && mkdir current && bsdtar -xf '%s' -C current && rm -rf current.bak"
                    % package, root),
            }
            if nosync_env:
                methods["no-sync"] = lambda root: run_updater(updater, root, package, nosync_env)
            if args.one_worker:
                methods["1 worker"] = lambda root: run_updater(os.path.abspath(args.one_worker), root, package)
            methods["prepared"] = lambda root: run_prepared(updater, root, package)
            with open(package, "rb") as packed:
                digest = hashlib.file_digest(packed, "sha256").hexdigest()
            methods["sha256"] = lambda root: run_updater(updater, root, package, extra=("--sha256", digest))
            times = {m: [] for m in methods}
            launched = {m: [] for m in ("updater", "1 worker", "prepared", "sha256")}
            rss = {m: [] for m in launched}
            preparing = []
            order = list(methods)
            for run in range(args.runs):
                for method in order[run % len(order):] + order[:run % len(order)]:
                    root = prepare_root(work, template)
                    result = methods[method](root)
                    if method == "prepared":
                        preparing.append(result[0])
                        result = result[1:]
                    if method in launched:
                        seconds, after, peak = result
                        launched[method].append(after)
                        rss[method].append(peak)
                    else:
                        seconds = result if method != "no-sync" else result[0]
                    times[method].append(seconds)
            sh("rm -rf '%s'" % template)
            median = {m: statistics.median(t) for m, t in times.items()}
            to_unzip = median["updater"] / median["unzip"]
            to_bsdtar = median["updater"] / median["bsdtar"]
            ratios.append((name, to_unzip, to_bsdtar))
            line = ("%-5s median of %d: updater %.2f s, unzip %.2f s, bsdtar %.2f s; updater/unzip %.2f, "
                    "updater/bsdtar %.2f; Launched after %.2f s; peak RSS %.1f MiB" % (
                        name, args.runs, median["updater"], median["unzip"], median["bsdtar"], to_unzip,
                        to_bsdtar, statistics.median(launched["updater"]), max(rss["updater"])))
            if nosync_env:
                line += "; without syncs %.2f s (durability costs %.0f%%)" % (
                    median["no-sync"], 100.0 * (median["updater"] / median["no-sync"] - 1))
            print(line, flush=True)
            if args.one_worker:
                one = median["1 worker"]
                print("%-5s one worker: %.2f s, 1 worker/bsdtar %.2f, pool/1 worker %.2f; Launched after %.2f s; "
                      "peak RSS %.1f MiB" % (name, one, one / median["bsdtar"], median["updater"] / one,
                                             statistics.median(launched["1 worker"]), max(rss["1 worker"])),
                      flush=True)
            print("%-5s with --sha256: %.2f s, sha256/updater %.2f; Launched after %.2f s; peak RSS %.1f MiB" % (
                name, median["sha256"], median["sha256"] / median["updater"],
                statistics.median(launched["sha256"]), max(rss["sha256"])), flush=True)
            print("%-5s prepared: prepare %.2f s, prepare/updater %.2f; then apply %.3f s, Launched after %.3f s "
                  "(%.0f ms; without a prepared copy %.2f s); peak RSS %.1f MiB" % (
                      name, statistics.median(preparing), statistics.median(preparing) / median["updater"],
                      median["prepared"], statistics.median(launched["prepared"]),
                      1000 * statistics.median(launched["prepared"]), statistics.median(launched["updater"]),
                      max(rss["prepared"])), flush=True)
    finally:
        sh("rm -rf '%s'" % work)
    print("ratios: " + "; ".join("%s updater/unzip %.2f updater/bsdtar %.2f" % r for r in ratios))


if __name__ == "__main__":
    main()
