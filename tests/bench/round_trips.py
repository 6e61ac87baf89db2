"""The round-trip figures of `make bench`: a page and its manifests fetched over
TLS from servers "far away" on loopback.

Two real servers: the bench server's TLS port (HTTP/1.1 only, connections kept
open) and nghttpd (HTTP/2 only). In front of each, for every round trip
measured, a delay proxy (tests/bench/delay_proxy.cpp) with four ports, the
"hosts": every byte waits half a round trip in each direction, and a new
connection a round trip more before its first byte leaves, as its TCP
handshake would take.
"""
import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
import fixture_server  # noqa: E402  (the throwaway CA of the tests)

ROUND_TRIPS = (50, 200)
HOSTS = (1, 4)
MANIFESTS = 20
PROTOCOLS = ("h1", "h2")
PROTOCOL_NAMES = {"h1": "HTTP/1.1", "h2": "HTTP/2"}
# The manifest the bench server sends, so that both servers send the same.
MANIFEST = ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
            '<key>items</key><array><dict><key>assets</key><array><dict>'
            '<key>kind</key><string>software-package</string>'
            '<key>url</key><string>http://dl.example.com/%d.ipa</string>'
            '</dict></array></dict></array></dict></plist>\n')


def tls_settings(directory):
    """An OpenSSL configuration under which clients offer a P-256 key share
    first: nghttpd takes no other group, and an X25519 share (OpenSSL's
    first) would cost every handshake a second hello, a round trip that real
    servers do not take. The path of the file, for OPENSSL_CONF."""
    path = os.path.join(directory, "openssl.cnf")
    with open(path, "w") as f:
        f.write("openssl_conf = openssl_init\n[openssl_init]\nssl_conf = ssl_sect\n"
                "[ssl_sect]\nsystem_default = system_default_sect\n"
                "[system_default_sect]\nGroups = P-256:X25519\n")
    return path


def certificates(directory):
    """A throwaway CA and a localhost certificate it signed, as the tests make
    them: the paths of the CA (PEM and DER), the certificate and its key."""
    ca = fixture_server.make_ca(directory)
    return (ca, *(os.path.join(directory, name) for name in ("ca.der", "server.pem", "server.key")))


def wait_for_file(path, what):
    """Waits for a program to write the file that tells its ports."""
    for _ in range(200):
        if os.path.exists(path):
            return
        time.sleep(0.05)
    sys.exit(f"{what} did not start")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process):
    for _ in range(200):
        if process.poll() is not None:
            sys.exit(f"{process.args[0]} ended before it listened")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"{process.args[0]} does not listen on {port}")


class Far:
    """nghttpd and the delay proxies, for the life of the object; the bench
    server (its TLS port `tls_port`) is the caller's."""

    def __init__(self, tmp, proxy_program, tls_port, certificate, key, most_manifests):
        self.processes = []
        self.docroot = os.path.join(tmp, "h2")
        os.makedirs(os.path.join(self.docroot, "m"))
        for k in range(1, most_manifests + 1):
            with open(os.path.join(self.docroot, "m", f"{k}.plist"), "w") as f:
                f.write(MANIFEST % k)
        nghttpd = shutil.which("nghttpd") or "/usr/sbin/nghttpd"
        h2_port = free_port()
        server = self.start([nghttpd, "-a", "127.0.0.1", "-d", self.docroot, str(h2_port), key,
                             certificate], stdin=subprocess.DEVNULL)
        wait_for_port(h2_port, server)
        self.ports = {}  # (protocol, round trip) -> the proxy's four ports
        for protocol, backend in (("h1", tls_port), ("h2", h2_port)):
            for rtt in ROUND_TRIPS:
                ports_file = os.path.join(tmp, f"proxy-{protocol}-{rtt}.json")
                proxy = self.start([str(proxy_program), "--rtt", str(rtt), "--to", str(backend),
                                    "--listen", str(max(HOSTS)), "--ports-file", ports_file],
                                   stdin=subprocess.PIPE)
                wait_for_file(ports_file, "the delay proxy")
                with open(ports_file) as f:
                    self.ports[(protocol, rtt)] = json.load(f)["ports"]

    def start(self, argv, stdin):
        # Killed with the bench, also when the bench is killed by a signal.
        process = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL,
                                   preexec_fn=fixture_server.end_with_parent)
        self.processes.append(process)
        return process

    def lookup(self, protocol, rtt, hosts, n=MANIFESTS):
        """The page's address and its manifests' addresses: manifest k on host
        (k-1) mod `hosts`, the page on the first."""
        ports = self.ports[(protocol, rtt)][:hosts]
        base = [f"https://localhost:{port}" for port in ports]
        if protocol == "h1":
            page = f"{base[0]}/page?n={n}&" + "&".join(f"base={b}" for b in base)
            manifests = [f"{base[(k - 1) % hosts]}/m/0/{k}.plist" for k in range(1, n + 1)]
            return page, manifests
        name = f"page-{rtt}-{hosts}-{n}.html"
        manifests = [f"{base[(k - 1) % hosts]}/m/{k}.plist" for k in range(1, n + 1)]
        path = os.path.join(self.docroot, name)
        if not os.path.exists(path):
            with open(path, "w") as f:
                f.write("<html><body>\n" + "".join(
                    f'<p><a href="itms-services://?action=download-manifest&url={m}">App</a></p>\n'
                    for m in manifests) + "</body></html>\n")
        return f"{base[0]}/{name}", manifests

    def close(self):
        for process in self.processes:
            if process.stdin:
                process.stdin.close()
            else:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()


def key(protocol, hosts, rtt):
    return f"rt_{protocol}_{hosts}_{rtt}"


def rows_of(r):
    """(work, key, protocol, round trip) of every round-trip row measured, in
    table order."""
    rows = []
    for protocol in PROTOCOLS:
        for hosts in HOSTS:
            for rtt in ROUND_TRIPS:
                k = key(protocol, hosts, rtt)
                if k in r:
                    where = "1 host" if hosts == 1 else f"{hosts} hosts"
                    rows.append((f"page + {MANIFESTS} manifests, {where}, "
                                 f"{PROTOCOL_NAMES[protocol]}, {rtt} ms", k, protocol, rtt))
    return rows
