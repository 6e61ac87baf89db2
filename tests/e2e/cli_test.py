#!/usr/bin/env python3
"""The Linux command line end to end against the fixture server on 127.0.0.1:
one table of command line, standard input, exit status, standard output and
standard error, then the downloads (resumed, never overwritten, with and
without a terminal). Usage: cli_test.py TOBRINE"""
import atexit
import json
import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_server  # noqa: E402

tobrine = os.path.abspath(sys.argv[1])
info = fixture_server.start()
work = tempfile.mkdtemp(prefix="tobrine-cli-")
atexit.register(shutil.rmtree, work, True)
env = dict(os.environ, SSL_CERT_FILE=info["ca_pem"], LANG="C.UTF-8")
base = "http://127.0.0.1:%d" % info["http"]
secure = "https://localhost:%d" % info["https"]
untrusted = "https://localhost:%d" % info["https_untrusted"]
unresolvable = "http://%s.invalid/" % ("a" * 70)  # refused before any DNS query
IE = ("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; .NET CLR 2.0.50727; "
      ".NET CLR 3.0.04506.648; .NET CLR 3.5.21022)")
IPHONE = ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 "
          "(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1")
failed = []
passed = []


def run(args, stdin=b"", cwd=None):
    p = subprocess.run([tobrine] + args, input=stdin, env=env, capture_output=True,
                       timeout=120, cwd=cwd)
    return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")


def report(name, ok, details):
    print("%s %s" % ("PASS" if ok else "FAIL", name))
    if ok:
        passed.append(name)
    else:
        failed.append(name)
        print("  " + details.replace("\n", "\n  "))


def install_link(package, title=""):
    """An itms-services link to a manifest listing `package`."""
    manifest = "%s/pkgm?link=%s&title=%s" % (base, urllib.parse.quote(package, safe=""),
                                             urllib.parse.quote(title, safe=""))
    return "itms-services://?action=download-manifest&url=" + urllib.parse.quote(manifest, safe="")


def no_raw_controls(text):
    return all(c in "\t\n" or (ord(c) >= 0x20 and not 0x7F <= ord(c) <= 0x9F) for c in text)


def agent_row(agent):
    return "1\t%s/m/%s.plist\n" % (base, urllib.parse.quote(agent, safe=""))


def json_lines(text):
    return [json.loads(line) for line in text.splitlines()]


def has(*parts):
    return lambda text: all(p in text for p in parts)


VARIANT_B = ("1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/first.ipa\n"
             "3\thttp://dl.example.com/b1.ipa\n")
MISSING = ("tobrine: %s/m/missing.plist: manifest not fetched: the server answered with HTTP "
           "status 404\n" % base)
# fallback1's install link names a manifest that is missing too.
B1_MISSING = MISSING.replace("missing.plist", "b1")
MIXED_JSON = [
    {"page": base + "/mixed/", "manifest": base + "/m/b1.plist",
     "link": "http://dl.example.com/b1.ipa", "row": 1},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/one-arm64.ipa", "row": 2, "title": "One",
     "bundle_id": "com.example.one", "version": "1.0"},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/one-armv7.ipa", "row": 3, "title": "One",
     "bundle_id": "com.example.one", "version": "1.0"},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/two.ipa?a=1&b=2", "row": 4, "title": "Two & Co",
     "bundle_id": "com.example.two", "version": "3.4.5"},
    {"page": base + "/mixed/", "manifest": base + "/m/amp.plist",
     "link": "https://dl.example.com/get?f=amp.ipa&t=x", "row": 5},
    {"page": base + "/mixed/", "manifest": base + "/m/icon-first",
     "link": "https://dl.example.com/icon-first.ipa", "row": 6, "title": "图标在前",
     "bundle_id": "com.example.iconfirst", "version": "2.1"},
    {"page": base + "/mixed/", "manifest": base + "/m/noext?id=7",
     "link": "https://dl.example.com/noext.ipa?sig=a&b", "row": 7, "title": "No extension"},
]
# A page whose manifest address carries ESC, BEL, CR and TAB; a manifest whose
# title carries them and whose link carries C1 controls (CSI, NEL).
HOSTILE_PAGE = base + "/respond?body=" + urllib.parse.quote(
    "<p>download-manifest&url=http://h/\x1b]0;owned\x07\r2\tfake.plist</p>")
