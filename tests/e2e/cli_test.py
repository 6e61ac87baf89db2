#!/usr/bin/env python3
"""The Linux command line end to end: `tobrine URL` against the sample sites on
127.0.0.1; checks the exact standard output, the closing message and the exit
status. Usage: cli_test.py TOBRINE"""
import atexit
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_server  # noqa: E402

tobrine = sys.argv[1]
info, ca_dir = fixture_server.start()
atexit.register(shutil.rmtree, ca_dir, True)
env = dict(os.environ, SSL_CERT_FILE=info["ca_pem"], LANG="C.UTF-8")
base = "http://127.0.0.1:%d" % info["http"]
failed = 0


def check(args, want_out, want_status=0):
    global failed
    run = subprocess.run([tobrine] + args, env=env, capture_output=True, timeout=120)
    out = run.stdout.decode("utf-8", "replace")
    err = run.stderr.decode("utf-8", "replace")
    ok = run.returncode == want_status and out == want_out
    print("%s tobrine %s (status %d)" % ("PASS" if ok else "FAIL", " ".join(args), run.returncode))
    if not ok:
        failed += 1
        print("  stdout: %r\n  want:   %r\n  stderr: %r" % (out, want_out, err))


check([base + "/variant_b/"],
      "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/first.ipa\n"
      "3\thttp://dl.example.com/b1.ipa\n")
# A manifest's link in UTF-8 is shown as it stands.
check([base + "/chinese/"],
      "1\thttp://dl.example.com/b1.ipa\n2\thttps://cdn.example.com/应用/二.ipa\n")
check(["127.0.0.1:%d/fallback1/" % info["http"]], "1\thttps://dl.example.com/f1.ipa\n")
# The markers' rows first, then the rows of the second reading, numbered on.
check([base + "/mixed/"],
      "1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/one-arm64.ipa\n"
      "3\thttps://dl.example.com/one-armv7.ipa\n4\thttps://dl.example.com/two.ipa?a=1&b=2\n"
      "5\thttps://dl.example.com/get?f=amp.ipa&t=x\n6\thttps://dl.example.com/icon-first.ipa\n"
      "7\thttps://dl.example.com/noext.ipa?sig=a&b\n")
check([base + "/iphone/iphone_only/"], "1\thttps://dl.example.com/noext.ipa?sig=a&b\n")
check(["itms-services://?action=download-manifest&url=%s/m/multi.plist" % base],
      "1\thttps://dl.example.com/one-arm64.ipa\n2\thttps://dl.example.com/one-armv7.ipa\n"
      "3\thttps://dl.example.com/two.ipa?a=1&b=2\n")
check([base + "/no-such-site/"], "", 1)
check([""], "", 2)
run = subprocess.run([tobrine, "--help"], capture_output=True)
if run.returncode != 0 or b"usage: tobrine [OPTIONS] URL..." not in run.stdout:
    failed += 1
    print("FAIL tobrine --help")
else:
    print("PASS tobrine --help")
print("%d passed, %d failed" % (9 - failed, failed))
sys.exit(1 if failed else 0)
