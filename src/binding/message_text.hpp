// Message rendering: the text of Python strings and objects as messages show
// them, and the debug form of an error.
#pragma once

#include <Python.h>

#include <string>

#include "binding/py_err.hpp"

namespace brooklet::binding {

// Text of a Python `str`; lone surrogates come out as U+FFFD.
[[nodiscard]] std::string to_string_lossy(PyObject* text);

// Appends the text of `object` given the outcome of str() or repr() of it;
// a failed rendering goes to the unraisable hook and a placeholder is written.
void python_format(PyObject* object, PyResult<OwnedRef> rendered, std::string& sink);

[[nodiscard]] PyResult<OwnedRef> str_of(PyObject* object);
[[nodiscard]] PyResult<OwnedRef> repr_of(PyObject* object);

// "PyErr { type: ..., value: ..., traceback: ... }", for internal-failure messages.
[[nodiscard]] std::string debug_form(PyErr& error);

}  // namespace brooklet::binding
