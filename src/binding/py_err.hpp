// The error value: one Python exception held as a value (lazy until it is
// raised or read), the result type that carries it, and the raising,
// fetching and inspecting of exceptions.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "binding/references.hpp"

namespace brooklet::binding {

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

}  // namespace brooklet::binding