HOSTILE_LINK = install_link("http://dl.example.com/a\u009b2J\u0085b.ipa",
                            "T\x1b[2J\r\n2\tforged")

# name, arguments, standard input, exit status, standard output, standard error
# (a text: exactly that; a function: a test of it)
TABLE = [
    # variant_b names a manifest that is missing: told, and the rows still come.
    ("one page", [base + "/variant_b/"], b"", 0, VARIANT_B, MISSING),
    ("a UTF-8 link as it stands", [base + "/chinese/"], b"", 0,
     "1\thttp://dl.example.com/b1.ipa\n2\thttps://cdn.example.com/应用/二.ipa\n", ""),
    ("no scheme", ["127.0.0.1:%d/fallback1/" % info["http"]], b"", 0,
     "1\thttps://dl.example.com/f1.ipa\n", B1_MISSING),
    ("over TLS", [secure + "/fallback1/"], b"", 0, "1\thttps://dl.example.com/f1.ipa\n",
     B1_MISSING),
    ("a pasted install link", ["itms-services://?action=download-manifest&url=%s/m/multi.plist"
                               % base], b"", 0,
     "1\thttps://dl.example.com/one-arm64.ipa\n2\thttps://dl.example.com/one-armv7.ipa\n"
     "3\thttps://dl.example.com/two.ipa?a=1&b=2\n", ""),
    ("several addresses: each row starts with its address",
     [base + "/fallback1/", "--", base + "/variant_b/"], b"", 0,
     "".join("%s/fallback1/\t%s" % (base, r) for r in ["1\thttps://dl.example.com/f1.ipa\n"]) +
     "".join("%s/variant_b/\t%s\n" % (base, r) for r in VARIANT_B.splitlines()),
     B1_MISSING + MISSING),
    ("addresses from standard input", ["-"],
     ("\n  %s/fallback1/ \r\n\n%s/fallback2/\n" % (base, base)).encode(), 0,
     "%s/fallback1/\t1\thttps://dl.example.com/f1.ipa\n"
     "%s/fallback2/\t1\thttps://dl.example.com/f2.ipa\n"
     "%s/fallback2/\t2\thttps://dl.example.com/f2.ipa\n" % (base, base, base), B1_MISSING),
    ("--json, parsed back", ["--json", base + "/mixed/"], b"", 0,
     lambda out: json_lines(out) == MIXED_JSON, ""),
    ("--manifests: a dry run, nothing fetched", ["--manifests", base + "/variant_b/"], b"", 0,
     "".join("%d\t%s/m/%s\n" % (i + 1, base, m) for i, m in enumerate(
         ["b1.plist", "nolink.plist", "missing.plist", "short.plist", "two.plist",
          "b1.plist"])), ""),
    ("--manifests --json", ["--manifests", "--json", base + "/fallback1/"], b"", 0,
     lambda out: json_lines(out) == [
         {"page": base + "/fallback1/", "manifest": secure + "/m/f1.plist", "row": 1},
         {"page": base + "/fallback1/", "manifest": base + "/m/b1", "row": 2}], ""),
    ("the default agent", ["--manifests", base + "/agent-page"], b"", 0, agent_row(IE), ""),
    ("-A ie", ["--manifests", "-A", "ie", base + "/agent-page"], b"", 0, agent_row(IE), ""),
    ("-A ios", ["--manifests", "-Aios", base + "/agent-page"], b"", 0, agent_row(IPHONE), ""),
    ("-A TEXT", ["--manifests", "--user-agent=Test Agent/1.0", base + "/agent-page"], b"", 0,
     agent_row("Test Agent/1.0"), ""),
    ("--timeout", ["--timeout", "1", base + "/slow/3000/variant_b/"], b"", 3, "",
     "tobrine: %s/slow/3000/variant_b/: page not fetched: no answer within 1 second "
     "(time-out)\n" % base),
    ("status 1: nothing found", [base + "/respond?body=nothing"], b"", 1, "", ""),
    ("status 3: HTTP status", [base + "/no-such-site/"], b"", 3, "",
     "tobrine: %s/no-such-site/: page not fetched: the server answered with HTTP status 404\n"
     % base),
    ("status 3: HTTP status, as JSON", ["--json", base + "/no-such-site/"], b"", 3,
     lambda out: json_lines(out) == [{
         "error": "page not fetched: the server answered with HTTP status 404",
         "address": base + "/no-such-site/", "reason": "http_status", "http_status": 404}],
     has("HTTP status 404")),
    ("status 3: connection refused", ["http://127.0.0.1:1/"], b"", 3, "",
     "tobrine: http://127.0.0.1:1/: page not fetched: the connection failed (refused, reset or "
     "cut off)\n"),
    ("status 3: unknown host", [unresolvable], b"", 3, "",
     "tobrine: %s: page not fetched: the host name could not be resolved (DNS)\n"
     % unresolvable),
    ("status 3: TLS", [untrusted + "/fallback1/"], b"", 3, "",
     "tobrine: %s/fallback1/: page not fetched: the secure connection failed (TLS: the "
     "certificate was not accepted or the handshake failed)\n" % untrusted),
    ("status 2: unknown option", ["--foo", base + "/variant_b/"], b"", 2, "",
     "tobrine: unknown option '--foo'\nusage: tobrine [OPTIONS] URL...\n"
     "Try 'tobrine --help' for more information.\n"),
    ("status 2: no address", [], b"", 2, "", has("no address given", "usage:")),
    ("status 2: empty address", [""], b"", 2, "", has("an empty address")),
    ("status 2: bad time-out", ["--timeout", "soon", base], b"", 2, "",
     has("'soon' is not a whole number of seconds")),
    ("status 2: an agent that would add a header", ["-A", "x\r\nX-Injected: 1", base], b"", 2,
     "", has("without control characters")),
    ("--help", ["--help"], b"", 0, has("usage: tobrine [OPTIONS] URL...", "--download DIR"), ""),
    ("--version", ["--version"], b"", 0,
     has("tobrine 1.", "libcurl ", "ICU ", "PCRE2 "), ""),
    ("hostile manifest address: escaped", ["--manifests", HOSTILE_PAGE], b"", 0,
     "1\thttp://h/%1B]0;owned%07%0D2%09fake.plist\n", ""),
    ("hostile link and title: escaped in text", [HOSTILE_LINK], b"", 0,
     "1\thttp://dl.example.com/a\\xc2\\x9b2J\\xc2\\x85b.ipa\n", ""),
    ("hostile link and title: escaped in JSON", ["--json", HOSTILE_LINK], b"", 0,
     lambda out: (no_raw_controls(out) and "\\u009b" in out and
                  json_lines(out)[0]["title"] == "T\x1b[2J\r\n2\tforged" and
                  json_lines(out)[0]["link"] == "http://dl.example.com/a\u009b2J\u0085b.ipa"),
     ""),
    ("hostile address: escaped in the message", ["-"],
     ("%s/no\x1b]0;owned\x07\x1b[2J/\n" % base).encode(), 3, "",
     lambda err: err.startswith("tobrine: %s/no\\x1b]0;owned\\x07\\x1b[2J/: page not fetched: "
                                % base)),
]
for name, args, stdin, status, want_out, want_err in TABLE:
    got_status, out, err = run(args, stdin)
    ok_out = want_out(out) if callable(want_out) else out == want_out
    ok_err = want_err(err) if callable(want_err) else err == want_err
    ok = got_status == status and ok_out and ok_err and no_raw_controls(out + err)
    report(name, ok, "status %d (want %d)\nstdout: %r\nstderr: %r" % (got_status, status, out,
                                                                        err))


