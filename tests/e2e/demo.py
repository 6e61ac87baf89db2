#!/usr/bin/env python3
"""make demo: serves a sample distribution page and its manifests on 127.0.0.1
and runs tobrine on it, so that rows come out without any network."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_server  # noqa: E402

tobrine = sys.argv[1]
info = fixture_server.start()
url = "http://127.0.0.1:%d/variant_b/" % info["http"]
print("demo page: %s" % url, flush=True)
status = subprocess.run([tobrine, url]).returncode
sys.exit(status)
