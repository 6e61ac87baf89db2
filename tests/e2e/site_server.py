#!/usr/bin/env python3
"""Serves the sample distribution sites of tests/e2e/sites on 127.0.0.1.

  /<site>/            sites/<site>/index.html
  /m/<name>           sites/manifests/<name> (404 when missing; the query is ignored)
  /slow/<ms>/<path>   the same as /<path>, answered after <ms> milliseconds
  /iphone/<site>/     sites/<site>/index.html to an iPhone's agent string, else
                      sites/desktop.html
  /echo-manifest/...  a manifest whose package link is http://dl.example.com/got
                      followed by the request target exactly as received

In every file served, @BASE@ becomes http://127.0.0.1:<http port>, @HOSTPORT@
127.0.0.1:<http port> and @HOSTPORT_TLS@ 127.0.0.1:<https port>. With --tls the
same routes are also served over HTTPS with a throwaway CA made by openssl.
When ready, one JSON line goes to standard output (and to --ports-file when
given): {"http": port, "https": port, "ca": path}. Runs until standard input
closes, --lifetime seconds pass, --idle seconds pass without a request, or it
is killed. With --detach it lets go of its standard streams (for a starter
under Wine, which cannot pass it a pipe) and ends only by time.
"""
import argparse
import http.server
import json
import os
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


last_request = [time.monotonic()]

ECHO_MANIFEST = (b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                 b'<key>items</key><array><dict><key>assets</key><array><dict>'
                 b'<key>kind</key><string>software-package</string>'
                 b'<key>url</key><string>http://dl.example.com/got%s</string>'
                 b'</dict></array></dict></array></dict></plist>\n')


def make_handler(root, ports):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            last_request[0] = time.monotonic()
            if self.path.startswith("/echo-manifest/"):
                target = self.path.encode("latin-1").replace(b"&", b"&amp;").replace(b"<", b"&lt;")
                return self.reply(200, ECHO_MANIFEST % target)
            path = self.path.split("?", 1)[0]
            if path.startswith("/slow/"):
                _, _, ms, rest = path.split("/", 3)
                time.sleep(int(ms) / 1000.0)
                path = "/" + rest
            parts = [p for p in path.split("/") if p]
            if len(parts) == 2 and parts[0] == "iphone":
                if "iPhone" in self.headers.get("User-Agent", ""):
                    parts = parts[1:]
                else:
                    parts = ["desktop.html"]
            if parts == ["desktop.html"]:
                file = os.path.join(root, "desktop.html")
            elif len(parts) == 1:
                file = os.path.join(root, parts[0], "index.html")
            elif len(parts) == 2 and parts[0] == "m":
                file = os.path.join(root, "manifests", parts[1])
            else:
                file = None
            if not file or ".." in parts or not os.path.isfile(file):
                return self.reply(404, b"<html>not found</html>")
            with open(file, "rb") as f:
                body = f.read()
            body = (body.replace(b"@BASE@", b"http://127.0.0.1:%d" % ports["http"])
                    .replace(b"@HOSTPORT_TLS@", b"127.0.0.1:%d" % ports.get("https", 0))
                    .replace(b"@HOSTPORT@", b"127.0.0.1:%d" % ports["http"]))
            self.reply(200, body)

        def reply(self, status, body):
            self.send_response(status)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    return Handler


def make_ca(directory):
    def run(*args):
        subprocess.run(args, cwd=directory, check=True, capture_output=True)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
        "-out", "ca.pem", "-days", "2", "-subj", "/CN=Tobrine Test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key",
        "-out", "server.csr", "-subj", "/CN=localhost")
    with open(os.path.join(directory, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
    run("openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf")
    run("openssl", "x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
    return os.path.join(directory, "ca.pem")


def start(root, tls):
    ports = {}
    handler = make_handler(root, ports)
    plain = Server(("127.0.0.1", 0), handler)
    ports["http"] = plain.server_address[1]
    servers = [plain]
    ca = ""
    if tls:
        directory = tempfile.mkdtemp(prefix="tobrine-ca-")
        ca = make_ca(directory)
        secure = Server(("127.0.0.1", 0), handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(directory, "server.pem"),
                                os.path.join(directory, "server.key"))
        secure.socket = context.wrap_socket(secure.socket, server_side=True)
        ports["https"] = secure.server_address[1]
        servers.append(secure)
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    return {"http": ports["http"], "https": ports.get("https", 0), "ca": ca}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", default=os.path.join(HERE, "sites"))
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--ports-file")
    parser.add_argument("--lifetime", type=float, default=0)
    parser.add_argument("--idle", type=float, default=0)
    parser.add_argument("--detach", action="store_true")
    args = parser.parse_args()
    if args.detach:
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        os.closerange(3, 1024)  # copies of the starter's pipes may sit there too
    info = start(args.root, args.tls)
    print(json.dumps(info), flush=True)
    if args.ports_file:
        with open(args.ports_file + ".tmp", "w") as f:
            f.write(json.dumps(info))
        os.rename(args.ports_file + ".tmp", args.ports_file)
    if args.detach or args.idle:
        deadline = time.monotonic() + (args.lifetime or 1800)
        while time.monotonic() < deadline and not (
                args.idle and time.monotonic() - last_request[0] > args.idle):
            time.sleep(0.5)
    elif args.lifetime:
        time.sleep(args.lifetime)
    else:
        sys.stdin.read()  # until the test closes our standard input
    if args.ports_file:
        try:
            os.remove(args.ports_file)
        except OSError:
            pass


if __name__ == "__main__":
    main()
