#!/usr/bin/env python3
"""The one fixture server of the tests, on 127.0.0.1 only: HTTP, HTTPS (with a
throwaway CA), HTTPS with a certificate no CA signed, and a logging proxy,
serving the web-access fixtures and the sample distribution sites of
tests/e2e/sites.

Every response closes its connection. Routes (the query string is parsed as
name=value pairs; %-escapes are decoded):

  /echo                the exact request bytes received (head and body)
  /respond?h=LINE&...&status=N&body=TEXT&ms=N
                       a response with each h as a header line, in order
                       (after N milliseconds when ms is given)
  /cookies/set?NAME=VALUE&...
                       one "Set-Cookie: NAME=VALUE; Path=/" line per pair
  /redirect?to=URL&code=N
                       a redirect (302 unless given) to URL
  /bigheader?n=N       an X-Filler header of N bytes, then "Set-Cookie: big=1"
  /slow?ms=N           "slow" after N milliseconds
  /never               headers announcing 1 GB, then 1 KB every 0.5 s forever
  /large?bytes=N       N bytes of a repeating pattern, generated while sending
  /empty               200 with an empty body and "X-Empty: yes"
  /pkg/NAME?size=N     a package of N bytes (a fixed pattern of every byte value);
                       "Range: bytes=S-" gives 206 and the rest, or 416 with
                       "bytes */N" when S >= N. More parameters: cut=K (a full
                       answer announces N bytes and closes after K), norange=1
                       (Range ignored), disposition=TEXT (Content-Disposition),
                       stall=K (nothing more after K bytes, for 60 s), pace=MS
                       (4 KB every MS milliseconds), status=N (that status)
  /pkgm?link=URL&title=TEXT
                       a manifest with one package, URL, and TEXT as its title,
                       both written as they are (only & and < escaped)
  /padded/SITE/...     a sample site's page with 1.5 MB of plain markup after it
  /agent-page          a page whose one manifest address names the request's
                       agent string: @BASE@/m/<agent, %-escaped>.plist
  /__never             how many /never responses are still being sent
  /__held              "NOW PEAK": how many responses held back by a delay (ms=,
                       /slow, /late/) are waiting now, and the most at once since
                       the last ?clear=1 (which starts the peak again from NOW)
  /__proxylog          the request lines the proxy received, one per line
                       (?clear=1 empties the log afterwards)
  /__proxyrequests     the heads of the requests the proxy received, one after
                       another (?clear=1 empties the log afterwards)
  /__requests          the heads of the requests received (each up to 8 KB),
                       one after another (?clear=1 empties the log afterwards)
  /__active?mode=M     how many hostile responses of mode M are still going
  /__release?mode=M    ends the hostile responses of mode M that are going

Hostile modes, each as a hostile server would answer:
  /hostile/silent      reads the request and never answers
  /hostile/trickle?part=head|body
                       the response 1 byte every 0.5 s (from the status line,
                       or after complete headers announcing 1 MB)
  /hostile/header-flood
                       a status line, then 16 MiB of header lines as fast as
                       they go, then nothing (the headers never end)
  /hostile/endless     a body without a length, as fast as it goes
  /hostile/redirect-loop?n=K
                       302 to itself, n counting up
  /hostile/reset?after=N
                       announces 1 MB, sends N bytes of a page, then resets
  /hostile/bad-status?kind=word|none
                       a status line whose code is a word, or no status line at
                       all (a bare page holding a manifest address)
  /hostile/crlf-page   a script-style page whose manifest addresses hold CR LF
                       header lines ahead of "@127.0.0.1:<port>/m/"
  /hostile/flood-page  2 MB: one line of 50,000 "download-manifest&url=", and
                       ".plist" only on the next line

The "https_untrusted" port speaks TLS with a certificate no CA signed; "http6"
is the plain HTTP server on [::1].
  /__quit              ends the server
  /<site>/             sites/<site>/index.html
  /m/<name>            sites/manifests/<name> (the query is ignored)
  /slow/<ms>/<path>    the same as /<path>, answered after <ms> milliseconds
  /iphone/<site>/      sites/<site>/index.html to an iPhone's agent string, else
                       sites/desktop.html
  /echo-manifest/...   a manifest whose package link is http://dl.example.com/got
                       followed by the request target exactly as received
                       (/echo-manifest/late/<ms>/...: answered after <ms>
                       milliseconds)
  /many/<n>/<ms>/      a page of <n> manifest links, download-manifest&url=
                       @BASE@/echo-manifest/late/<ms>/<k>.plist for k = 1..n
  /script-built/<kib>/<n>/
                       a page that builds its manifest addresses in a script:
                       a prefix of <kib> KiB (@BASE@/m/ then 'p's) and <n>
                       download('c<k>') codes

A sample site that is missing answers 404. In every site file served, @BASE@
becomes http://127.0.0.1:<http port>, @HOSTPORT@ 127.0.0.1:<http port> and
@HOSTPORT_TLS@ localhost:<https port> (by name: WinINet under Wine does not
match an IP address in a certificate).

The proxy port is a logging forward proxy: it logs each request line, forwards
absolute-form requests to 127.0.0.1 or localhost only (the rest of the request
unchanged; a host name ending in ".test" stands for the plain HTTP server),
tunnels CONNECT to those two hosts and answers anything else with 501.

The CA and the certificates it signed are made once a week and kept in a folder
of this user's under the temporary folder (tobrine-fixture-ca-UID/WEEK): new RSA
keys for every server would cost seconds each time a test starts one.

The "keepalive" port serves the routes above (those whose answers announce
their length) one after another on a connection that stays open. "broken_h2"
speaks TLS offering HTTP/2 and answers HTTP/2 with an HTTP/1.1 error (a broken
server); over HTTP/1.1 it serves the routes above. "h2" passes connections to
nghttpd, a real HTTP/2-only server (0 when nghttpd is not installed), serving
/page2.html and /page8.html (2 and 8 manifest links to /m/<k>.plist on the same
port) and /m/1.plist ... /m/8.plist (package http://dl.example.com/<k>.ipa).

  /__connections?port=keepalive|h2|broken_h2
                       how many connections that port accepted (broken_h2: on
                       which HTTP/2 was chosen)
  /__close?port=keepalive|h2
                       ends that port's connections (keepalive: those waiting
                       for a request), so that a client keeps none
  /samehost/<n>/       a page of <n> manifest links to /echo-manifest/<k>.plist
                       on the host and port the request names (its Host line)

When ready it writes one JSON line {"http", "https", "https_untrusted", "http6",
"proxy", "keepalive", "broken_h2", "h2", "ca_pem", "ca_der", "pid"} to standard
output and, with --ports-file, to that file
(written whole, then renamed into place). It ends on /__quit, when standard
input closes (unless --ignore-stdin), after --idle seconds without a request,
or after --lifetime seconds. A Python test can start(): the same servers in
threads of its own process.
"""
import argparse
import atexit
import ctypes
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))

