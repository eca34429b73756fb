// The error value: lazy and fetched Python exceptions, raising and fetching
// them, and their causes.
#include "binding/py_err.hpp"

#include <exception>
#include <utility>

#include "binding/deferred_releases.hpp"
#include "binding/failure_exception.hpp"

namespace brooklet::binding {

PyErr PyErr::lazy(PyObject* exception_class, std::string message) {
    return PyErr(std::make_unique<Lazy>(Lazy{OwnedRef::borrow(exception_class), std::move(message)}));
}

PyErr PyErr::lazy_panic(std::string message) {
    return PyErr(std::make_unique<Lazy>(Lazy{OwnedRef(), std::move(message)}));
}

PyErr PyErr::normalized(OwnedRef exception) noexcept { return PyErr(std::move(exception)); }

namespace {

OwnedRef new_text(std::string_view text) {
    // Our messages are valid UTF-8; "replace" only guards against a stray byte.
    OwnedRef made = OwnedRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!made) {
        fail_after_error();
    }
    return made;
}

}  // namespace

void restore(PyErr error) {
    if (error.exception_) {
        PyErr_SetRaisedException(error.exception_.release());
        return;
    }
    const PyErr::Lazy& lazy = *error.lazy_;
    OwnedRef argument = new_text(lazy.message);
    OwnedRef exception_class = lazy.exception_class.clone();
    if (!exception_class) {
        exception_class = OwnedRef::borrow(panic_exception_type());
        argument = OwnedRef::steal(PyTuple_Pack(1, argument.get()));
        if (!argument) {
            fail_after_error();
        }
    }
    PyErr_SetObject(exception_class.get(), argument.get());
}

std::optional<PyErr> take() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return std::nullopt;
    }
    OwnedRef exception = OwnedRef::steal(raised);
    if (is_failure_exception(raised)) {
        print_and_resume(std::move(exception));
    }
    return PyErr::normalized(std::move(exception));
}

PyErr fetch_error() {
    if (std::optional<PyErr> fetched = take()) {
        return std::move(*fetched);
    }
    return PyErr::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyObject* make_normalized(PyErr& error) {
    if (error.exception_) {
        return error.exception_.get();
    }
    // Instantiation may run Python code (the class's constructor); the lock is
    // handed over the way a shared lazy error would need, and references
    // dropped meanwhile are queued until the thread is back in.
    PyErr pending_lazy(std::move(error.lazy_));
    OwnedRef instantiated;
    std::exception_ptr failed;
    {
        const EntriesSetAside outside_the_module;
        PyThreadState* thread_state = PyEval_SaveThread();
        {
            const PyGILState_STATE gil = PyGILState_Ensure();
            try {
                restore(std::move(pending_lazy));
                instantiated = OwnedRef::steal(PyErr_GetRaisedException());
            } catch (...) {
                failed = std::current_exception();
            }
            PyGILState_Release(gil);
        }
        PyEval_RestoreThread(thread_state);
    }
    if (failed) {
        std::rethrow_exception(failed);
    }
    if (!instantiated) {
        fail_fixed("raising a lazy error left no exception pending");
    }
    error.exception_ = std::move(instantiated);
    return error.exception_.get();
}

OwnedRef into_value(PyErr error) { return OwnedRef::borrow(make_normalized(error)); }

std::optional<PyErr> cause(PyErr& error) {
    PyObject* found = PyException_GetCause(make_normalized(error));
    if (found == nullptr) {
        return std::nullopt;
    }
    return PyErr::normalized(OwnedRef::steal(found));
}

void set_cause(PyErr& error, std::optional<PyErr> new_cause) {
    PyObject* exception = make_normalized(error);
    OwnedRef cause_object;
    if (new_cause) {
        cause_object = into_value(std::move(*new_cause));
    }
    // Steals the cause; setting it (even to null) sets __suppress_context__.
    PyException_SetCause(exception, cause_object.release());
}

}  // namespace brooklet::binding
