// The interpreter's side of internal failures: the exception class they are
// raised as, the error a caught failure becomes, and failing after an
// interpreter call failed.
#pragma once

#include <Python.h>

#include <source_location>
#include <string_view>

#include "binding/py_err.hpp"
#include "binding/references.hpp"
#include "internal_failure.hpp"

namespace brooklet::binding {

// The binding reports its internal failures through the shared reporting.
using internal_failure::fail;
using internal_failure::fail_fixed;
using internal_failure::FailurePayload;
using internal_failure::InternalFailure;
using internal_failure::max_allocation_bytes;
using internal_failure::NoTextPayload;
using internal_failure::resume_failure;
using internal_failure::write_failure_report;

// The internal-failure exception class (borrowed), created on first need.
PyObject* panic_exception_type();

// True when `raised` is an internal-failure exception that Python code raised
// (never while the class itself is being created).
[[nodiscard]] bool is_failure_exception(PyObject* raised);

// Prints the fetched internal-failure exception with its Python stack trace
// and resumes the failure it carries.
[[noreturn]] void print_and_resume(OwnedRef exception);

[[nodiscard]] PyErr exception_from_failure(FailurePayload payload);

// Reports a C++ exception of no known kind and gives the error it becomes.
[[nodiscard]] PyErr exception_from_foreign_failure();

// For a failed interpreter call that can only fail when memory is exhausted:
// prints the pending exception, then fails with "Python API call failed".
[[noreturn]] void fail_after_error(std::source_location where = std::source_location::current());

// Fails with `context` + ": " + the debug form of `error`.
[[noreturn]] void fail_with_error(std::string_view context, PyErr error,
                                  std::source_location where = std::source_location::current());

}  // namespace brooklet::binding
