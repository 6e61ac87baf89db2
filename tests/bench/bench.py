#!/usr/bin/env python3
"""`make bench`: every speed figure of the program side by side with its
yardstick, measured in one run on this machine, written to
docs/performance.md with a plot of lookup time against the number of
manifests.

    tests/bench/bench.py [--root TREE] [--rounds N] [--no-wine] [--json OUT]
                         [--before JSON] [--no-docs] [--only PARTS]

--root      the tree whose builds are measured (default: this one); it needs
            tests/bench of this tree (the base of a change can borrow it)
--json      also write the raw figures there
--before    a --json file of an earlier run: its figures become a column
--no-docs   print the table only
--only      measure only these parts (comma-separated: m20, many, big,
            extract, idle, gbench, readers, plot, round_trips)

It builds host-release (and win64 when Wine is installed), starts its own
loopback server (tests/bench/bench_server.cpp: generated pages, every answer
optionally delayed; one epoll thread, so that it is not what the figures
measure) and runs, one after another, the command-line program, the
in-process timing programs, curl and grep over the same addresses and pages.
The round-trip figures (tests/bench/round_trips.py) fetch over TLS through a
proxy that delays every byte, from the bench server (HTTP/1.1) and from
nghttpd (HTTP/2).
"""
import argparse
import datetime
import json
import os
import pathlib
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import extract_vs_grep  # noqa: E402  (the extraction figures, shared)
import round_trips  # noqa: E402  (the far servers)

WINE = "/usr/lib/wine/wine64"
BIG_MB = 60
PLOT_COUNTS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000]
GREP_PATTERN = extract_vs_grep.PATTERN
# The loopback server and the delay proxy, always this tree's own (--root may
# name another tree).
SERVER = HERE.parents[1] / "build/host-release/tests/bench/bench_server"
DELAY_PROXY = HERE.parents[1] / "build/host-release/tests/bench/delay_proxy"
# Every program measured takes the proxies of its environment: none here.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY",
                   "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")
PARTS = ("m20", "many", "big", "extract", "idle", "gbench", "readers", "plot", "round_trips")


# --- Running things --------------------------------------------------------


def run(command, env=None, stdin=None, ok=(0,)):
    """Wall seconds, CPU seconds, peak resident KiB and standard output of one
    process (its children included: none of ours start any). An exit status
    not in `ok` ends the bench."""
    start = time.perf_counter()
    p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         stdin=stdin if stdin is not None else subprocess.DEVNULL, env=env)
    out = p.stdout.read()
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode not in ok:
        sys.exit(f"{command[0]} failed ({p.returncode})")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss, out


def cmake(tree, preset, targets):
    subprocess.run(["cmake", "--preset", preset], cwd=tree, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", *targets], cwd=tree,
                   check=True, stdout=subprocess.DEVNULL)


def build_server():
    cmake(HERE.parents[1], "host-release", ["bench_server", "delay_proxy"])


def median_of(rounds, measure):
    values = [measure() for _ in range(rounds)]
    return statistics.median(values)


