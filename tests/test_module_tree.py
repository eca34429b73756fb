"""The module tree created on import: brooklet -> reach -> muskingum_routing, and init_reach."""

import importlib
import importlib.machinery
import inspect
import pathlib
import re
import sys
import sysconfig
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


# Imports `brooklet` or `init_reach` from the shared object in the main interpreter or in named
# sub-interpreters ("legacy", "legacy2"), one step after another, and prints for each
# step the routed result or the ImportError.
IMPORTS_SCRIPT = r"""
import _interpreters, importlib.util
path = importlib.util.find_spec("brooklet").origin  # found, not imported
code = '''if True:
    import importlib.machinery, types
    from datetime import timedelta
    loader = importlib.machinery.ExtensionFileLoader(NAME, PATH)
    module = loader.create_module(types.SimpleNamespace(name=NAME, origin=PATH))
    loader.exec_module(module)
    route = getattr(module, "reach", module).muskingum_routing
    print(route([1.0, 2.0], timedelta(0), 0.0, timedelta(1), 1, 1.0), flush=True)
'''
interpreters = {}
for where, name in STEPS:
    step = code.replace("NAME", repr(name)).replace("PATH", repr(path))
    if where == "main":
        try:
            exec(step, {})
        except ImportError as error:
            print(error, flush=True)
        continue
    if where not in interpreters:
        interpreters[where] = _interpreters.create(_interpreters.new_config(where.rstrip("2")))
    if failure := _interpreters.run_string(interpreters[where], step):
        print(failure.msg, flush=True)
for interpreter in interpreters.values():
    _interpreters.destroy(interpreter)
"""

BOUND = "{} does not support sub-interpreters: it is bound to another interpreter of this process"
ROUTED = "[1.0, 2.0]"


@pytest.mark.parametrize("steps, outcomes", [
    # The main interpreter imports first; a sub-interpreter is refused, again and again.
    ([("main", "brooklet"), ("legacy", "brooklet"), ("legacy", "brooklet"), ("main", "brooklet")],
     [ROUTED, BOUND.format("brooklet"), BOUND.format("brooklet"), ROUTED]),
    # A sub-interpreter that imports first keeps the module; the main interpreter and any other
    # sub-interpreter are refused.
    ([("legacy", "brooklet"), ("main", "brooklet"), ("legacy2", "brooklet"), ("legacy", "brooklet")],
     [ROUTED, BOUND.format("brooklet"), BOUND.format("brooklet"), ROUTED]),
    # Each module binds on its own.
    ([("main", "brooklet"), ("legacy", "init_reach"), ("main", "init_reach"), ("main", "brooklet")],
     [ROUTED, ROUTED, BOUND.format("init_reach"), ROUTED]),
])
def test_each_module_is_bound_to_the_first_interpreter_that_imports_it(run_python, steps, outcomes):
    # In a child process, so that a refused or crashed sub-interpreter cannot end the test run.
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        # The free-threaded interpreter refuses single-phase modules in every sub-interpreter
        # before they can bind, so the main interpreter always gets them.
        outcomes = [ROUTED if where == "main" else f"module {name} does not support loading in subinterpreters"
                    for where, name in steps]
    proc = run_python(IMPORTS_SCRIPT.replace("STEPS", repr(steps)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == outcomes


# The last thread-state origin code of each CPython version the module knows.
LAST_ORIGIN_CODE = {(3, 13): 5, (3, 14): 5, (3, 15): 6}


def test_thread_state_origin_is_where_the_module_reads_it():
    # A sub-interpreter's import first runs the init function in the main interpreter on a thread
    # state that only its private origin code (5) tells apart. The running interpreter's own
    # headers must still say so; otherwise the module binds to the wrong interpreter, which the
    # row above where "legacy" imports first shows only on the build with the GIL.
    header = pathlib.Path(sysconfig.get_paths()["include"], "cpython", "pystate.h").read_text()
    codes = dict(re.findall(r"#  define _PyThreadState_WHENCE_(\w+) (-?\d+)\n", header))
    assert "int _whence;" in header, "the thread-state origin field changed"
    assert codes["NOTSET"] == "-1" and codes["EXEC"] == "5"
    assert max(map(int, codes.values())) == LAST_ORIGIN_CODE[sys.version_info[:2]]


# What a 3.14 user meets: `concurrent.interpreters` and `InterpreterPoolExecutor`, whose
# interpreters have a GIL of their own and refuse a single-phase module, imported in the main
# interpreter first or not; the main interpreter keeps routing.
CONCURRENT_INTERPRETERS_SCRIPT = r"""
import concurrent.futures, concurrent.interpreters, importlib
from datetime import timedelta

def route_here():
    import brooklet
    return brooklet.reach.muskingum_routing([1.0, 2.0], timedelta(0), 0.0, timedelta(1), 1, 1.0)

def show(call):
    try:
        print("routed", call(), flush=True)
    except BaseException as error:
        while error.__cause__ is not None:
            error = error.__cause__
        print(type(error).__name__, str(error).splitlines()[0], sep=": ", flush=True)

interpreter = concurrent.interpreters.create()
show(lambda: interpreter.exec("import brooklet"))
show(lambda: interpreter.call(importlib.import_module, "brooklet"))
interpreter.close()
if FIRST_IN_MAIN:
    show(route_here)
with concurrent.futures.InterpreterPoolExecutor(max_workers=2) as pool:
    show(lambda: pool.submit(importlib.import_module, "brooklet").result())
show(route_here)
"""


@pytest.mark.skipif(sys.version_info < (3, 14), reason="concurrent.interpreters is new in 3.14")
@pytest.mark.parametrize("first_in_main", [False, True])
def test_concurrent_interpreters_refuse_the_module_with_an_import_error(run_python, first_in_main):
    proc = run_python(CONCURRENT_INTERPRETERS_SCRIPT.replace("FIRST_IN_MAIN", str(first_in_main)))
    assert proc.returncode == 0, proc.stderr
    # The sub-interpreter's ImportError reaches the caller as CPython wraps it: ExecutionFailed,
    # whose message is the ImportError's class and text.
    refused = "ExecutionFailed: ImportError: module brooklet does not support loading in subinterpreters"
    expected = [refused, refused] + ["routed " + ROUTED] * first_in_main + [refused, "routed " + ROUTED]
    assert proc.stdout.splitlines() == expected
