# The README's two commands: `make run URL=...` and `make test`.
.PHONY: test stress run demo build bootstrap clean format check-format dist fuzz bench install uninstall

PRESETS := host host-release win64 win32

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

# Every stage runs even when one fails (format check, the builds, host suite,
# win64 suite, fuzz targets); the last lines say how each went.
test: bootstrap
	@scripts/run-tests

# The host suite (and the win64 suite) N times in a row with both cores kept
# busy beside it: how a test that fails by chance is found.
N ?= 10
stress: bootstrap
	@scripts/stress-suites $(N)

# Every fuzz target for a bounded time (part of `make test`).
fuzz: bootstrap
	@scripts/run-fuzz

# Every speed figure beside its yardstick, measured in one run on this machine
# (not part of `make test`): writes docs/performance.md and its plot.
bench: bootstrap
	@python3 tests/bench/bench.py

# Formats every C++ file of the tree with the committed .clang-format.
format:
	@git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@scripts/check-format

# The address reaches the program through the environment, never through the
# shell's parsing: `make run URL='http://h/p?a=1&b=2'` keeps its `&`.
run: bootstrap
	@cmake --preset host-release >/dev/null && cmake --build --preset host-release --target tobrine
	@build/host-release/src/app/tobrine -- "$$URL"

demo: bootstrap
	@cmake --preset host-release >/dev/null && cmake --build --preset host-release --target tobrine
	@python3 tests/e2e/demo.py build/host-release/src/app/tobrine

# The release archive: dist/tobrine-VERSION-win32.zip (the 32-bit program, the
# README and the licence) and its SHA-256 sum beside it.
dist: bootstrap
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target dist

# The Linux command line, its manual page and its bash completion, under PREFIX
# (staged under DESTDIR when given).
PREFIX ?= /usr/local
BINDIR ?= $(PREFIX)/bin
MANDIR ?= $(PREFIX)/share/man
COMPLETIONDIR ?= $(PREFIX)/share/bash-completion/completions

install:
	@cmake --preset host-release >/dev/null && cmake --build --preset host-release --target tobrine
	install -D -m 755 build/host-release/src/app/tobrine "$(DESTDIR)$(BINDIR)/tobrine"
	install -D -m 644 docs/tobrine.1 "$(DESTDIR)$(MANDIR)/man1/tobrine.1"
	install -D -m 644 docs/tobrine.bash-completion "$(DESTDIR)$(COMPLETIONDIR)/tobrine"

uninstall:
	rm -f "$(DESTDIR)$(BINDIR)/tobrine" "$(DESTDIR)$(MANDIR)/man1/tobrine.1" \
	  "$(DESTDIR)$(COMPLETIONDIR)/tobrine"

clean:
	@scripts/wine-session stop 2>/dev/null || true
	rm -rf build
