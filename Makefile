# Both targets set up .venv (CPython 3.13, brooklet, test tools) first.
.PHONY: example test setup

setup:
	bash scripts/setup-env.sh

example: setup
	.venv/bin/python examples/textbook_flood.py

test: setup
	.venv/bin/python -m pytest
