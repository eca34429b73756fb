# Both targets set up .venv (CPython 3.13, brooklet) first: `test` with the test tools, `example`
# with the examples' extras (matplotlib, NumPy, SciPy, Dask, pandas). A set-up with nothing changed takes
# a second or so. `test` first checks every kernel of the multi-pass sweep that the
# processor runs (scripts/check-sweep.sh), then runs the suite.
.PHONY: example test test-free-threaded test-versions interpreters setup test-target wheel wheels wheels-old-systems bench bench-kernel bench-parallel sanitize sanitize-target tsan fuzz tidy soak valgrind

setup:
	bash scripts/setup-env.sh

# The examples, each redrawing its figure of the README in docs/ (run alone, an example draws
# into the current directory).
example:
	bash scripts/setup-env.sh example
	.venv/bin/python examples/textbook_flood.py --chart docs/textbook-flood.png
	.venv/bin/python examples/calibrate.py --chart docs/calibration.png
	.venv/bin/python examples/river_network.py --chart docs/river-network.png

test: setup
	bash scripts/check-sweep.sh
	.venv/bin/python -m pytest

# The suite in a free-threaded x86-64 CPython 3.13 (built from the target root's CPython source
# by scripts/build-cpython.sh and cached) in .venv-cp313t-x86_64: with the GIL on, as the module
# asks on import, then with it kept off (PYTHON_GIL=0). The test tools come from wheels only, and
# one with no wheel for this interpreter is left out (its tests skip). Needs root the first time.
test-free-threaded:
	bash scripts/test-versions.sh cp313t-x86_64

# The interpreters of scripts/interpreters.list, each made when missing (cached), one line each:
# its tag, then the command that runs it. Needs root the first time.
interpreters:
	@bash scripts/interpreters.sh

# The whole suite on every interpreter of that list, in an environment of its own (free-threaded
# ones with the GIL on and with PYTHON_GIL=0; the i686 ones through scripts/test-target.sh).
# TAGS="cp314-x86_64 ..." picks some.
test-versions:
	bash scripts/test-versions.sh $(TAGS)

# Builds and tests the module inside the 32-bit x86 target root, with both of its interpreters.
test-target:
	bash scripts/test-target.sh

# The manylinux2014 wheel of .venv's interpreter alone, in dist/: built, checked by auditwheel,
# installed as docs/wheels-and-target.md says in a new environment and checked. No root needed.
wheel:
	bash scripts/build-wheel.sh

# manylinux2014 wheels for CPython 3.13 and the free-threaded CPython 3.13, on x86-64 and (built in
# the target root) on 32-bit x86, and for CPython 3.14 and 3.15 on x86-64 (built in the Debian
# unstable root), plus the sdist, in dist/; each wheel is installed as its block
# in docs/wheels-and-target.md says, in a new environment of its interpreter, and checked.
wheels:
	bash scripts/build-wheels.sh

# Each wheel of dist/ (from make wheels) installed as docs/wheels-and-target.md says and checked on Debian 11
# "bullseye" (glibc 2.31), amd64 and i386, with CPython 3.13 and 3.13t built there
# (scripts/debian-roots.sh; the roots are cached), and the sweep check in each root.
wheels-old-systems:
	bash scripts/build-wheels.sh --old-systems

# Benchmarks against the floor, a pure-Python loop and SciPy; writes bench/results.md and .png.
bench: setup
	.venv/bin/python -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	.venv/bin/python bench/run.py --write

# Two threads routing at once against one after another, in the free-threaded python3.13t of the
# 32-bit target root with the GIL kept off, and with it on for comparison.
bench-parallel:
	bash scripts/bench-parallel.sh

# Cycles per value·pass of the multi-pass sweep, per kernel, on the host and in the
# 32-bit x86 target root.
bench-kernel:
	bash scripts/bench-kernel.sh

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize).
sanitize:
	bash scripts/sanitize.sh

# The suite against the sanitizer build inside the 32-bit target root, in the free-threaded
# python3.13t with the GIL kept off (PYTHON_GIL=0).
sanitize-target:
	bash scripts/test-target.sh --sanitize

# The threaded tests with the GIL off under ThreadSanitizer, in a free-threaded CPython built with
# it (cached), against a build of brooklet with it (build/tsan).
tsan:
	bash scripts/tsan.sh

# libFuzzer targets under AddressSanitizer and UndefinedBehaviorSanitizer: the call binding (through
# Atheris) and the sweep, FUZZ_SECONDS each (default 30), from the seed corpus in fuzz/corpus.
FUZZ_SECONDS ?= 30
fuzz:
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# clang-tidy over src/ with the checked-in .clang-tidy; any finding fails.
tidy:
	bash scripts/tidy.sh

# A million calls over every success and failure path; resident memory must stay flat.
soak: setup
	.venv/bin/python scripts/soak.py

# The soak script's calls under valgrind memcheck, against a build with debug information.
valgrind:
	bash scripts/valgrind.sh
