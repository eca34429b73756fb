// The entry guard: every entry from the interpreter runs inside it, and it
// turns the entry's outcome (a result, an error value or an internal failure)
// into what the interpreter expects.
#pragma once

#include <Python.h>

#include <utility>
#include <variant>

#include "binding/deferred_releases.hpp"
#include "binding/failure_exception.hpp"
#include "binding/py_err.hpp"
#include "binding/references.hpp"

namespace brooklet::binding {

namespace detail {

using BodyOutcome = std::variant<OwnedRef, PyErr>;

BodyOutcome outcome_of_foreign_exception();

template <class Body>
BodyOutcome run_body(Body&& body) {
    try {
        PyResult<OwnedRef> result = std::forward<Body>(body)();
        if (result) {
            return std::move(*result);
        }
        return std::move(result.error());
    } catch (InternalFailure& failed) {
        return exception_from_failure(std::move(failed).take_payload());
    } catch (...) {
        return outcome_of_foreign_exception();
    }
}

// Hands the outcome to the interpreter: the reference, or null with the error raised.
PyObject* finish_entry(BodyOutcome outcome);

// A failure in the guard's own steps cannot be turned into an exception.
[[noreturn]] void abort_after_escaped_failure() noexcept;

}  // namespace detail

// Runs `body` (returning PyResult<OwnedRef>) for an entry from the interpreter
// and returns what the interpreter expects: a new reference, or null with
// exactly one exception pending.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
    try {
        const EntryDepth depth;
        return detail::finish_entry(detail::run_body(std::forward<Body>(body)));
    } catch (...) {
        detail::abort_after_escaped_failure();
    }
}

}  // namespace brooklet::binding
