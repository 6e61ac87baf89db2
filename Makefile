# The README's two commands: `make run URL=...` and `make test`.
.PHONY: test run demo build bootstrap clean format check-format dist fuzz bench

PRESETS := host host-release win64 win32

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@for p in $(PRESETS); do \
	  cmake --preset $$p >/dev/null && cmake --build --preset $$p || exit 1; \
	done

test: build
	@scripts/check-format
	@scripts/run-suites
	@scripts/run-fuzz

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

run: bootstrap
	@cmake --preset host-release >/dev/null && cmake --build --preset host-release --target tobrine
	@build/host-release/src/app/tobrine $(URL)

demo: bootstrap
	@cmake --preset host-release >/dev/null && cmake --build --preset host-release --target tobrine
	@python3 tests/e2e/demo.py build/host-release/src/app/tobrine

# The release archive: dist/tobrine-VERSION-win32.zip (the 32-bit program, the
# README and the licence) and its SHA-256 sum beside it.
dist: bootstrap
	@cmake --preset win32 >/dev/null && cmake --build --preset win32 --target dist

clean:
	@scripts/wine-session stop 2>/dev/null || true
	rm -rf build
