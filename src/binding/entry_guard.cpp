// The entry guard's steps that need no template: the outcome of a foreign C++
// exception, handing the outcome to the interpreter, and the last resort when
// a failure escapes the guard itself.
#include "binding/entry_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace brooklet::binding::detail {

BodyOutcome outcome_of_foreign_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // Running out of memory (a hydrograph larger than memory, say) is the caller's to
        // handle, like any MemoryError; the process goes on.
        return PyErr::lazy(PyExc_MemoryError, "cannot allocate memory");
    } catch (...) {
        return exception_from_foreign_failure();
    }
}

PyObject* finish_entry(BodyOutcome outcome) {
    if (auto* value = std::get_if<OwnedRef>(&outcome)) {
        return value->release();
    }
    restore(std::move(std::get<PyErr>(outcome)));
    return nullptr;
}

void abort_after_escaped_failure() noexcept {
    (void)std::fputs("brooklet: an internal failure escaped the boundary between the module and "
                     "the interpreter; aborting\n",
                     stderr);
    (void)std::fflush(stderr);
    std::abort();
}

}  // namespace brooklet::binding::detail