# --- Downloads ---

def package(size):
    return fixture_server.package_bytes(0, size)


def download(folder, *links, extra=()):
    return run(["-o", folder] + list(extra) + list(links))


folder = os.path.join(work, "downloads")  # made by the first download
SIZE = 300000
whole = base + "/pkg/app.ipa?size=%d" % SIZE
status, out, err = download(folder, install_link(whole))
path = os.path.join(folder, "app.ipa")
report("download: saved", status == 0 and open(path, "rb").read() == package(SIZE) and
       out == "1\t%s\n" % whole and err == "tobrine: saved %s (293.0 KiB)\n" % path,
       "status %d\nstdout: %r\nstderr: %r" % (status, out, err))

before = os.stat(path).st_mtime_ns
status, out, err = download(folder, install_link(whole))
report("download: a complete file is not overwritten",
       status == 0 and os.stat(path).st_mtime_ns == before and
       err == "tobrine: %s is already complete, not overwritten\n" % path,
       "status %d\nstderr: %r" % (status, err))

longer = base + "/pkg/app.ipa?size=%d&norange=1" % (SIZE + 1)
status, out, err = download(folder, install_link(longer))
report("download: a server that does not resume never overwrites",
       status == 4 and os.stat(path).st_mtime_ns == before and
       "the file is not overwritten" in err, "status %d\nstderr: %r" % (status, err))