CA_DAYS = 30  # the certificates' validity
CA_RENEW_DAYS = 7  # how long one set is used; a set is never used near its end

PATTERN = bytes(range(32, 127)) * 700  # ~66 KB, cut from for large bodies
PACKAGE = bytes((i * 7 + 3) & 0xFF for i in range(1 << 16))  # every byte value
PACKAGE_MANIFEST = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    b'<key>items</key><array><dict><key>assets</key><array><dict>'
                    b'<key>kind</key><string>software-package</string>'
                    b'<key>url</key><string>%s</string></dict></array>'
                    b'<key>metadata</key><dict><key>title</key><string>%s</string></dict>'
                    b'</dict></array></dict></plist>\n')
ECHO_MANIFEST = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                 b'<key>items</key><array><dict><key>assets</key><array><dict>'
                 b'<key>kind</key><string>software-package</string>'
                 b'<key>url</key><string>http://dl.example.com/got%s</string>'
                 b'</dict></array></dict></array></dict></plist>\n')
# One line of 50,000 manifest markers and ".plist" only on the next: 2 MB.
FLOOD_PAGE = b"<html><body>" + b"download-manifest&url=" * 50000 + b"\n.plist\n"
FLOOD_PAGE += b"x" * (2000000 - len(FLOOD_PAGE)) + b"</body></html>\n"
proxy_log = []
log_lock = threading.Lock()
stop = threading.Event()
last_request = [time.monotonic()]
never_active = [0]  # /never responses still being sent
active = {}  # hostile responses still going, by mode
released = {}  # by mode: bumped by /__release, ends the responses started before
request_log = []  # heads of the requests received, the last 1,000
proxy_requests = []  # heads of the requests the proxy received, the last 1,000
held = [0, 0]  # responses waiting out a delay: now, and the most at once
# Connections accepted, by port name: "keepalive", "h2" (the relay to nghttpd),
# "broken_h2" (connections on which HTTP/2 was chosen and broken).
connections = {"keepalive": 0, "h2": 0, "broken_h2": 0}
# The connections /__close ends, by port name: the keep-alive ones waiting for
# a request, every one of the relay to nghttpd.
closable = {"keepalive": set(), "h2": set()}
per_connection = threading.local()


