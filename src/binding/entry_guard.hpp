// The boundary between the interpreter and the module: error values, the
// fetching and raising of Python exceptions, the internal-failure exception
// class, and the guard that every entry from the interpreter runs inside.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "binding/internal_failure.hpp"
#include "binding/references.hpp"

namespace brooklet::binding {

// ---------------------------------------------------------------- error value

// Holds exactly one Python exception. Errors the module words itself stay lazy
// (a class and a message, nothing made in the interpreter) until they are
// raised or read; fetched exceptions are normalized (the exception object).
class PyErr {
public:
    // A lazy error of `exception_class` (borrowed) whose argument is `message`.
    [[nodiscard]] static PyErr lazy(PyObject* exception_class, std::string message);
    // A lazy internal-failure exception; its argument is a 1-tuple of `message`.
    [[nodiscard]] static PyErr lazy_panic(std::string message);
    [[nodiscard]] static PyErr normalized(OwnedRef exception) noexcept;

    PyErr(PyErr&&) noexcept = default;
    PyErr& operator=(PyErr&&) noexcept = default;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr() = default;

private:
    struct Lazy {
        OwnedRef exception_class;  // empty for the internal-failure class
        std::string message;
    };

    explicit PyErr(std::unique_ptr<Lazy> lazy) noexcept : lazy_(std::move(lazy)) {}
    explicit PyErr(OwnedRef exception) noexcept : exception_(std::move(exception)) {}

    // Exactly one is set: the exception object once there is one, else the
    // class and message. Two pointers keep every result that may carry an
    // error small, and so the frames of the calls that pass it on.
    OwnedRef exception_;
    std::unique_ptr<Lazy> lazy_;

    friend void restore(PyErr error);
    friend PyObject* make_normalized(PyErr& error);
};

template <class T>
using PyResult = std::expected<T, PyErr>;

[[nodiscard]] inline std::unexpected<PyErr> failure(PyErr error) {
    return std::unexpected<PyErr>(std::move(error));
}

// Sets the interpreter's pending exception from the error (consumed).
void restore(PyErr error);

// Fetches and clears the pending exception. A fetched internal-failure
// exception raised by Python code is reported and resumed as an internal
// failure instead (does not return then).
[[nodiscard]] std::optional<PyErr> take();

// `take`, with a SystemError standing in when nothing was pending.
[[nodiscard]] PyErr fetch_error();

// The exception object (borrowed from the error), instantiating a lazy error.
PyObject* make_normalized(PyErr& error);

// Turns the error into its exception object (new reference).
[[nodiscard]] OwnedRef into_value(PyErr error);

[[nodiscard]] std::optional<PyErr> cause(PyErr& error);
void set_cause(PyErr& error, std::optional<PyErr> new_cause);

// "PyErr { type: ..., value: ..., traceback: ... }", for internal-failure messages.
[[nodiscard]] std::string debug_form(PyErr& error);

// --------------------------------------------------------- failure reporting

// The internal-failure exception class (borrowed), created on first need.
PyObject* panic_exception_type();

[[nodiscard]] PyErr exception_from_failure(FailurePayload payload);

// For a failed interpreter call that can only fail when memory is exhausted:
// prints the pending exception, then fails with "Python API call failed".
[[noreturn]] void fail_after_error(std::source_location where = std::source_location::current());

// Fails with `context` + ": " + the debug form of `error`.
[[noreturn]] void fail_with_error(std::string_view context, PyErr error,
                                  std::source_location where = std::source_location::current());

// Text of a Python `str`; lone surrogates come out as U+FFFD.
[[nodiscard]] std::string to_string_lossy(PyObject* text);

// Appends the text of `object` given the outcome of str() or repr() of it;
// a failed rendering goes to the unraisable hook and a placeholder is written.
void python_format(PyObject* object, PyResult<OwnedRef> rendered, std::string& sink);

[[nodiscard]] PyResult<OwnedRef> str_of(PyObject* object);
[[nodiscard]] PyResult<OwnedRef> repr_of(PyObject* object);

// -------------------------------------------------------------- entry guard

namespace detail {

// Marks the thread as inside the module for its lifetime and releases the
// references queued while no thread was inside.
class EntryDepth {
public:
    EntryDepth() noexcept;
    ~EntryDepth();
    EntryDepth(const EntryDepth&) = delete;
    EntryDepth& operator=(const EntryDepth&) = delete;
};

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
        detail::EntryDepth depth;
        return detail::finish_entry(detail::run_body(std::forward<Body>(body)));
    } catch (...) {
        detail::abort_after_escaped_failure();
    }
}

}  // namespace brooklet::binding
