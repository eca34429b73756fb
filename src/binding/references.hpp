// Ownership of Python references.
//
// Rules, stated once: a function that returns a new reference returns an
// `OwnedRef`; a borrowed reference travels as a plain `PyObject*` and is never
// released. Which constructor is used says whether a count changes:
// `OwnedRef::steal(p)` takes over a new reference, `OwnedRef::borrow(p)` adds one.
#pragma once

#include <Python.h>

#include <utility>

#include "binding/once_cell.hpp"

namespace brooklet::binding {

// Releases one reference: at once while the thread is inside an entry of the
// module, otherwise queued until the next entry (see deferred_releases.hpp).
void release_reference(PyObject* object) noexcept;

class OwnedRef {
public:
    OwnedRef() noexcept = default;

    [[nodiscard]] static OwnedRef steal(PyObject* new_reference) noexcept {
        return OwnedRef(new_reference);
    }
    [[nodiscard]] static OwnedRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return OwnedRef(borrowed);
    }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // A new reference to the same object, for a second owner.
    [[nodiscard]] OwnedRef clone() const noexcept { return borrow(object_); }

    void reset() noexcept {
        if (PyObject* old = std::exchange(object_, nullptr)) {
            release_reference(old);
        }
    }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// A string interned once per process and kept until it ends.
class InternedString {
public:
    explicit constexpr InternedString(const char* text) noexcept : text_(text) {}
    InternedString(const InternedString&) = delete;
    InternedString& operator=(const InternedString&) = delete;
    ~InternedString() = default;  // the string is kept until the process ends

    // Borrowed; created on first use.
    [[nodiscard]] PyObject* get();

private:
    const char* text_;
    OnceCell<PyObject> object_;
};

}  // namespace brooklet::binding
