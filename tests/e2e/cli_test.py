#!/usr/bin/env python3
"""The Linux command line end to end against the fixture server on 127.0.0.1:
one table of command line, standard input, exit status, standard output and
standard error, then the downloads (resumed, never overwritten, with and
without a terminal). Usage: cli_test.py TOBRINE"""
import atexit
import http.server
import json
import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
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


def run(args, stdin=b"", cwd=None, timeout=120):
    try:
        p = subprocess.run([tobrine] + args, input=stdin, env=env, capture_output=True,
                           timeout=timeout, cwd=cwd)
    except subprocess.TimeoutExpired:
        return -1, "", "(killed after %d seconds)" % timeout
    return p.returncode, p.stdout.decode("utf-8"), p.stderr.decode("utf-8")


def read(path):
    """The bytes of a file, None when there is none."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


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
    {"page": base + "/mixed/", "manifest": base + "/m/b2.plist",
     "link": "https://dl.example.com/b2.ipa", "row": 2},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/one-arm64.ipa", "row": 3, "title": "One",
     "bundle_id": "com.example.one", "version": "1.0"},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/one-armv7.ipa", "row": 4, "title": "One",
     "bundle_id": "com.example.one", "version": "1.0"},
    {"page": base + "/mixed/", "manifest": base + "/m/multi.plist",
     "link": "https://dl.example.com/two.ipa?a=1&b=2", "row": 5, "title": "Two & Co",
     "bundle_id": "com.example.two", "version": "3.4.5"},
    {"page": base + "/mixed/", "manifest": base + "/m/amp.plist",
     "link": "https://dl.example.com/get?f=amp.ipa&t=x", "row": 6},
    {"page": base + "/mixed/", "manifest": base + "/m/icon-first",
     "link": "https://dl.example.com/icon-first.ipa", "row": 7, "title": "图标在前",
     "bundle_id": "com.example.iconfirst", "version": "2.1"},
    {"page": base + "/mixed/", "manifest": base + "/m/noext?id=7",
     "link": "https://dl.example.com/noext.ipa?sig=a&b", "row": 8, "title": "No extension"},
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
    ("status 3: an address a browser refuses", ["--json", "http://1.2.3.4.5/"], b"", 3,
     lambda out: json_lines(out) == [{
         "error": "page not fetched: not an address a browser would fetch: the host is not a "
                  "valid IPv4 address", "address": "http://1.2.3.4.5/", "reason": "bad_address"}],
     "tobrine: http://1.2.3.4.5/: page not fetched: not an address a browser would fetch: the "
     "host is not a valid IPv4 address\n"),
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
     "1\thttp://h/%1B]0;owned%072fake.plist\n", ""),
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
report("download: saved", status == 0 and read(path) == package(SIZE) and
       out == "1\t%s\n" % whole and err == "tobrine: saved %s (293.0 KiB)\n" % path and
       sorted(os.listdir(folder)) == ["app.ipa"],
       "status %d\nstdout: %r\nstderr: %r" % (status, out, err))

before = os.stat(path).st_mtime_ns
status, out, err = download(folder, install_link(whole))
report("download: a file already there is never written: the next name is taken",
       status == 0 and os.stat(path).st_mtime_ns == before and
       read(os.path.join(folder, "app-2.ipa")) == package(SIZE) and
       err == "tobrine: saved %s (293.0 KiB)\n" % os.path.join(folder, "app-2.ipa"),
       "status %d\nstderr: %r" % (status, err))

cut = base + "/pkg/cut.ipa?size=%d&cut=100000" % SIZE
status, out, err = download(folder, install_link(cut))
report("download: cut off without a validator, no part is kept", status == 4 and
       "the connection ended after 100000 of 300000 bytes" in err and "resume" not in err and
       not [n for n in os.listdir(folder) if n.startswith("cut")],
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
       not [n for n in os.listdir(folder) if n.startswith("gone")],
       "status %d\nstderr: %r" % (status, err))

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


# --- Downloads from a package server of our own, which says exactly what each
# case needs (validators, lying ranges, a wait in which the folder changes) and
# logs every request ---

class Packages(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), PackageHandler)
        self.routes = {}  # path -> function(handler)
        self.log = []     # (path, headers) of every request

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], path)

    def requests(self, path):
        return [h for p, h in self.log if p == path]


class PackageHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.log.append((self.path, dict(self.headers.items())))
        route = self.server.routes.get(self.path)
        if route is None:
            self.answer(404, [], b"no such package")
        else:
            route(self)
        self.close_connection = True

    def answer(self, status, headers, body, length=None, cut=None):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body if cut is None else body[:cut])
        self.wfile.flush()


def served_file(data, etag='"v1"', disposition=None, cut=None, before=None):
    """A file that answers Range as a server should: 206 from the start asked
    for while If-Range names its ETag, else 200 with the whole file."""
    def route(h):
        if before:
            before(h)
        headers = [("ETag", etag)] if etag else []
        if disposition:
            headers.append(("Content-Disposition", disposition))
        asked = h.headers.get("Range", "")
        if asked.startswith("bytes=") and etag and h.headers.get("If-Range") == etag:
            start = int(asked[6:].split("-")[0])
            if start >= len(data):
                h.answer(416, headers + [("Content-Range", "bytes */%d" % len(data))], b"")
                return
            h.answer(206, headers + [("Content-Range", "bytes %d-%d/%d" % (
                start, len(data) - 1, len(data)))], data[start:], cut=cut)
            return
        h.answer(200, headers, data, cut=cut)
    return route


def raw_answer(status, headers, body):
    return lambda h: h.answer(status, headers, body)


packages = Packages()
threading.Thread(target=packages.serve_forever, daemon=True).start()
atexit.register(packages.shutdown)
own = os.path.join(work, "own")


def fresh(name):
    """An empty folder for one case."""
    path = os.path.join(own, name)
    os.makedirs(path)
    return path


def files(path):
    return {n: open(os.path.join(path, n), "rb").read() for n in sorted(os.listdir(path))
            if os.path.isfile(os.path.join(path, n)) and not os.path.islink(os.path.join(path, n))}


def own_links(*paths):
    return [install_link(packages.url(p)) for p in paths]


A = bytes(range(256)) * 40          # 10,240 bytes
B = bytes(reversed(range(256))) * 80  # 20,480 bytes

# Two links of the same long name: the run once spun for ever.
for length, count in ((300, 2), (254, 3)):
    d = fresh("long-%d" % length)
    name = "A" * length + ".ipa"
    paths = ["/%d/%s" % (k, name) for k in range(count)]
    for k, p in enumerate(paths):
        packages.routes[p] = served_file(bytes([k]) * 100)
    start = time.monotonic()
    status, out, err = run(["-o", d] + own_links(*paths), timeout=60)
    got = files(d)
    report("download: %d links of one %d-byte name get distinct names" % (count, length),
           status == 0 and len(got) == count and
           sorted(got.values()) == [bytes([k]) * 100 for k in range(count)] and
           all(len(n.encode()) <= 245 for n in got) and time.monotonic() - start < 60,
           "status %d\nfiles: %r\nstderr: %r" % (status, list(got), err))

# Link 1 is named app.ipa by its server; link 2 is .../app.ipa.
d = fresh("disposition")
packages.routes["/get/1"] = served_file(A[:3000], disposition='attachment; filename="app.ipa"')
packages.routes["/two/app.ipa"] = served_file(B[:9000])
status, out, err = run(["-o", d] + own_links("/get/1", "/two/app.ipa"))
report("download: a name the server gave is taken: the next link's gets -2",
       status == 0 and files(d) == {"app.ipa": A[:3000], "app-2.ipa": B[:9000]} and
       not any("Range" in h for h in packages.requests("/two/app.ipa")),
       "status %d\nfiles: %r\nstderr: %r" % (status, list(files(d)), err))

# Many packages of one manifest, each named app.ipa by its server: each takes
# the next number (the run once gave up after 1,000 numbers).
d = fresh("disposition-many")
count = 1001
items = ""
for k in range(count):
    packages.routes["/many/%d" % k] = served_file(b"%d" % k, disposition='filename="app.ipa"')
    items += ("<dict><key>assets</key><array><dict><key>kind</key><string>software-package"
              "</string><key>url</key><string>%s</string></dict></array></dict>"
              % packages.url("/many/%d" % k))
packages.routes["/many.plist"] = raw_answer(
    200, [], ("<plist><dict><key>items</key><array>%s</array></dict></plist>" % items).encode())
status, out, err = run(["-o", d, "itms-services://?action=download-manifest&url=" +
                        urllib.parse.quote(packages.url("/many.plist"), safe="")], timeout=600)
got = files(d)
report("download: %d packages named app.ipa by their servers get app.ipa to app-%d.ipa"
       % (count, count),
       status == 0 and len(got) == count and got.get("app-%d.ipa" % count) == b"%d" % (count - 1),
       "status %d\n%d files\nstderr: %r" % (status, len(got), err[-2000:]))

# Files already there, dotfiles among them, are never adopted or appended to.
d = fresh("existing")
open(os.path.join(d, "app.ipa"), "wb").write(b"x" * 1000)
open(os.path.join(d, ".profile"), "wb").write(b"PATH=/usr/bin\n")
packages.routes["/e/app.ipa"] = served_file(B[:5000])
packages.routes["/e/.profile"] = served_file(b"evil code\n")
packages.routes["/e/named"] = served_file(b"evil too\n", disposition='attachment; filename=".profile"')
status, out, err = run(["-o", d] + own_links("/e/app.ipa", "/e/.profile", "/e/named"))
report("download: a file already there is never appended to, dotfiles included",
       status == 0 and files(d) == {"app.ipa": b"x" * 1000, ".profile": b"PATH=/usr/bin\n",
                                    "app-2.ipa": B[:5000], "profile": b"evil code\n",
                                    "profile-2": b"evil too\n"} and
       not any("Range" in h for p in ("/e/app.ipa", "/e/.profile", "/e/named")
               for h in packages.requests(p)),
       "status %d\nfiles: %r\nstderr: %r" % (status, list(files(d)), err))

# Cut off, then continued with If-Range.
d = fresh("resume")
packages.routes["/r/app.ipa"] = served_file(B, cut=8000)
status, out, err = run(["-o", d] + own_links("/r/app.ipa"))
part = os.path.join(d, "app.ipa.part")
report("download: cut off, the part and its validator are kept",
       status == 4 and files(d).get("app.ipa.part") == B[:8000] and
       b'"v1"' in files(d).get("app.ipa.part.info", b"") and
       "run again to resume" in err and part in err, "status %d\nstderr: %r" % (status, err))
packages.routes["/r/app.ipa"] = served_file(B)
status, out, err = run(["-o", d] + own_links("/r/app.ipa"))
last = packages.requests("/r/app.ipa")[-1]
report("download: continued with Range and If-Range, renamed when complete",
       status == 0 and files(d) == {"app.ipa": B} and last.get("Range") == "bytes=8000-" and
       last.get("If-Range") == '"v1"' and
       err == "tobrine: resumed %s (12.2 KiB more, 20.0 KiB in all)\n" % os.path.join(d, "app.ipa"),
       "status %d\nrequest: %r\nstderr: %r" % (status, last, err))

# The file changed on the server meanwhile: fetched anew, never spliced.
d = fresh("changed")
packages.routes["/c/app.ipa"] = served_file(A, cut=4000)
run(["-o", d] + own_links("/c/app.ipa"))
packages.routes["/c/app.ipa"] = served_file(B, etag='"v2"')
status, out, err = run(["-o", d] + own_links("/c/app.ipa"))
report("download: a part of a file that changed is fetched anew",
       status == 0 and files(d) == {"app.ipa": B} and
       packages.requests("/c/app.ipa")[-1].get("If-Range") == '"v1"',
       "status %d\nfiles: %r\nstderr: %r" % (status, list(files(d)), err))

# A part already complete (a run stopped before the rename): 416, then renamed.
d = fresh("complete")
packages.routes["/k/app.ipa"] = served_file(A)
open(os.path.join(d, "app.ipa.part"), "wb").write(A)
open(os.path.join(d, "app.ipa.part.info"), "w").write(
    "tobrine part 1\nlink %s\nvalidator \"v1\"\nname \n" % packages.url("/k/app.ipa"))
status, out, err = run(["-o", d] + own_links("/k/app.ipa"))
report("download: a complete part is renamed, nothing fetched again",
       status == 0 and files(d) == {"app.ipa": A} and "0 B more" in err,
       "status %d\nfiles: %r\nstderr: %r" % (status, list(files(d)), err))

# Answers that do not continue the part: never appended; the whole file comes anew.
# (The unit tests hold every other shape of an answer to the plan.)
LIES = [
    ("a total below the part", "bytes 4000-49999/100"),
    ("not numbers", "bytes 4000-abc/xyz"),
]
for what, content_range in LIES:
    d = fresh("lie-" + content_range.replace("/", "_").replace(" ", "_"))
    route = "/lie/%d/app.ipa" % len(os.listdir(own))
    packages.routes[route] = served_file(A, cut=4000)
    run(["-o", d] + own_links(route))
    lying = raw_answer(206, [("ETag", '"v1"'), ("Content-Range", content_range)], A[4000:])
    honest = served_file(A)
    packages.routes[route] = lambda h: (lying if "Range" in h.headers else honest)(h)
    status, out, err = run(["-o", d] + own_links(route))
    report("download: a 206 with %s is never appended (%s)" % (content_range, what),
           status == 0 and files(d) == {"app.ipa": A} and "fetched anew" in err and
           "Range" not in packages.requests(route)[-1],
           "status %d\nfiles: %r\nstderr: %r" % (status, list(files(d)), err))

# While the server waits, someone swaps the part (or the final name) for a link
# to a file outside the folder.
victim = os.path.join(own, "victim")
for case in ("part", "final", "new part"):
    d = fresh("race-" + case.replace(" ", "-"))
    open(victim, "wb").write(b"precious")
    route = "/race/%s/x.ipa" % case.replace(" ", "-")
    if case != "new part":
        packages.routes[route] = served_file(A, cut=4000)
        run(["-o", d] + own_links(route))

    def racing(h, d=d, case=case):
        # The part (whatever this program calls it) or the final name becomes
        # a link; then the answer continues the part as asked.
        names = ["x.ipa"] if case == "final" else ["x.ipa.part", "x.ipa"]
        target = next((os.path.join(d, n) for n in names if os.path.isfile(os.path.join(d, n))),
                      os.path.join(d, names[0]))
        if os.path.exists(target):
            os.remove(target)
        os.symlink(victim, target)
        asked = h.headers.get("Range", "")
        if asked.startswith("bytes="):
            start = int(asked[6:].split("-")[0])
            h.answer(206, [("ETag", '"v1"'), ("Content-Range", "bytes %d-%d/%d" % (
                start, len(A) - 1, len(A)))], A[start:])
        else:
            h.answer(200, [("ETag", '"v1"')], A)
    packages.routes[route] = racing
    status, out, err = run(["-o", d] + own_links(route))
    report("download: a link swapped in during the transfer is never written through (%s)" % case,
           open(victim, "rb").read() == b"precious" and
           (status == 0 if case == "final" else status == 4) and
           (case != "final" or read(os.path.join(d, "x-2.ipa")) == A),
           "status %d\nfiles: %r\nstderr: %r" % (status, os.listdir(d), err))

# A disk that fills: a write error, told without an HTTP status, the part kept.
d = fresh("full")
packages.routes["/full/app.ipa"] = served_file(B)


def small_files():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (6000, 6000))


p = subprocess.run([tobrine, "--json", "-o", d] + own_links("/full/app.ipa"), env=env,
                   capture_output=True, timeout=120, preexec_fn=small_files)
lines = json_lines(p.stdout.decode())
failure = lines[-1] if lines else {}
report("download: a full disk: reason file, no http_status, the part kept",
       p.returncode == 4 and failure.get("reason") == "file" and "http_status" not in failure and
       "File too large" in failure.get("error", "") and
       files(d).get("app.ipa.part") == B[:6000], "status %d\nstdout: %r" % (p.returncode, p.stdout))
status, out, err = run(["-o", d] + own_links("/full/app.ipa"))
report("download: ... and continued exactly after it", status == 0 and files(d) == {"app.ipa": B},
       "status %d\nstderr: %r" % (status, err))

# More than a package may hold: not saved, and no word of resuming.
packages.routes["/huge.ipa"] = lambda h: h.answer(200, [("ETag", '"h"')], b"x" * 10,
                                                   length=5 << 30)
d = fresh("huge")
status, out, err = run(["-o", d] + own_links("/huge.ipa"))
report("download: over 4 GiB: not kept, never 'run again'",
       status == 4 and "larger than 4.0 GiB" in err and "resume" not in err and not os.listdir(d),
       "status %d\nstderr: %r" % (status, err))

# A folder that cannot be one.
not_a_folder = os.path.join(own, "plain-file")
open(not_a_folder, "w").close()
for what, target, why in (("a file", not_a_folder, "Not a directory"),
                          ("a name too long", os.path.join(own, "n" * 300), "File name too long")):
    status, out, err = run(["-o", target] + own_links("/e/app.ipa"))
    report("download: a folder that is %s says why" % what,
           status == 4 and "cannot use %s as the download folder: %s" % (target, why) in err,
           "status %d\nstderr: %r" % (status, err))

# -A TEXT holding header names: the agent is one value, every other line stays.
d = fresh("agent")
agent = "xRefererNoy MyAccept/1.0"
status, out, err = run(["-A", agent, "-o", d] + own_links("/e/app.ipa"))
sent = packages.requests("/e/app.ipa")[-1]
report("-A TEXT is one value: the Referer and Accept lines stay",
       status == 0 and sent.get("User-Agent") == agent and "Referer" in sent and
       sent.get("Accept", "").startswith("image/gif") and "Accept-Language" in sent,
       "status %d\nrequest: %r" % (status, sent))

# Standard output that cannot be written: a message and status 5.
for what, redirect in (("full", "> /dev/full"), ("closed", ">&-")):
    d = fresh("stdout-" + what)
    p = subprocess.run("%s -o %s %s %s" % (tobrine, d, own_links("/e/app.ipa")[0].replace("&", "\\&"),
                                           redirect),
                       shell=True, env=env, capture_output=False, stderr=subprocess.PIPE,
                       timeout=120)
    err = p.stderr.decode()
    report("standard output %s: told, status 5, no download" % what,
           p.returncode == 5 and "tobrine: cannot write to standard output: " in err and
           not os.listdir(d), "status %d\nstderr: %r" % (p.returncode, err))
status, out, err = run(["-"], stdin=b"http://127.0.0.1:1/\nhttp://a/\0http://b/\n")
report("a NUL in a line of standard input: a usage error", status == 2 and
       "line 2 of standard input holds a NUL byte" in err, "status %d\nstderr: %r" % (status, err))


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
