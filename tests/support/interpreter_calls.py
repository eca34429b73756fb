"""Calls of the routing function made as the interpreter makes them, through the vectorcall
protocol, so that any keyword names, repeated ones too, and broken argument vectors reach it."""

import ctypes

import brooklet

route = brooklet.reach.muskingum_routing

# PyObject_Vectorcall(callable, args, nargsf, kwnames): args and kwnames are passed as addresses,
# so that a caller can hand in null or a tuple that Python code could not build.
raw_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
raw_vectorcall.restype = ctypes.py_object
raw_vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]


def vectorcall(positional, keywords):
    """Calls the function the way the interpreter does, with any keyword names, repeated ones too."""
    values = [*positional, *(value for _, value in keywords)]
    vector = (ctypes.py_object * len(values))(*values) if values else None
    names = tuple(name for name, _ in keywords)
    return raw_vectorcall(route, vector, len(positional), id(names) if names else None)
