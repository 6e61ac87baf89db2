#!/usr/bin/env python3
"""Lists the sources the fuzz targets link whose literals hold non-ASCII bytes.

The fuzz build is compiled by clang, whose literals are UTF-8 where the program's
are GBK. That is sound only while no fuzzed routine compares, searches or builds
text with such a literal. The fuzz targets link the runtime, text, web and Linux
platform code, and of the lookup only what a target includes (window texts live
in window/). Every such file with a non-ASCII literal is named below with
the reason it does not matter to the fuzz targets; any other fails the check.

    literal_check.py SRC
"""
import pathlib
import sys

# What every fuzz target may link, relative to SRC; lookup files are added
# by the targets' own includes.
LINKED = ("base/", "runtime/", "text/", "web/", "platform/posix/")

# File (relative to SRC) -> why its non-ASCII literals do not reach a fuzz target.
KNOWN = {
    "runtime/fatal.h": "runtime error messages: shown only by a fatal report, itself a finding",
    "runtime/fatal.cpp": "runtime error dialog texts: shown only by a fatal report",
    "runtime/heap.cpp": "allocation failure message: shown only by a fatal report",
    "runtime/external.cpp": "binding failure messages: shown only by a fatal report",
    "runtime/window_registry.cpp": "window errors: fatal reports; no fuzz target loads windows",
    "runtime/conversions.cpp": "names of true and false, the date format: no fuzz target converts those",
    "text/markers.cpp": "the quote placeholder of TextBetween: the cookie target reaches only TextBefore",
    "runtime/form_description.h": "the unreadable-form report: shown only by a fatal report",
    "web/exchange_record.cpp": "the redirect flag's text: no fuzz target runs an exchange yet",
    "web/web_access.cpp": "the time-out notice and redirect flag: no fuzz target runs a fetch",
}


def literal_bytes(source: bytes):
    """Yields the line number of every non-ASCII byte inside a string or character literal."""
    i, line, n = 0, 1, len(source)
    while i < n:
        c = source[i]
        if c == 0x0A:
            line += 1
        if source.startswith(b"//", i):
            end = source.find(b"\n", i)
            i = n if end < 0 else end
            continue
        if source.startswith(b"/*", i):
            end = source.find(b"*/", i + 2)
            end = n if end < 0 else end + 2
            line += source.count(b"\n", i, end)
            i = end
            continue
        if c == ord("R") and source.startswith(b'"', i + 1):
            open_paren = source.find(b"(", i + 2)
            delimiter = b")" + source[i + 2 : open_paren] + b'"'
            end = source.find(delimiter, open_paren)
            end = n if end < 0 else end + len(delimiter)
            for k in range(i, end):
                if source[k] >= 0x80:
                    yield line + source.count(b"\n", i, k)
            line += source.count(b"\n", i, end)
            i = end
            continue
        if c in (ord('"'), ord("'")):
            k = i + 1
            while k < n and source[k] != c and source[k] != 0x0A:
                if source[k] == ord("\\"):
                    k += 1
                elif source[k] >= 0x80:
                    yield line
                k += 1
            i = k + 1
            continue
        i += 1


def linked_prefixes():
    """LINKED, and "lookup/NAME." for every "lookup/NAME.h" a fuzz target includes."""
    prefixes = list(LINKED)
    for target in pathlib.Path(__file__).parent.glob("*_fuzz.cpp"):
        for line in target.read_text(encoding="utf-8").splitlines():
            if line.startswith('#include "lookup/') and line.endswith('.h"'):
                prefixes.append(line[len('#include "') : -len('h"')])
    return tuple(prefixes)


def main():
    src = pathlib.Path(sys.argv[1])
    linked = linked_prefixes()
    failed = False
    for path in sorted(src.rglob("*")):
        name = path.relative_to(src).as_posix()
        if path.suffix not in (".cpp", ".h") or not name.startswith(linked):
            continue
        lines = sorted(set(literal_bytes(path.read_bytes())))
        if lines and name not in KNOWN:
            failed = True
            print(f"{name}:{lines[0]}: non-ASCII literal; the fuzz build makes it UTF-8, not GBK.")
            print("  Keep it out of fuzzed code, or add the file to KNOWN in " + __file__)
    if failed:
        sys.exit(1)
    print(f"non-ASCII literals only where they do not reach a fuzz target ({len(KNOWN)} files)")


if __name__ == "__main__":
    main()
