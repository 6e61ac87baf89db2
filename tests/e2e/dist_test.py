#!/usr/bin/env python3
"""scripts/make-dist on sample inputs: the archive's entries, Windows text, the
sum file, and the same bytes from the same inputs."""
import hashlib
import pathlib
import subprocess
import sys
import tempfile
import zipfile

MAKE_DIST = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "make-dist"


def main():
    failures = []

    def check(ok, what):
        print(("PASS " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        program = tmp / "tobrine.exe"
        program.write_bytes(bytes(range(256)) * 64)
        readme = tmp / "README.md"
        readme.write_text("# Tobrine\n\n![The window](docs/x.png)\n\n获取 the links\n", "utf-8")
        licence = tmp / "LICENSE"
        licence.write_text("MIT License\n\nCopyright (c) 2026\n", "utf-8")
        out = tmp / "dist" / "tobrine-9.9.9-win32.zip"

        sums = []
        for _ in range(2):
            subprocess.run([str(MAKE_DIST), program, readme, licence, out], check=True,
                           stdout=subprocess.DEVNULL)
            sums.append(hashlib.sha256(out.read_bytes()).hexdigest())
        check(sums[0] == sums[1], "the same inputs give the same archive")

        with zipfile.ZipFile(out) as archive:
            check(archive.testzip() is None, "the archive reads back whole")
            names = archive.namelist()
            check(names == ["tobrine.exe", "README.txt", "LICENSE.txt"], f"entries {names}")
            check(archive.read("tobrine.exe") == program.read_bytes(), "the program unchanged")
            check(archive.read("README.txt").decode("utf-8")
                  == "# Tobrine\r\n\r\n\r\n获取 the links\r\n",
                  "README as Windows text, without its picture")
            check(archive.read("LICENSE.txt") == b"MIT License\r\n\r\nCopyright (c) 2026\r\n",
                  "licence as Windows text")
            check(all(i.date_time == (2026, 1, 1, 0, 0, 0) for i in archive.infolist()),
                  "fixed time stamps")

        line = (out.parent / (out.name + ".sha256")).read_text()
        check(line == f"{sums[1]}  {out.name}\n", f"sum file: {line.strip()}")
        verify = subprocess.run(["sha256sum", "-c", out.name + ".sha256"], cwd=out.parent,
                                capture_output=True, text=True)
        check(verify.returncode == 0, "sha256sum -c accepts it")
        leftovers = sorted(p.name for p in out.parent.iterdir())
        check(leftovers == [out.name, out.name + ".sha256"], f"dist holds {leftovers}")

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