def hold(seconds):
    """Waits out a response's delay, counted in `held` meanwhile."""
    with log_lock:
        held[0] += 1
        held[1] = max(held[1], held[0])
    try:
        time.sleep(seconds)
    finally:
        with log_lock:
            held[0] -= 1


def read_request(rfile):
    """The raw request bytes (head + body) or None at end of stream."""
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        line = rfile.readline(65536)
        if not line:
            return None
        head += line
        if head == b"\r\n":  # stray empty line between requests
            head = b""
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip() or b"0")
    body = rfile.read(length) if length else b""
    return head + body


def package_bytes(start, end):
    """Bytes start..end-1 of every package."""
    out = bytearray()
    while start < end:
        offset = start % len(PACKAGE)
        piece = PACKAGE[offset:offset + (end - start)]
        out += piece
        start += len(piece)
    return bytes(out)


def xml_text(text):
    return text.encode("latin-1").replace(b"&", b"&amp;").replace(b"<", b"&lt;")


def header(raw, name):
    """The value of the request header `name` (lower case), or ""."""
    for line in raw.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip().decode("latin-1")
    return ""


def response(status, headers, body=b"", length=None):
    """A whole response; it closes its connection unless the connection's
    handler keeps connections alive."""
    reason = {200: "OK", 206: "Partial Content", 301: "Moved Permanently", 302: "Found",
              303: "See Other", 307: "Temporary Redirect", 404: "Not Found",
              416: "Range Not Satisfiable", 501: "Not Implemented"}
    lines = ["HTTP/1.1 %d %s" % (status, reason.get(status, "Status"))]
    lines += headers
    lines.append("Content-Length: %d" % (len(body) if length is None else length))
    if not getattr(per_connection, "keep_alive", False):
        lines.append("Connection: close")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body