class Server:
    """tests/bench/bench_server (built from this tree) on 127.0.0.1, for the
    life of the object."""

    def __init__(self, tmp, tls):
        ports = os.path.join(tmp, "ports.json")
        self.process = subprocess.Popen([SERVER, "--ports-file", ports, "--tls", *tls],
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        round_trips.wait_for_file(ports, "the bench server")
        with open(ports) as f:
            ports = json.load(f)
        self.port, self.tls_port = ports["port"], ports["tls"]

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def page(self, n, delay=0):
        return self.url(f"/page?n={n}&delay={delay}")

    def manifests(self, n, delay=0):
        return [self.url(f"/m/{delay}/{k}.plist") for k in range(1, n + 1)]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


# --- The programs measured ------------------------------------------------


class Programs:
    def __init__(self, root, wine):
        self.root = root
        self.cli = root / "build/host-release/src/app/tobrine"
        self.extract = root / "build/host-release/tests/bench/extract_timing"
        self.gbench = root / "build/host-release/tests/bench/extract_bench"
        self.lookup = root / "build/host-release/tests/bench/lookup_timing"
        self.wine_lookup = root / "build/win64/tests/bench/lookup_timing.exe"
        self.wine_extract = root / "build/win64/tests/bench/extract_timing.exe"
        self.wine_addroot = root / "build/win64/tests/unit/wine_addroot.exe"
        self.readers = root / "build/host-release/tests/bench/reader_timing"
        self.wine = wine

    def build(self):
        cmake(self.root, "host-release", ["tobrine", "extract_timing", "extract_bench",
                                          "lookup_timing", "reader_timing"])
        if self.wine:
            cmake(self.root, "win64", ["lookup_timing", "extract_timing", "wine_addroot"])

    def lookup_cli(self, url, env=None, ok=(0, 1)):
        """Wall, CPU, peak KiB and rows of the command line on one address
        (exit status 1: no link found, as on a page without any)."""
        wall, cpu, peak, out = run([self.cli, url], env=env, ok=ok)
        return wall, cpu, peak, out.count(b"\n")

    def lookup_wine(self, url):
        """In-process milliseconds and rows of the win64 lookup under Wine."""
        _, _, _, out = run([self.root / "scripts/wine-exec", self.wine_lookup, url])
        m = re.search(rb"rows (\d+) ms ([0-9.]+)", out)
        if not m:
            sys.exit(f"unexpected output of lookup_timing.exe: {out!r}")
        return float(m.group(2)) / 1000, int(m.group(1))


def curl_parallel(urls, tmp):
    """Wall seconds of one curl fetching every address, 8 at a time."""
    return curl_parallel_run(urls, tmp)[0]


def curl_parallel_run(urls, tmp, options=("--parallel-immediate",)):
    """Wall and CPU seconds of one curl fetching every address, 8 at a time
    (opening connections at once: without --parallel-immediate curl waits for
    each connection in the hope of multiplexing over it, which HTTP/1.1
    cannot)."""
    config = os.path.join(tmp, "curl.cfg")
    with open(config, "w") as f:
        for u in urls:
            f.write(f'url = "{u}"\noutput = "/dev/null"\n')
    return run(["curl", "-s", "--parallel", *options, "--parallel-max", "8", "-K", config])[:2]


def curl_loop(urls):
    """Wall seconds of one curl process per address, one after another."""
    start = time.perf_counter()
    for u in urls:
        run(["curl", "-s", "-o", "/dev/null", u])
    return time.perf_counter() - start


# --- The figures ------------------------------------------------------------


def expect_rows(got, want, what):
    if got != want:
        sys.exit(f"{what}: {got} rows, expected {want}")


def manifests_side_by_side(p, server, tmp, rounds, results):
    """20 manifests, each answered after 200 ms, the page too."""
    def ours():
        wall, _, _, rows = p.lookup_cli(server.page(20, 200))
        expect_rows(rows, 20, "20 manifests")
        return wall

    def yardstick():
        page = run(["curl", "-s", "-o", "/dev/null", server.page(20, 200)])[0]
        return page + curl_parallel(server.manifests(20, 200), tmp)

    results["m20"] = median_of(rounds, ours)
    results["m20_curl8"] = median_of(rounds, yardstick)
    if p.wine:
        def wine():
            seconds, rows = p.lookup_wine(server.page(20, 200))
            expect_rows(rows, 20, "20 manifests under Wine")
            return seconds
        results["m20_wine"] = median_of(rounds, wine)


def many_manifests(p, server, tmp, rounds, results):
    """The program and its yardstick take turns, round after round, so that
    both meet the same moments of a busy machine; every round is kept."""
    for n in (100, 1000):
        ours, parallel, ours_cpu, curl_cpu = [], [], [], []
        for _ in range(max(rounds, 7)):
            wall, cpu, _, rows = p.lookup_cli(server.page(n))
            expect_rows(rows, n, f"{n} manifests")
            ours.append(wall)
            ours_cpu.append(cpu)
            page = run(["curl", "-s", "-o", "/dev/null", server.page(n)])
            manifests = curl_parallel_run(server.manifests(n), tmp)
            parallel.append(page[0] + manifests[0])
            curl_cpu.append(page[1] + manifests[1])
        results[f"m{n}_cpu"] = statistics.median(ours_cpu)
        results[f"m{n}_curl8_cpu"] = statistics.median(curl_cpu)
        results[f"m{n}"] = statistics.median(ours)
        results[f"m{n}_curl8"] = statistics.median(parallel)
        results[f"m{n}_runs"] = ours
        results[f"m{n}_curl8_runs"] = parallel
    results["m100_loop"] = median_of(rounds, lambda: curl_loop([server.page(100)] +
                                                              server.manifests(100)))


def big_page(p, server, tmp, rounds, results):
    """A page of BIG_MB MiB without a single link; the program and its
    yardstick take turns."""
    url = server.url(f"/big?mb={BIG_MB}")
    path = os.path.join(tmp, "big.html")
    subprocess.run(["curl", "-s", "-o", path, url], check=True)
    size = os.path.getsize(path)

    def yardstick():
        curl = run(["curl", "-s", "-o", "/dev/null", url])
        # grep writes its (no) matches to a file: it stops early on /dev/null.
        with open(os.path.join(tmp, "grep.out"), "wb") as out:
            start = time.perf_counter()
            g = subprocess.Popen(["grep", "-oiP", GREP_PATTERN, path], stdout=out)
            _, _, usage = os.wait4(g.pid, 0)
            grep_wall = time.perf_counter() - start
        return curl[0] + grep_wall, max(curl[2], usage.ru_maxrss) * 1024

    runs, yard = [], []
    for _ in range(max(rounds, 5)):
        runs.append(p.lookup_cli(url))
        yard.append(yardstick())
    results["big_bytes"] = size
    results["big"] = statistics.median(r[0] for r in runs)
    results["big_peak"] = max(r[2] for r in runs) * 1024
    results["big_curl_grep"] = statistics.median(y[0] for y in yard)
    results["big_curl_grep_peak"] = max(y[1] for y in yard)


def idle_cpu(p, server, results):
    """CPU of a lookup whose page answers after 5 s (fetched twice: no link on
    it), less the CPU of the same lookup answered at once."""
    slow = p.lookup_cli(server.url("/slow?ms=5000"))
    quick = min((p.lookup_cli(server.url("/slow?ms=0")) for _ in range(3)), key=lambda r: r[1])
    results["idle_wait"] = slow[0] - quick[0]
    results["idle_cpu"] = max(0.0, slow[1] - quick[1])


def extraction(p, tmp, rounds, results):
    page = os.path.join(tmp, "page.html")
    subprocess.run([p.extract, "--page", page, "--runs", "1"], check=True,
                   capture_output=True)
    grep = [extract_vs_grep.run_grep(page, os.path.join(tmp, "grep.out"))[0]
            for _ in range(rounds)]
    host = [extract_vs_grep.run_timing([p.extract, "--runs", "3"])[0] for _ in range(rounds)]
    results["extract"] = statistics.median(host) / 1000
    results["extract_grep"] = statistics.median(grep) / 1000
    results["extract_python"] = statistics.median(
        python_re(page) for _ in range(rounds)) / 1000
    if p.wine:
        wine = [extract_vs_grep.run_timing([p.root / "scripts/wine-exec", p.wine_extract,
                                            "--runs", "3"])[0] for _ in range(rounds)]
        results["extract_wine"] = statistics.median(wine) / 1000


def python_re(page):
    with open(page, "rb") as f:
        text = f.read()
    start = time.perf_counter()
    n = len(re.findall(rb"(?i)download-manifest&url=.*?\.plist", text))
    took = (time.perf_counter() - start) * 1000
    if n != 50000:
        sys.exit(f"Python re found {n} links")
    return took


def reader_growth(p, results):
    """Every reader on the hostile pages of its own search literals
    (tests/unit/linear_pages.h) at sizes that hurt: the largest growth from k
    to 4k. glibc's allocator is kept from handing large blocks back to the
    system between calls, which would make the time of large pages grow by
    more than their work."""
    env = dict(os.environ, GLIBC_TUNABLES="glibc.malloc.mmap_threshold=268435456:"
               "glibc.malloc.trim_threshold=268435456")
    done = subprocess.run([p.readers, p.root], capture_output=True, text=True, env=env)
    if done.returncode not in (0, 1) or not done.stdout:
        sys.exit(f"reader_timing failed ({done.returncode}): {done.stderr}")
    results["readers"] = [line.split("\t") for line in done.stdout.splitlines()]


def readers_table(r):
    lines = ["| reader | pages | largest growth, k to 4k | its times | the page at 4k | where |",
             "|---|---|---|---|---|---|"]
    for name, pages, ratio, small, large, size, where in r.get("readers", []):
        shape = where.split(", ", 1)[-1].replace("|", "\\|")
        lines.append(f"| {name} | {pages} | {float(ratio):.1f} | {float(small) * 1000:.2f} -> "
                     f"{float(large) * 1000:.2f} ms | {int(size) / 1024:.0f} KiB | {shape} |")
    return "\n".join(lines)


def google_benchmark(p, results):
    out = subprocess.run([p.gbench, "--benchmark_format=json"], capture_output=True,
                         check=True).stdout
    results["gbench"] = {b["name"]: b["real_time"] for b in json.loads(out)["benchmarks"]}


def curl_far(page, manifests, protocol, ca, tmp):
    """Wall seconds of curl fetching a far page, then its manifests 8 at a
    time: connections opened at once over HTTP/1.1, HTTP/2 streams on one
    connection per host."""
    options = ["--cacert", ca] + (["--parallel-immediate"] if protocol == "h1" else [])
    wall = run(["curl", "-s", "--cacert", ca, "-o", "/dev/null", page])[0]
    return wall + curl_parallel_run(manifests, tmp, options)[0]


def round_trip_figures(p, far, tmp, rounds, ca, results):
    """Page + 20 manifests over TLS, far away: the program and curl take turns,
    round after round; every round is kept."""
    env = dict(os.environ, SSL_CERT_FILE=ca)
    for protocol in round_trips.PROTOCOLS:
        for hosts in round_trips.HOSTS:
            for rtt in round_trips.ROUND_TRIPS:
                page, manifests = far.lookup(protocol, rtt, hosts)
                k = round_trips.key(protocol, hosts, rtt)
                # A program that cannot fetch from this server at all (an
                # earlier tree over HTTP/2) has the row marked, not measured.
                if p.lookup_cli(page, env, ok=(0, 1, 3))[3] != round_trips.MANIFESTS:
                    results[k + "_fails"] = True
                    continue
                ours, curl = [], []
                for _ in range(max(rounds, 5)):
                    wall, _, _, rows = p.lookup_cli(page, env)
                    expect_rows(rows, round_trips.MANIFESTS, f"{page} ({protocol})")
                    ours.append(wall)
                    curl.append(curl_far(page, manifests, protocol, ca, tmp))
                results[k], results[k + "_runs"] = statistics.median(ours), ours
                results[k + "_curl"], results[k + "_curl_runs"] = statistics.median(curl), curl


def wine_round_trips(p, server, far, ca_der, rounds, results):
    """The win64 lookup under Wine, HTTP/1.1 over TLS at 50 ms, one host: its
    time, and how many connections WinINet opened for its 21 fetches."""
    subprocess.run([p.root / "scripts/wine-exec", p.wine_addroot, "Z:" + ca_der, "user"],
                   check=True, stdout=subprocess.DEVNULL)
    page, _ = far.lookup("h1", 50, 1)

    def connections():
        return int(run(["curl", "-s", server.url("/__connections")])[3])

    times, opened = [], []
    for _ in range(max(rounds, 3)):
        before = connections()
        seconds, rows = p.lookup_wine(page)
        expect_rows(rows, round_trips.MANIFESTS, "far page under Wine")
        times.append(seconds)
        opened.append(connections() - before)
    results["rt_wine"], results["rt_wine_runs"] = statistics.median(times), times
    results["rt_wine_connections"] = opened


def plot_series(p, server, far, ca, results):
    """Lookup time against the number of manifests: the program, one curl
    process per address one after another, and curl 8 at a time; and far away
    (HTTP/2 over TLS, 200 ms round trip), the program and curl 8 at a time."""
    tmp = tempfile.mkdtemp()
    env = dict(os.environ, SSL_CERT_FILE=ca)
    try:
        series = []
        for n in PLOT_COUNTS:
            wall, _, _, rows = p.lookup_cli(server.page(n))
            expect_rows(rows, n, f"{n} manifests")
            loop = curl_loop([server.page(n)] + server.manifests(n))
            parallel = (run(["curl", "-s", "-o", "/dev/null", server.page(n)])[0] +
                        curl_parallel(server.manifests(n), tmp))
            page, manifests = far.lookup("h2", 200, 1, n)
            far_wall, _, _, rows = p.lookup_cli(page, env)
            expect_rows(rows, n, f"{n} manifests, 200 ms away")
            far_curl = curl_far(page, manifests, "h2", ca, tmp)
            series.append([n, wall, loop, parallel, far_wall, far_curl])
        results["plot"] = series
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# --- The table --------------------------------------------------------------


def seconds(x):
    return f"{x:.2f} s" if x >= 1 else f"{x * 1000:.0f} ms"


def mib(x):
    return f"{x / (1 << 20):.0f} MiB"


def rows_of(r):
    """(work, figure key, formatter, yardstick text, ratio text, goal)."""
    rows = []
    if "m20" in r:
        rows.append(("page with 20 manifests, every answer after 200 ms (command line)", "m20",
                     seconds, f"curl, page then 8 at a time: {seconds(r['m20_curl8'])}",
                     r["m20"] / r["m20_curl8"], "<= 1.0 s"))
    if "m20_wine" in r:
        rows.append(("the same, win64 under Wine (lookup in process)", "m20_wine", seconds,
                     f"curl, page then 8 at a time: {seconds(r['m20_curl8'])}",
                     r["m20_wine"] / r["m20_curl8"], "<= 1.0 s"))
    if "extract" in r:
        rows.append(("`ExtractAllBetween`, 10 MB page, 50,000 links (first call)", "extract",
                     seconds, f"`grep -oiP` as a whole process: {seconds(r['extract_grep'])}; "
                     f"Python `re`: {seconds(r['extract_python'])}",
                     r["extract"] / r["extract_grep"], "<= 1.5x grep"))
    if "extract_wine" in r:
        rows.append(("the same, win64 under Wine", "extract_wine", seconds,
                     f"the host build: {seconds(r['extract'])}", r["extract_wine"] / r["extract"],
                     "<= 3x the host"))
    if "big" in r:
        size = r["big_bytes"]
        rows.append((f"lookup of a {size >> 20} MiB page without links (fetched twice: the "
                     "second time as an iPhone)", "big", seconds,
                     f"`curl -o /dev/null` + `grep -oiP`: {seconds(r['big_curl_grep'])}",
                     r["big"] / r["big_curl_grep"], "<= 3x"))
        rows.append(("its peak memory", "big_peak", mib,
                     f"the page: {mib(size)} (curl, grep: {mib(r['big_curl_grep_peak'])})",
                     r["big_peak"] / size, "<= 2.5x the page"))
    if "m100" in r:
        rows.append(("lookup of 100 manifests on loopback", "m100", seconds,
                     f"a curl loop: {seconds(r['m100_loop'])}; curl 8 at a time: "
                     f"{seconds(r['m100_curl8'])}", r["m100"] / r["m100_curl8"],
                     "(curl 8 at a time)"))
    if "m1000" in r:
        rows.append(("lookup of 1,000 manifests on loopback", "m1000", seconds,
                     f"`curl --parallel --parallel-max 8`: {seconds(r['m1000_curl8'])}",
                     r["m1000"] / r["m1000_curl8"], "<= 1.2x"))
    if "idle_cpu" in r:
        rows.append(("CPU while a fetch waits", "idle_cpu",
                     lambda x: f"{x:.3f} s over {r['idle_wait']:.1f} s", "0",
                     r["idle_cpu"] / r["idle_wait"], "< 1 % of the wait"))
    return rows


def spread(r):
    """Every round of the manifest figures, fastest to slowest."""
    lines = []
    for n, label in ((100, "100 manifests"), (1000, "1,000 manifests")):
        if f"m{n}_runs" not in r:
            continue
        ours, curl = r[f"m{n}_runs"], r[f"m{n}_curl8_runs"]
        ratios = sorted(o / c for o, c in zip(ours, curl))
        lines.append(f"- {label}, {len(ours)} rounds taken in turn: the program "
                     f"{', '.join(seconds(x) for x in sorted(ours))}; curl 8 at a time "
                     f"{', '.join(seconds(x) for x in sorted(curl))}; the ratio of each round "
                     f"{ratios[0]:.2f} to {ratios[-1]:.2f}" +
                     (f"; CPU time (median) the program {seconds(r[f'm{n}_cpu'])}, curl "
                      f"{seconds(r[f'm{n}_curl8_cpu'])}." if f"m{n}_cpu" in r else "."))
    return "\n".join(lines)


def table(r, before=None):
    head = "| work | " + ("before | " if before else "") + "now | yardstick | ratio | goal |"
    lines = [head, "|---" * (head.count("|") - 1) + "|"]
    for work, key, fmt, yard, ratio, goal in rows_of(r):
        ratio_text = f"{ratio * 100:.2f} %" if key == "idle_cpu" else f"{ratio:.2f}"
        was = ""
        if before:
            was = (fmt(before[key]) if key != "idle_cpu" else
                   f"{before['idle_cpu']:.3f} s over {before['idle_wait']:.1f} s") \
                if key in before else "—"
            was += " | "
        lines.append(f"| {work} | {was}{fmt(r[key])} | {yard} | {ratio_text} | {goal} |")
    return "\n".join(lines)


def round_trip_table(r, before=None):
    head = ("| work | " + ("before | " if before else "") +
            "now | `curl --parallel` | ratio | the floor: 4 round trips | ratio | goal |")
    lines = [head, "|---" * (head.count("|") - 1) + "|"]
    for work, k, protocol, rtt in round_trips.rows_of(r):
        floor = 4 * rtt / 1000
        goal = "<= 1.0x curl" if protocol == "h1" else "<= 1.5x the floor"
        was = (seconds(before[k]) if k in before else
               "fails" if before.get(k + "_fails") else "—") + " | " if before else ""
        lines.append(f"| {work} | {was}{seconds(r[k])} | {seconds(r[k + '_curl'])} | "
                     f"{r[k] / r[k + '_curl']:.2f} | {seconds(floor)} | {r[k] / floor:.2f} | "
                     f"{goal} |")
    if "rt_wine" in r:
        k = round_trips.key("h1", 1, 50)
        was = (seconds(before["rt_wine"]) if "rt_wine" in before else "—") + " | " \
            if before else ""
        lines.append(f"| the first HTTP/1.1 row, win64 under Wine (lookup in process) | {was}"
                     f"{seconds(r['rt_wine'])} | {seconds(r[k + '_curl'])} | "
                     f"{r['rt_wine'] / r[k + '_curl']:.2f} | 200 ms | {r['rt_wine'] / 0.2:.2f} | "
                     "(reuse measured) |")
    return "\n".join(lines)


def round_trip_spread(r):
    lines = []
    for work, k, _, _ in round_trips.rows_of(r):
        lines.append(f"- {work}: the program "
                     f"{', '.join(seconds(x) for x in sorted(r[k + '_runs']))}; curl "
                     f"{', '.join(seconds(x) for x in sorted(r[k + '_curl_runs']))}.")
    if "rt_wine" in r:
        lines.append(f"- under Wine: {', '.join(seconds(x) for x in sorted(r['rt_wine_runs']))}; "
                     f"connections WinINet opened for the 21 fetches of each lookup: "
                     f"{', '.join(str(n) for n in r['rt_wine_connections'])}.")
    return "\n".join(lines)


def gbench_table(r):
    lines = ["| benchmark (in process) | ms per run |", "|---|---|"]
    for name, ms in r.get("gbench", {}).items():
        lines.append(f"| `{name}` | {ms:.1f} |")
    return "\n".join(lines)


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def write_plot(r, docs):
    data = docs / "performance-manifests.dat"
    with open(data, "w") as f:
        f.write("# manifests tobrine curl-loop curl-parallel-8 tobrine-200ms curl-200ms "
                "(seconds)\n")
        for n, ours, loop, par, far, far_curl in r["plot"]:
            f.write(f"{n} {ours:.4f} {loop:.4f} {par:.4f} {far:.4f} {far_curl:.4f}\n")
    png = docs / "performance-manifests.png"
    script = f"""
set terminal pngcairo size 900,560 font "sans,11"
set output "{png}"
set title "Lookup time against the number of manifests"
set xlabel "manifests on the page"
set ylabel "seconds"
set logscale xy
set key top left
set grid
plot "{data}" using 1:2 with linespoints lw 2 title "tobrine (8 at a time), loopback", \\
     "{data}" using 1:3 with linespoints lw 2 title "curl, one process per address, loopback", \\
     "{data}" using 1:4 with linespoints lw 2 dt 2 title "curl --parallel --parallel-max 8, loopback", \\
     "{data}" using 1:5 with linespoints lw 2 title "tobrine, 200 ms round trip (HTTP/2, TLS)", \\
     "{data}" using 1:6 with linespoints lw 2 dt 2 title "curl --parallel --parallel-max 8, 200 ms round trip"
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    data.unlink()
    return png


def write_docs(r, before, docs):
    png = write_plot(r, docs)
    when = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    load = os.getloadavg()[0]
    text = f"""# Performance

Written by `make bench` on {when}: {machine()}, load average {load:.1f} at the
end of the run. Every figure and its yardstick come from this one run; times
are medians. The program is the `host-release` build (the command line, as a
whole process, unless the row says otherwise); the Windows figures are the
win64 build under Wine. Both sides fetch from the same loopback server
(tests/bench/bench_server.cpp), one epoll thread that answers with a few
system calls, so that on a machine of few cores the server is not what is
measured.

{table(r, before)}

The manifest figures move with whatever else the machine does, so their
rounds are all shown:

{spread(r)}
"""
    if before:
        text += f"""
"before" is a run of `make bench` on {before.get('label', 'the earlier tree')}, made
minutes earlier on the same machine.
"""
    if any(k.startswith("rt_") for k in r):
        text += f"""
## Far away: round trips

The rows below fetch a page and {round_trips.MANIFESTS} manifests over TLS from
servers that loopback makes far away: every byte passes
tests/bench/delay_proxy.cpp, which holds it back for half the round trip in
each direction (forwarding on a schedule, so that bytes in flight overlap) and
lets a new connection's first byte go only a round trip after it was opened, as
its TCP handshake would. Four ports of the proxy are four hosts; with 4 hosts
manifest k is on host (k-1) mod 4 and the page on the first. The HTTP/1.1
server is the bench server's TLS port (HTTP/1.1 only, connections kept
open), the HTTP/2 server nghttpd. `curl --parallel` is one curl for the page,
then one for the manifests, 8 at a time (over HTTP/1.1 with
`--parallel-immediate`, over HTTP/2 multiplexed as curl does by default).
Rounds are taken in turn, the program then curl.

