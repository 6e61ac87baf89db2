#!/usr/bin/env python3
"""ExtractAllBetween on the 10 MB / 50,000-link page against grep -oiP, side by side.

Each round runs, one after another on the same page: grep as a whole process,
the host-release extract_timing, and the win64 extract_timing under Wine (when
that build and Wine are there). Prints the medians over the rounds and the
ratios the goals are stated in.

    tests/bench/extract_vs_grep.py [--rounds N]

Needs build/host-release (and build/win64 for the Wine figures) with the target
extract_timing built.
"""
import argparse
import os
import pathlib
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
HOST = ROOT / "build/host-release/tests/bench/extract_timing"
WIN64 = ROOT / "build/win64/tests/bench/extract_timing.exe"
PATTERN = r"download-manifest&url=.*?\.plist"


def run_grep(page, out_path):
    """Wall and CPU milliseconds of one grep process writing its matches to a file.

    The output goes to a real file: GNU grep stops at the first match when it
    writes to /dev/null.
    """
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(out_path, "wb") as out:
        subprocess.run(["grep", "-oiP", PATTERN, page], stdout=out, check=True)
    wall = (time.perf_counter() - start) * 1e3
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1e3
    with open(out_path, "rb") as f:
        lines = sum(1 for _ in f)
    if lines != 50000:
        sys.exit(f"grep found {lines} links, not 50000")
    return wall, cpu


def run_timing(command, env=None):
    """First-call and best milliseconds of one extract_timing process."""
    out = subprocess.run(command, capture_output=True, text=True, env=env, check=True).stdout
    m = re.search(r"first ([0-9.]+) best ([0-9.]+)", out)
    if not m:
        sys.exit(f"unexpected output of {command[0]}:\n{out}")
    return float(m.group(1)), float(m.group(2))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if not HOST.exists():
        sys.exit(f"missing {HOST}: cmake --build --preset host-release --target extract_timing")
    wine = WIN64.exists() and shutil.which("/usr/lib/wine/wine64") is not None

    with tempfile.TemporaryDirectory() as tmp:
        page = os.path.join(tmp, "page.html")
        subprocess.run([HOST, "--page", page, "--runs", "1"], check=True, capture_output=True)
        # A Wine session that was already running (a test suite) is left running.
        started = wine and not (ROOT / "build/win64/wine/xvfb.pid").exists()
        if started:
            subprocess.run([ROOT / "scripts/wine-session", "start"], check=True)
        grep_wall, grep_cpu, host_first, host_best, wine_first, wine_best = ([] for _ in range(6))
        try:
            for _ in range(args.rounds):
                w, c = run_grep(page, os.path.join(tmp, "grep.out"))
                grep_wall.append(w)
                grep_cpu.append(c)
                f, b = run_timing([HOST, "--runs", "3"])
                host_first.append(f)
                host_best.append(b)
                if wine:
                    f, b = run_timing([ROOT / "scripts/wine-exec", WIN64, "--runs", "3"])
                    wine_first.append(f)
                    wine_best.append(b)
        finally:
            if started:
                subprocess.run([ROOT / "scripts/wine-session", "stop"], check=False)

    med = statistics.median
    print(f"page: 10 MB, 50,000 links; {args.rounds} rounds, medians in ms")
    print(f"  grep -oiP, whole process     wall {med(grep_wall):7.1f}   cpu {med(grep_cpu):7.1f}")
    print(f"  host-release, first call     {med(host_first):7.1f}")
    print(f"  host-release, best of 3      {med(host_best):7.1f}")
    if wine:
        print(f"  win64 under Wine, first call {med(wine_first):7.1f}")
        print(f"  win64 under Wine, best of 3  {med(wine_best):7.1f}")
    ratio = med(host_first) / med(grep_wall)
    print(f"host first call / grep wall: {ratio:.2f} (goal <= 1.5)")
    if wine:
        print(f"Wine first call / host first call: {med(wine_first) / med(host_first):.2f} (goal <= 3)")


if __name__ == "__main__":
    main()