class Handler(socketserver.StreamRequestHandler):
    sites = os.path.join(HERE, "sites")
    ports = {}

    def handle(self):
        self.serve_one()

    def request_arrived(self):
        pass

    def serve_one(self):
        """Answers one request; False when the connection is done."""
        raw = read_request(self.rfile)
        self.request_arrived()
        if raw is None:
            return False
        last_request[0] = time.monotonic()
        if not raw.startswith(b"GET /__"):  # the tests' own look-ups
            with log_lock:
                request_log.append(raw.split(b"\r\n\r\n", 1)[0][:8192] + b"\r\n\r\n")
                del request_log[:-1000]
        request_line = raw.split(b"\r\n", 1)[0].decode("latin-1")
        parts = request_line.split(" ")
        target = parts[1] if len(parts) > 1 else "/"
        path, _, query = target.partition("?")
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, encoding="latin-1")
        args = dict(pairs)
        out = self.wfile
        try:
            if path == "/echo":
                out.write(response(200, ["Content-Type: application/octet-stream"], raw))
            elif path == "/respond":
                hold(int(args.get("ms", "0")) / 1000.0)
                headers = [v for k, v in pairs if k == "h"]
                out.write(response(int(args.get("status", "200")), headers,
                                   args.get("body", "").encode("latin-1")))
            elif path == "/cookies/set":
                out.write(response(200, ["Set-Cookie: %s=%s; Path=/" % kv for kv in pairs],
                                   b"cookies set"))
            elif path == "/redirect":
                out.write(response(int(args.get("code", "302")),
                                   ["Location: " + args.get("to", "/")], b"moved"))
            elif path == "/bigheader":
                filler = "X-Filler: " + "f" * int(args.get("n", "3000"))
                out.write(response(200, [filler, "Set-Cookie: big=1; Path=/"], b"big"))
            elif path == "/slow":
                hold(int(args.get("ms", "1000")) / 1000.0)
                out.write(response(200, [], b"slow"))
            elif path == "/never":
                with log_lock:
                    never_active[0] += 1
                try:
                    out.write(response(200, [], length=1 << 30))
                    out.flush()
                    # 1 KB at a time: a reader waiting for a full 2 KB chunk
                    # still gets one every second.
                    while not stop.is_set():
                        out.write(b"." * 1024)
                        out.flush()
                        time.sleep(0.5)
                finally:
                    with log_lock:
                        never_active[0] -= 1
            elif path.startswith("/pkg/"):
                self.serve_package(path, args, header(raw, b"range"))
            elif path == "/pkgm":
                out.write(response(200, ["Content-Type: application/xml"], PACKAGE_MANIFEST % (
                    xml_text(args.get("link", "")), xml_text(args.get("title", "")))))
            elif path == "/agent-page":
                agent = urllib.parse.quote(header(raw, b"user-agent"), safe="")
                page = "<a href=\"x\">download-manifest&url=http://127.0.0.1:%d/m/%s.plist</a>" % (
                    self.ports.get("http", 0), agent)
                out.write(response(200, ["Content-Type: text/html"], page.encode("latin-1")))
            elif path == "/__connections":
                with log_lock:
                    count = connections.get(args.get("port", ""), 0)
                out.write(response(200, [], str(count).encode()))
            elif path == "/__close":
                with log_lock:
                    ending = list(closable.get(args.get("port", ""), ()))
                for sock in ending:
                    try:
                        sock.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                out.write(response(200, [], b"closed %d" % len(ending)))
            elif path == "/__never":
                out.write(response(200, [], str(never_active[0]).encode()))
            elif path == "/__held":
                with log_lock:
                    text = "%d %d" % (held[0], held[1])
                    if args.get("clear"):
                        held[1] = held[0]
                out.write(response(200, [], text.encode()))
            elif path == "/large":
                remaining = int(args.get("bytes", "0"))
                out.write(response(200, ["Content-Type: application/octet-stream"],
                                   length=remaining))
                while remaining > 0:
                    chunk = PATTERN[:min(remaining, 65536)]
                    out.write(chunk)
                    remaining -= len(chunk)
            elif path == "/empty":
                out.write(response(200, ["X-Empty: yes"]))
            elif path == "/__proxylog":
                with log_lock:
                    text = "".join(line + "\n" for line in proxy_log)
                    if args.get("clear"):
                        proxy_log.clear()
                out.write(response(200, ["Content-Type: text/plain"], text.encode("latin-1")))
            elif path in ("/__requests", "/__proxyrequests"):
                log = request_log if path == "/__requests" else proxy_requests
                with log_lock:
                    text = b"".join(log)
                    if args.get("clear"):
                        log.clear()
                out.write(response(200, ["Content-Type: text/plain"], text))
            elif path == "/__active":
                with log_lock:
                    count = active.get(args.get("mode", ""), 0)
                out.write(response(200, [], str(count).encode()))
            elif path == "/__release":
                with log_lock:
                    mode = args.get("mode", "")
                    released[mode] = released.get(mode, 0) + 1
                out.write(response(200, [], b"released"))
            elif path.startswith("/hostile/"):
                self.hostile(path[len("/hostile/"):], args)
            elif path == "/__quit":
                out.write(response(200, [], b"bye"))
                stop.set()
            elif target.startswith("/echo-manifest/"):
                late = path.split("/")
                if len(late) > 3 and late[2] == "late":
                    hold(int(late[3]) / 1000.0)
                echoed = target.encode("latin-1").replace(b"&", b"&amp;").replace(b"<", b"&lt;")
                out.write(response(200, ["Content-Type: text/html; charset=utf-8"],
                                   ECHO_MANIFEST % echoed))
            else:
                self.serve_site(path, header(raw, b"user-agent"), header(raw, b"host"))
            out.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            return False  # the client went away (time-outs, abandoned fetches)
        return True

    def hostile(self, mode, args):
        """The hostile modes (see the module's description). Each ends when
        the client goes away or the server stops."""
        with log_lock:
            active[mode] = active.get(mode, 0) + 1
            generation = released.get(mode, 0)
        self.going = lambda: not stop.is_set() and released.get(mode, 0) == generation
        try:
            self.hostile_mode(mode, args)
        finally:
            with log_lock:
                active[mode] -= 1

    def wait_for_close(self):
        """Sends nothing until the client closes (or the mode is released)."""
        self.connection.settimeout(0.2)
        while self.going():
            try:
                if not self.connection.recv(4096):
                    return  # the client closed
            except socket.timeout:
                pass

    def hostile_mode(self, mode, args):
        out = self.wfile
        if mode == "silent":
            self.wait_for_close()
        elif mode == "trickle":
            if args.get("part") == "body":
                out.write(response(200, [], length=1 << 20))
                data = b"x" * (1 << 20)
            else:
                data = response(200, [], b"trickled")
            for byte in data:
                if not self.going():
                    return
                out.write(bytes([byte]))
                out.flush()
                time.sleep(0.5)
        elif mode == "header-flood":
            out.write(b"HTTP/1.1 200 OK\r\n")
            line = b"X-Flood: " + b"f" * 1000 + b"\r\n"
            block = line * 64
            # 16 times the stand-in's cap on headers; past it the headers
            # stay unfinished: a client without a cap of its own (WinINet)
            # meets its time-out without holding more than the flood.
            for _ in range((16 << 20) // len(block)):
                if not self.going():
                    break
                out.write(block)
            out.flush()
            self.wait_for_close()
        elif mode == "endless":
            out.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n")
            while self.going():
                out.write(PATTERN)
        elif mode == "redirect-loop":
            n = int(args.get("n", "0")) + 1
            out.write(response(302, ["Location: /hostile/redirect-loop?n=%d" % n], b"again"))
        elif mode == "reset":
            page = (b"<html><a href=\"itms-services://?action=download-manifest&url=" +
                    b"http://127.0.0.1:%d/m/a1.plist\">x</a>" % self.ports.get("http", 0))
            page += b" " * (1 << 20)
            out.write(response(200, ["Content-Type: text/html"], length=len(page)))
            out.write(page[:int(args.get("after", "1000"))])
            out.flush()
            # SO_LINGER with a zero time-out: close sends a reset.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
        elif mode == "bad-status":
            manifest = b"http://127.0.0.1:%d/m/a1.plist" % self.ports.get("http", 0)
            page = b"<html>download-manifest&url=" + manifest + b"</html>"
            if args.get("kind") == "none":
                out.write(page)
            else:
                out.write(b"HTTP/1.1 abc OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                          % len(page) + page)
        elif mode == "crlf-page":
            base = b"http://a\r\nX-Injected: yes\r\nY: @127.0.0.1:%d/m/" % self.ports.get("http", 0)
            page = (b"<script>var u = \"\" + tag +\"\";\n"
                    b"var m = 'itms-services://?action=download-manifest&url=" + base + b"';\n"
                    b"</script><a onclick=\"download('a1')\">1</a>"
                    b"<a onclick=\"download('a2')\">2</a>")
            out.write(response(200, ["Content-Type: text/html"], page))
        elif mode == "flood-page":
            out.write(response(200, ["Content-Type: text/html"], FLOOD_PAGE))
        else:
            out.write(response(404, [], b"no such mode"))

    def serve_package(self, path, args, range_header):
        out = self.wfile
        size = int(args.get("size", "1000"))
        headers = ["Content-Type: application/octet-stream"]
        if "disposition" in args:
            headers.append("Content-Disposition: " + args["disposition"])
        start = 0
        status = int(args.get("status", "200"))
        if range_header.startswith("bytes=") and not args.get("norange") and status == 200:
            start = int(range_header[6:].split("-")[0] or "0")
            if start >= size:
                out.write(response(416, ["Content-Range: bytes */%d" % size]))
                return
            status = 206
            headers.append("Content-Range: bytes %d-%d/%d" % (start, size - 1, size))
        out.write(response(status, headers, length=size - start))
        end = size
        if status == 200 and "cut" in args:
            end = min(size, int(args["cut"]))
        stall = int(args["stall"]) if "stall" in args else None
        pace = int(args.get("pace", "0")) / 1000.0
        position = start
        while position < end:
            step = 4096 if pace else 65536
            if stall is not None:
                step = min(step, max(stall - position, 0)) or step
            piece = package_bytes(position, min(end, position + step))
            out.write(piece)
            out.flush()
            position += len(piece)
            if stall is not None and position >= stall:
                waited = 0.0
                while waited < 60 and not stop.is_set():
                    time.sleep(0.2)
                    waited += 0.2
                return
            if pace:
                time.sleep(pace)

    def serve_site(self, path, agent, host=""):
        # /padded/SITE...: the site's pages with 1.5 MB of plain markup after them.
        padded = path.startswith("/padded/")
        if padded:
            path = path[len("/padded"):]
        parts = [p for p in path.split("/") if p]
        if len(parts) == 3 and parts[0] == "many":
            base = "http://127.0.0.1:%d" % self.ports.get("http", 0)
            links = "".join('<p>download-manifest&url=%s/echo-manifest/late/%s/%d.plist</p>\n'
                            % (base, parts[2], k) for k in range(1, int(parts[1]) + 1))
            self.wfile.write(response(200, ["Content-Type: text/html"], links.encode()))
            return
        if len(parts) == 2 and parts[0] == "samehost":
            scheme = "https" if isinstance(self.server, TlsServer) else "http"
            links = "".join('<p>download-manifest&url=%s://%s/echo-manifest/%d.plist</p>\n'
                            % (scheme, host, k) for k in range(1, int(parts[1]) + 1))
            self.wfile.write(response(200, ["Content-Type: text/html"], links.encode()))
            return
        if len(parts) == 3 and parts[0] == "script-built":
            prefix = "http://127.0.0.1:%d/m/" % self.ports.get("http", 0)
            prefix += "p" * (int(parts[1]) * 1024 - len(prefix))
            page = ("<script>var a = \"x\" + tag +\"y\";\nvar u = 'download-manifest&url=%s';\n"
                    % prefix)
            page += "".join("download('c%d');\n" % k for k in range(1, int(parts[2]) + 1))
            self.wfile.write(response(200, ["Content-Type: text/html"], page.encode()))
            return
        if path.startswith("/slow/"):
            _, _, ms, rest = path.split("/", 3)
            hold(int(ms) / 1000.0)
            path = "/" + rest
        parts = [p for p in path.split("/") if p]
        if len(parts) == 2 and parts[0] == "iphone":
            parts = parts[1:] if "iPhone" in agent else ["desktop.html"]
        if parts == ["desktop.html"]:
            file = os.path.join(self.sites, "desktop.html")
        elif len(parts) == 1:
            file = os.path.join(self.sites, parts[0], "index.html")
        elif len(parts) == 2 and parts[0] == "m":
            file = os.path.join(self.sites, "manifests", parts[1])
        else:
            file = None
        if not file or ".." in parts or not os.path.isfile(file):
            self.wfile.write(response(404, [], b"<html>not found</html>"))
            return
        with open(file, "rb") as f:
            body = f.read()
        http, https = self.ports.get("http", 0), self.ports.get("https", 0)
        body = (body.replace(b"@BASE@", b"http://127.0.0.1:%d" % http)
                .replace(b"@HOSTPORT_TLS@", b"localhost:%d" % https)
                .replace(b"@HOSTPORT@", b"127.0.0.1:%d" % http))
        if padded:
            body += b"<div>" + b"<span>plain words and no address</span>\n" * 40000 + b"</div>\n"
        self.wfile.write(response(200, ["Content-Type: text/html; charset=utf-8"], body))


class ProxyHandler(socketserver.StreamRequestHandler):
    def handle(self):
        raw = read_request(self.rfile)
        if raw is None:
            return
        request_line, _, rest = raw.partition(b"\r\n")
        line = request_line.decode("latin-1")
        with log_lock:
            proxy_log.append(line)
            proxy_requests.append(raw.split(b"\r\n\r\n", 1)[0][:8192] + b"\r\n\r\n")
            del proxy_requests[:-1000]
        method, target, version = (line.split(" ") + ["", "", ""])[:3]
        if method == "CONNECT":
            host, _, port = target.rpartition(":")
            if host not in ("127.0.0.1", "localhost") or not port.isdigit():
                self.wfile.write(response(501, [], b"proxy: not forwarded"))
                return
            try:
                with socket.create_connection((host, int(port))) as upstream:
                    self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    self.wfile.flush()
                    tunnel(self.connection, upstream)
            except OSError:
                pass
            return
        url = urllib.parse.urlsplit(target)
        host, port = url.hostname, url.port or 80
        if (host or "").endswith(".test"):  # names of our own: the plain server
            host, port = "127.0.0.1", Handler.ports.get("http", 0)
        if method == "CONNECT" or url.scheme != "http" or host not in ("127.0.0.1", "localhost"):
            self.wfile.write(response(501, [], b"proxy: not forwarded"))
            return
        origin = url.path or "/"
        if url.query:
            origin += "?" + url.query
        forwarded = ("%s %s %s\r\n" % (method, origin, version)).encode("latin-1") + rest
        try:
            with socket.create_connection((host, port)) as upstream:
                upstream.sendall(forwarded)
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    self.wfile.write(data)
        except OSError:
            pass


def tunnel(client, upstream):
    """Copies bytes both ways until both sides have ended."""
    def pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        finally:
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass
    back = threading.Thread(target=pump, args=(upstream, client), daemon=True)
    back.start()
    pump(client, upstream)
    back.join()


class KeepAliveHandler(Handler):
    """The routes of Handler (those whose answers announce their length), one
    request after another on a connection that stays open; counts the
    connections."""

    def handle(self):
        per_connection.keep_alive = True
        with log_lock:
            connections["keepalive"] += 1
        while not stop.is_set():
            with log_lock:
                closable["keepalive"].add(self.connection)
            if not self.serve_one():
                break

    def request_arrived(self):
        with log_lock:
            closable["keepalive"].discard(self.connection)


class BrokenHttp2Handler(Handler):
    """TLS that offers HTTP/2 and then answers it with an HTTP/1.1 error, as a
    broken server does; over HTTP/1.1 the routes of Handler."""

    def handle(self):
        if self.connection.selected_alpn_protocol() != "h2":
            return self.serve_one()
        with log_lock:
            connections["broken_h2"] += 1
        try:
            self.connection.recv(65536)  # the client's preface
            self.wfile.write(response(505, [], b"no HTTP/2 here"))
        except OSError:
            pass


class RelayHandler(socketserver.BaseRequestHandler):
    """Counts the connections and passes their bytes to the server behind."""

    def handle(self):
        with log_lock:
            connections["h2"] += 1
            closable["h2"].add(self.request)
        try:
            with socket.create_connection(("127.0.0.1", self.server.upstream)) as upstream:
                tunnel(self.request, upstream)
        except OSError:
            pass
        finally:
            with log_lock:
                closable["h2"].discard(self.request)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class Server6(Server):
    address_family = socket.AF_INET6


class TlsServer(Server):
    context = None

    def get_request(self):
        sock, address = self.socket.accept()
        sock.settimeout(10)
        try:
            sock = self.context.wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError):
            sock.close()
            raise
        sock.settimeout(None)
        return sock, address


def make_ca(directory):
    """A throwaway CA and a localhost certificate it signed, in `directory`;
    returns the CA's PEM file."""
    def run(*args):
        subprocess.run(args, cwd=directory, check=True, capture_output=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
        "-out", "ca.pem", "-days", str(CA_DAYS), "-subj", "/CN=Tobrine Test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
        "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(directory, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", str(CA_DAYS), "-extfile", "ext.cnf")
    run("openssl", "x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
    # A localhost certificate no trusted CA signed: a certificate check must fail.
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "untrusted.key",
        "-out", "untrusted.pem", "-days", str(CA_DAYS), "-subj", "/CN=localhost",
        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1")
    return os.path.join(directory, "ca.pem")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def end_with_parent():
    """In a child before it runs its program: it is killed when this process
    ends, also by a signal (atexit runs only on a normal exit)."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def start_nghttpd(directory, relay_port):
    """nghttpd (HTTP/2 only, TLS, the certificate of `directory`) on a port of
    its own, serving a folder of this server's: /page<n>.html with n manifest
    links to the relay's port, and the manifests /m/<k>.plist. None when
    nghttpd is not installed."""
    program = shutil.which("nghttpd") or "/usr/sbin/nghttpd"
    if not os.path.exists(program):
        return None
    # Not in the certificates' folder: other servers share that one.
    docroot = tempfile.mkdtemp(prefix="tobrine-h2-")
    atexit.register(shutil.rmtree, docroot, True)
    os.makedirs(os.path.join(docroot, "m"))
    for n in (2, 8):
        links = "".join('<p>download-manifest&url=https://localhost:%d/m/%d.plist</p>\n'
                        % (relay_port, k) for k in range(1, n + 1))
        with open(os.path.join(docroot, "page%d.html" % n), "w") as f:
            f.write(links)
    for k in range(1, 9):
        with open(os.path.join(docroot, "m", "%d.plist" % k), "wb") as f:
            f.write(PACKAGE_MANIFEST % (b"http://dl.example.com/%d.ipa" % k, b"h2"))
    port = free_port()
    process = subprocess.Popen([program, "-a", "127.0.0.1", "-d", docroot, str(port),
                                os.path.join(directory, "server.key"),
                                os.path.join(directory, "server.pem")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, preexec_fn=end_with_parent)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    return None


def certificates():
    """The folder of this week's CA and certificates, made when missing. Each set
    is made in a folder of its own and renamed into place whole, so that servers
    starting side by side share one and never see a set half made."""
    parent = os.path.join(tempfile.gettempdir(), "tobrine-fixture-ca-%d" % os.getuid())
    os.makedirs(parent, mode=0o700, exist_ok=True)
    info = os.lstat(parent)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid() or info.st_mode & 0o077:
        # Not this user's alone: a set of this server's own, gone when it ends.
        directory = tempfile.mkdtemp(prefix="tobrine-fixture-")
        atexit.register(shutil.rmtree, directory, True)
        make_ca(directory)
        return directory
    week = int(time.time() // (CA_RENEW_DAYS * 86400))
    directory = os.path.join(parent, str(week))
    if not os.path.isdir(directory):
        partial = tempfile.mkdtemp(prefix="partial-", dir=parent)
        make_ca(partial)
        try:
            os.rename(partial, directory)
        except OSError:  # another server made it first
            shutil.rmtree(partial, ignore_errors=True)
    # Sets of past weeks, and sets left half made by a server that was killed.
    for name in os.listdir(parent):
        path = os.path.join(parent, name)
        if (name.isdigit() and int(name) < week - 1) or (
                name.startswith("partial-") and time.time() - os.lstat(path).st_mtime > 3600):
            shutil.rmtree(path, ignore_errors=True)
    return directory


def start(sites=None):
    """Starts the servers in daemon threads (and nghttpd behind the h2 relay);
    returns the JSON fields."""
    if sites:
        Handler.sites = sites
    plain = Server(("127.0.0.1", 0), Handler)
    proxy = Server(("127.0.0.1", 0), ProxyHandler)
    directory = certificates()
    ca_pem = os.path.join(directory, "ca.pem")
    secure = TlsServer(("127.0.0.1", 0), Handler)
    secure.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    secure.context.load_cert_chain(os.path.join(directory, "server.pem"),
                                   os.path.join(directory, "server.key"))
    untrusted = TlsServer(("127.0.0.1", 0), Handler)
    untrusted.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    untrusted.context.load_cert_chain(os.path.join(directory, "untrusted.pem"),
                                      os.path.join(directory, "untrusted.key"))
    keepalive = Server(("127.0.0.1", 0), KeepAliveHandler)
    broken_h2 = TlsServer(("127.0.0.1", 0), BrokenHttp2Handler)
    broken_h2.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    broken_h2.context.load_cert_chain(os.path.join(directory, "server.pem"),
                                      os.path.join(directory, "server.key"))
    broken_h2.context.set_alpn_protocols(["h2", "http/1.1"])
    relay = Server(("127.0.0.1", 0), RelayHandler)
    nghttpd = start_nghttpd(directory, relay.server_address[1])
    servers = [plain, proxy, secure, untrusted, keepalive, broken_h2]
    if nghttpd:
        relay.upstream = nghttpd[1]
        servers.append(relay)
        atexit.register(nghttpd[0].kill)
    try:
        plain6 = Server6(("::1", 0), Handler)
        servers.append(plain6)
        http6 = plain6.server_address[1]
    except OSError:
        http6 = 0  # no IPv6 loopback here
    Handler.ports.update(http=plain.server_address[1], https=secure.server_address[1])
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    info = {"http": plain.server_address[1], "https": secure.server_address[1],
            "https_untrusted": untrusted.server_address[1], "http6": http6,
            "proxy": proxy.server_address[1], "keepalive": keepalive.server_address[1],
            "broken_h2": broken_h2.server_address[1],
            "h2": relay.server_address[1] if nghttpd else 0, "ca_pem": ca_pem,
            "ca_der": os.path.join(directory, "ca.der"), "pid": os.getpid()}
    return info


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sites", help="the sample sites (default: the sites folder here)")
    parser.add_argument("--ports-file", help="also write the JSON line here")
    parser.add_argument("--lifetime", type=float, default=1800,
                        help="seconds after which the server ends by itself")
    parser.add_argument("--idle", type=float, default=0,
                        help="end after this many seconds without a request (0: never)")
    parser.add_argument("--ignore-stdin", action="store_true",
                        help="do not end when standard input closes")
    parser.add_argument("--detach", action="store_true",
                        help="let go of the inherited standard streams (the ports go to "
                             "--ports-file only), so nobody waits on them")
    args = parser.parse_args()
    if args.detach:
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        os.closerange(3, 1024)  # copies of the starter's pipes may sit there too

    info = start(args.sites)
    line = json.dumps(info)
    if args.ports_file:
        partial = args.ports_file + ".part"
        with open(partial, "w") as f:
            f.write(line + "\n")
        os.replace(partial, args.ports_file)
    print(line, flush=True)

    if not args.ignore_stdin:
        def watch_stdin():
            sys.stdin.read()
            stop.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    deadline = time.monotonic() + args.lifetime
    while not stop.wait(1.0) and time.monotonic() < deadline:
        if args.idle and time.monotonic() - last_request[0] > args.idle:
            break
    stop.set()
    time.sleep(0.2)  # lets /__quit's answer go out
    if args.ports_file:
        try:
            os.remove(args.ports_file)
        except OSError:
            pass


if __name__ == "__main__":
    main()
