"""The module tree created on import: brooklet -> reach -> muskingum_routing, and init_reach."""

import importlib
import importlib.machinery
import inspect
import sys
import types

import pytest

import brooklet

PARAMETERS = ["inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"]


def check_function(func, module):
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == func.__qualname__ == "muskingum_routing"
    assert func.__module__ == module.__name__
    assert func.__self__ is module
    assert func.__doc__ is None
    assert func.__text_signature__ == "(" + ", ".join(PARAMETERS) + ")"
    params = list(inspect.signature(func).parameters.values())
    assert [p.name for p in params] == PARAMETERS
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_module_tree():
    assert brooklet.__name__ == "brooklet" and brooklet.__doc__ == ""
    assert type(brooklet.__all__) is list and brooklet.__all__ == ["reach"]
    reach = brooklet.reach
    assert isinstance(reach, types.ModuleType)
    assert reach.__name__ == "reach" and reach.__doc__ is None
    assert type(reach.__all__) is list and reach.__all__ == ["muskingum_routing"]
    # The submodule is only an attribute; it is not registered under any name.
    assert all(module is not reach for module in list(sys.modules.values()))
    check_function(reach.muskingum_routing, reach)


def test_submodule_is_reachable_only_as_attribute():
    from brooklet import reach
    assert reach is brooklet.reach
    with pytest.raises(ModuleNotFoundError):
        exec("import brooklet.reach", {})


def test_reimport_returns_the_same_module():
    original = sys.modules.pop("brooklet")
    try:
        again = importlib.import_module("brooklet")
        assert again is original and again.reach is original.reach and again.__all__ == ["reach"]
    finally:
        sys.modules["brooklet"] = original


def load_init_reach():
    # The second module exported by the same shared object, loaded under its own name;
    # create_module needs only the name and the file.
    loader = importlib.machinery.ExtensionFileLoader("init_reach", brooklet.__file__)
    module = loader.create_module(types.SimpleNamespace(name="init_reach", origin=brooklet.__file__))
    loader.exec_module(module)
    return module


def test_init_reach_module_from_the_same_shared_object(routing, args):
    try:
        first, second = load_init_reach(), load_init_reach()
    finally:
        sys.modules.pop("init_reach", None)
    assert first is second
    assert first.__name__ == "init_reach" and first.__doc__ == "" and first.__all__ == ["muskingum_routing"]
    check_function(first.muskingum_routing, first)
    assert first.muskingum_routing is not routing
    assert first.muskingum_routing(**args) == routing(**args)


SUBINTERPRETER_SCRIPT = r"""
import os, _interpreters
from datetime import timedelta
import brooklet
code = "import sys; sys.path.insert(0, %r); import brooklet" % os.path.dirname(brooklet.__file__)
interp = _interpreters.create("legacy")
for attempt in range(2):
    failure = _interpreters.run_string(interp, code)
    print(failure.type.__name__ if failure else "imported")
_interpreters.destroy(interp)
print(brooklet.reach.muskingum_routing([1.0], timedelta(1), 0.2, timedelta(1), 1, 3.0))
"""


def test_import_from_subinterpreter_fails(run_python):
    # A "legacy" interpreter accepts single-phase modules, so the refusal is the module's own;
    # a second attempt is refused the same way and the main interpreter is unaffected.
    proc = run_python(SUBINTERPRETER_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["ImportError", "ImportError", "[3.0]"]
