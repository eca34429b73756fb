# Both targets set up .venv (CPython 3.13, brooklet) first: `test` with the test tools, `example`
# with the examples' extras (matplotlib, NumPy, SciPy, Dask, pandas). A set-up with nothing changed takes
# a second or so. `test` first checks every vector version of the multi-pass sweep that the
# processor runs (scripts/check-sweep.sh), then runs the suite.
.PHONY: example test setup test-target wheels bench bench-kernel bench-parallel sanitize sanitize-target tidy soak valgrind

setup:
	bash scripts/setup-env.sh

# The examples, each drawing its chart into docs/.
example:
	bash scripts/setup-env.sh example
	.venv/bin/python examples/textbook_flood.py
	.venv/bin/python examples/calibrate.py
	.venv/bin/python examples/river_network.py

test: setup
	bash scripts/check-sweep.sh
	.venv/bin/python -m pytest

# Builds and tests the module inside the 32-bit x86 target root, with both of its interpreters.
test-target:
	bash scripts/test-target.sh

# manylinux wheels for CPython 3.13 on x86-64 and, in the target root, for CPython 3.13 and the
# free-threaded CPython 3.13 on 32-bit x86, plus the sdist, in dist/; each wheel is installed into
# a new environment of its interpreter and checked.
wheels:
	bash scripts/build-wheels.sh

# Benchmarks against the floor, a pure-Python loop and SciPy; writes bench/results.md and .png.
bench: setup
	.venv/bin/python -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
	.venv/bin/python bench/run.py --write

# Two threads routing at once against one after another, in the free-threaded python3.13t of the
# 32-bit target root with the GIL kept off, and with it on for comparison.
bench-parallel:
	bash scripts/bench-parallel.sh

# Cycles per value·pass of the multi-pass sweep, per vector version, on the host and in the
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

# clang-tidy over src/ with the checked-in .clang-tidy; any finding fails.
tidy:
	bash scripts/tidy.sh

# A million calls over every success and failure path; resident memory must stay flat.
soak: setup
	.venv/bin/python scripts/soak.py

# The soak script's calls under valgrind memcheck, against a build with debug information.
valgrind:
	bash scripts/valgrind.sh
