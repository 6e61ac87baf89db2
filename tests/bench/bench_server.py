#!/usr/bin/env python3
"""The loopback server of `make bench`: generated pages and manifests on
127.0.0.1, every answer optionally delayed, every connection closed after its
answer (the program opens one per request; the yardsticks get the same).

Routes (query parameters as name=value):

  /page?n=N&delay=MS      a distribution page with N install links, each to
                          /m/MS/K.plist (K = 1..N); the page itself is
                          answered after MS milliseconds too
  /m/MS/K.plist           a manifest whose package link is
                          http://dl.example.com/K.ipa, after MS milliseconds
  /big?mb=M               M MiB of markup without a single link (made once)
  /slow?ms=MS             "slow" after MS milliseconds

    bench_server.py [--ports-file FILE]

Prints {"port": P} on one line when ready (and writes it to FILE); ends when
standard input closes.
"""
import argparse
import asyncio
import json
import os
import re
import sys
import threading
import urllib.parse

MANIFEST = ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
            '<key>items</key><array><dict><key>assets</key><array><dict>'
            '<key>kind</key><string>software-package</string>'
            '<key>url</key><string>http://dl.example.com/%d.ipa</string>'
            '</dict></array></dict></array></dict></plist>\n')
BIG_LINE = b'<div class="row"><span>plain text without any address in it, ' \
           b'repeated line after line</span></div>\n'
big_pages = {}


def big_page(mb):
    """M MiB of markup, made once per size."""
    if mb not in big_pages:
        size = mb << 20
        body = BIG_LINE * (size // len(BIG_LINE) + 1)
        big_pages[mb] = b"<html><body>\n" + body[:size - 13]
    return big_pages[mb]


def page(n, delay, port):
    rows = [b"<html><body><h1>Apps</h1>\n"]
    for k in range(1, n + 1):
        rows.append(b'<p><a href="itms-services://?action=download-manifest&url=http://'
                    b'127.0.0.1:%d/m/%d/%d.plist">App %d</a></p>\n' % (port, delay, k, k))
    rows.append(b"</body></html>\n")
    return b"".join(rows)


def answer(body, kind="text/html"):
    head = ("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % (kind, len(body)))
    return head.encode("latin-1"), body


async def handle(reader, writer, port):
    try:
        head = await reader.readuntil(b"\r\n\r\n")
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
        writer.close()
        return
    target = head.split(b" ", 2)[1].decode("latin-1") if head.count(b" ") >= 2 else "/"
    path, _, query = target.partition("?")
    args = dict(urllib.parse.parse_qsl(query))
    delay = int(args.get("delay", args.get("ms", "0")))
    manifest = re.fullmatch(r"/m/([0-9]+)/([0-9]+)\.plist", path)
    if manifest:
        delay = int(manifest.group(1))
    if delay:
        await asyncio.sleep(delay / 1000.0)
    if path == "/page":
        parts = answer(page(int(args.get("n", "1")), delay, port))
    elif manifest:
        parts = answer((MANIFEST % int(manifest.group(2))).encode(), "application/xml")
    elif path == "/big":
        parts = answer(big_page(int(args.get("mb", "60"))))
    elif path == "/slow":
        parts = answer(b"slow")
    else:
        parts = (b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", b"")
    try:
        writer.write(parts[0])
        # A piece at a time: the transport's buffer moves what is left of one
        # big write down after every send.
        body = memoryview(parts[1])
        for at in range(0, len(body), 1 << 18):
            writer.write(body[at:at + (1 << 18)])
            await writer.drain()
        await writer.drain()
    except ConnectionError:
        pass
    writer.close()


async def serve(ports_file):
    port_box = [0]
    server = await asyncio.start_server(lambda r, w: handle(r, w, port_box[0]), "127.0.0.1", 0,
                                        backlog=1024, limit=1 << 20)
    port_box[0] = server.sockets[0].getsockname()[1]
    line = json.dumps({"port": port_box[0]})
    if ports_file:
        with open(ports_file + ".part", "w") as f:
            f.write(line + "\n")
        os.replace(ports_file + ".part", ports_file)
    print(line, flush=True)
    done = asyncio.get_running_loop().create_future()
    loop = asyncio.get_running_loop()
    threading.Thread(target=lambda: (sys.stdin.read(), loop.call_soon_threadsafe(
        done.set_result, None)), daemon=True).start()
    async with server:
        await done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ports-file")
    args = parser.parse_args()
    asyncio.run(serve(args.ports_file))


if __name__ == "__main__":
    main()
