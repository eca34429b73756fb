// The interpreter's side of internal failures: the exception class they are
// raised as, the error a caught failure becomes, a failure fetched back from
// Python code, and failing after an interpreter call failed.
#include "binding/failure_exception.hpp"

#include <cstdio>
#include <utility>

#include "binding/message_text.hpp"
#include "binding/once_cell.hpp"

namespace brooklet::binding {

namespace {

// Set while the internal-failure class is being created, so that fetching the
// failure of that creation does not need the class again.
thread_local bool creating_panic_class = false;

constexpr const char* panic_class_doc =
    "\n"
    "Raised when native code of brooklet fails, called from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

OnceCell<PyObject> panic_class_cell;

// The message of an internal failure whose payload carries no text.
constexpr const char* no_text_message = "native code failure.";

class CreatingPanicClass {
public:
    CreatingPanicClass() noexcept : previous_(std::exchange(creating_panic_class, true)) {}
    ~CreatingPanicClass() { creating_panic_class = previous_; }
    CreatingPanicClass(const CreatingPanicClass&) = delete;
    CreatingPanicClass& operator=(const CreatingPanicClass&) = delete;

private:
    bool previous_;
};

}  // namespace

bool is_failure_exception(PyObject* raised) {
    return !creating_panic_class && Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(panic_exception_type());
}

void print_and_resume(OwnedRef exception) {
    std::string message;
    if (PyObject* text = PyObject_Str(exception.get())) {
        OwnedRef owned_text = OwnedRef::steal(text);
        message = to_string_lossy(text);
    } else {
        OwnedRef discarded = OwnedRef::steal(PyErr_GetRaisedException());
        message = "Unwrapped panic from Python code";
    }
    (void)std::fputs("--- brooklet resumes an internal failure after fetching a PanicException from Python ---\n"
                     "Python stack trace below:\n",
                     stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_failure(std::move(message));
}

PyObject* panic_exception_type() {
    return panic_class_cell.get_or_init([] {
        // While the class is made, a fetched exception is taken as it is: its
        // creation failing must not ask for the class again.
        const CreatingPanicClass creating;
        OwnedRef made = OwnedRef::steal(PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException", panic_class_doc, PyExc_BaseException, nullptr));
        if (!made) {
            fail_with_error("Failed to initialize new exception type.", fetch_error());
        }
        return made;
    });
}

PyErr exception_from_failure(FailurePayload payload) {
    if (auto* owned = std::get_if<std::string>(&payload)) {
        return PyErr::lazy_panic(std::move(*owned));
    }
    if (auto* fixed = std::get_if<const char*>(&payload)) {
        return PyErr::lazy_panic(*fixed);
    }
    return PyErr::lazy_panic(no_text_message);
}

void fail_after_error(std::source_location where) {
    PyErr_Print();
    fail_fixed("Python API call failed", where);
}

void fail_with_error(std::string_view context, PyErr error, std::source_location where) {
    std::string message(context);
    message += ": ";
    message += debug_form(error);
    fail(std::move(message), where);
}

PyErr exception_from_foreign_failure() {
    write_failure_report(no_text_message, std::source_location::current());
    return exception_from_failure(NoTextPayload{});
}

}  // namespace brooklet::binding