cut = base + "/pkg/cut.ipa?size=%d&cut=100000" % SIZE
cut_path = os.path.join(folder, "cut.ipa")
status, out, err = download(folder, install_link(cut))
report("download: cut off, the part is kept", status == 4 and
       open(cut_path, "rb").read() == package(100000) and
       "the connection ended after 100000 of 300000 bytes" in err and "run again to resume" in err,
       "status %d\nstderr: %r" % (status, err))
status, out, err = download(folder, install_link(cut))  # ranges are answered in full
report("download: resumed after the cut", status == 0 and
       open(cut_path, "rb").read() == package(SIZE) and
       err == "tobrine: resumed %s (195.3 KiB more, 293.0 KiB in all)\n" % cut_path,
       "status %d\nstderr: %r" % (status, err))

named = base + "/pkg/x?size=3000&disposition=" + urllib.parse.quote(
    'attachment; filename="../../evil\x1b[2J.ipa"')
status, out, err = run(["--json", "-o", folder, install_link(named)])
lines = json_lines(out)
report("download: a server's name, cut to a plain file name",
       status == 0 and os.path.exists(os.path.join(folder, "evil[2J.ipa")) and
       lines[-1] == {"link": named, "file": os.path.join(folder, "evil[2J.ipa"),
                     "bytes": 3000, "result": "saved"} and
       not os.path.exists(os.path.join(work, "evil[2J.ipa")),
       "status %d\nstdout: %r\nstderr: %r" % (status, out, err))

status, out, err = download(folder, install_link(base + "/pkg/gone.ipa?status=404"))
report("download: status 4 on an HTTP status", status == 4 and
       "package not fetched: the server answered with HTTP status 404" in err and
       not os.path.exists(os.path.join(folder, "gone.ipa")), "status %d\nstderr: %r" % (status,
                                                                                      err))

start = time.monotonic()
stalled = base + "/pkg/stall.ipa?size=%d&stall=40000" % SIZE
status, out, err = download(folder, install_link(stalled), extra=["--timeout", "1"])
report("download: a stalled transfer ends after the time-out",
       status == 4 and time.monotonic() - start < 10 and
       "no answer within 1 second (time-out)" in err, "status %d\nstderr: %r" % (status, err))

relative = os.path.join(work, "relative")
os.makedirs(relative)
status, out, err = run(["-o", "here", install_link(base + "/pkg/rel.ipa?size=10")], cwd=relative)
report("download: a relative folder is the caller's", status == 0 and
       os.path.getsize(os.path.join(relative, "here", "rel.ipa")) == 10, "stderr: %r" % err)


def run_on_terminal(args):
    """Runs with standard error on a pseudo-terminal; returns status and what
    the terminal received."""
    leader, follower = pty.openpty()
    p = subprocess.Popen([tobrine] + args, env=env, stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    received = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        if not ready:
            break
        try:
            data = os.read(leader, 65536)
        except OSError:  # the terminal's other end has closed
            break
        if not data:
            break
        received += data
    p.stdout.read()
    os.close(leader)
    return p.wait(timeout=60), received.decode("utf-8")


paced = base + "/pkg/paced.ipa?size=200000&pace=20"  # about a second
status, terminal = run_on_terminal(["-o", folder, install_link(paced)])
bars = [line for line in terminal.split("\r") if "%" in line]
report("progress bar on a terminal", status == 0 and len(bars) >= 2 and
       all(" / 195.3 KiB" in b and "/s" in b for b in bars) and "paced.ipa [" in bars[0] and
       "left" in bars[0] and terminal.endswith("tobrine: saved %s (195.3 KiB)\r\n" %
                                               os.path.join(folder, "paced.ipa")),
       "status %d\nterminal: %r" % (status, terminal))
os.remove(os.path.join(folder, "paced.ipa"))
status, out, err = download(folder, install_link(paced))
report("no progress bar without a terminal", status == 0 and "\r" not in err and "%" not in err,
       "status %d\nstderr: %r" % (status, err))

print("%d passed, %d failed" % (len(passed), len(failed)))
sys.exit(1 if failed else 0)