The floor: connect, TLS, the page, then every manifest at once on the same
connection, 4 round trips. The program fetches 8 manifests at a time, so over
HTTP/2 its own floor is 3 round trips for the page and 3 for 20 manifests; with
4 hosts the connections to the other three can only start once the page is
read (6 round trips for anyone).

{round_trip_table(r, before)}

Every round:

{round_trip_spread(r)}
"""
    quoted = HERE / "before.md"
    if quoted.exists():
        text += "\n" + quoted.read_text()
    text += f"""
The readers of pages and manifests on pages built from their own search
literals (every literal repeated in every context, bare, after other text,
before and with each closer, with each opener; tests/unit/linear_pages.h), each
timed at k and at 4 times the page, in CPU time of the thread; linear work
grows by 4, quadratic work by 16, and a growth past 6 is timed again at 4 times
the size. `make test` runs the same pages 8 times smaller.

{readers_table(r)}

Google Benchmark, in process on the host build:

{gbench_table(r)}

![Lookup time against the number of manifests]({png.name})

The plot: the program's lookup of a page with 1 to 1,000 manifests on
loopback, against fetching the page and the same manifests with one `curl`
process per address, one after another, and with one `curl` 8 at a time; and
the same page 200 ms away (HTTP/2 over TLS, one host), the program against
curl fetching the page and then the manifests 8 at a time.
"""
    (docs / "performance.md").write_text(text)
    return png


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=str(HERE.parents[1]))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--json")
    parser.add_argument("--before")
    parser.add_argument("--label", help="what the tree is (stored with --json)")
    parser.add_argument("--no-docs", action="store_true")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--only", default=",".join(PARTS))
    args = parser.parse_args()
    parts = set(args.only.split(","))
    if args.no_plot:
        parts.discard("plot")
    for name in PROXY_VARIABLES:
        os.environ.pop(name, None)

    root = pathlib.Path(args.root).resolve()
    wine = not args.no_wine and os.path.exists(WINE)
    p = Programs(root, wine)
    p.build()
    build_server()
    before = json.load(open(args.before)) if args.before else None

    results = {"label": args.label or str(root)}
    tmp = tempfile.mkdtemp(prefix="tobrine-bench-")
    ca, ca_der, certificate, key = round_trips.certificates(tmp)
    os.environ["OPENSSL_CONF"] = round_trips.tls_settings(tmp)
    server = Server(tmp, (certificate, key))
    far = None
    started_wine = wine and not (root / "build/win64/wine/xvfb.pid").exists()
    try:
        if started_wine:
            subprocess.run([root / "scripts/wine-session", "start"], check=True)
        # Warm-up: the server builds its big page once; Wine loads its libraries.
        subprocess.run(["curl", "-s", "-o", "/dev/null", server.url(f"/big?mb={BIG_MB}")])
        if wine:
            p.lookup_wine(server.page(1))
        if parts & {"round_trips", "plot"}:
            far = round_trips.Far(tmp, DELAY_PROXY, server.tls_port, certificate, key,
                                  max(PLOT_COUNTS))
        if "m20" in parts:
            manifests_side_by_side(p, server, tmp, args.rounds, results)
        if "many" in parts:
            many_manifests(p, server, tmp, args.rounds, results)
        if "big" in parts:
            big_page(p, server, tmp, args.rounds, results)
        if "extract" in parts:
            extraction(p, tmp, args.rounds, results)
        if "idle" in parts:
            idle_cpu(p, server, results)
        if "gbench" in parts:
            google_benchmark(p, results)
        if "readers" in parts:
            reader_growth(p, results)
        if "round_trips" in parts:
            round_trip_figures(p, far, tmp, args.rounds, ca, results)
            if wine:
                wine_round_trips(p, server, far, ca_der, args.rounds, results)
        if "plot" in parts:
            plot_series(p, server, far, ca, results)
    finally:
        if far:
            far.close()
        server.close()
        if started_wine:
            subprocess.run([root / "scripts/wine-session", "stop"], check=False)
        shutil.rmtree(tmp, ignore_errors=True)

    print(table(results, before))
    print()
    print(spread(results))
    print()
    print(round_trip_table(results, before))
    print()
    print(round_trip_spread(results))
    print()
    print(gbench_table(results))
    print()
    print(readers_table(results))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    if not args.no_docs:
        png = write_docs(results, before, HERE.parents[1] / "docs")
        print(f"\nwrote docs/performance.md and {png.relative_to(HERE.parents[1])}")


if __name__ == "__main__":
    main()
