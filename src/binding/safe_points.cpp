// Stepping aside for the collector during long calls with the GIL off: whether the GIL is off,
// and the wait for a stop-the-world request (see safe_points.hpp).
#include "binding/safe_points.hpp"

#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>

#include "binding/entry_guard.hpp"
#include "binding/interpreter_internals.hpp"
#include "binding/references.hpp"

namespace brooklet::binding {

#ifdef Py_GIL_DISABLED

namespace {

// sys._is_gil_enabled as the interpreter made it: a built-in function of the
// sys module, which runs no Python code; nothing when it has been replaced.
PyObject* builtin_is_gil_enabled() {
    PyObject* function = PySys_GetObject("_is_gil_enabled");  // borrowed; never raises
    if (function == nullptr || !PyCFunction_Check(function)) {
        return nullptr;
    }
    const auto* record = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    PyObject* owner = PyCFunction_GET_SELF(function);
    if (record == nullptr || record->ml_name != std::string_view("_is_gil_enabled") || owner == nullptr ||
        !PyModule_CheckExact(owner)) {
        return nullptr;
    }
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) {
        (void)take();
        return nullptr;
    }
    return owner_name == std::string_view("sys") ? function : nullptr;
}

}  // namespace

// An interpreter whose sys._is_gil_enabled cannot be asked is taken to run
// with the GIL, which only keeps the call from stepping aside.
bool gil_disabled() {
    PyObject* function = builtin_is_gil_enabled();
    if (function == nullptr) {
        return false;
    }
    const OwnedRef answer = OwnedRef::steal(PyObject_CallNoArgs(OwnedRef::borrow(function).get()));
    if (!answer) {
        (void)take();
        return false;
    }
    return answer.get() == Py_False;
}

namespace {

// How long a detached thread waits to be parked before it attaches again.
// Longer than the collector's rounds, so that a request pending is met; a
// stale bit, left by a request met while the thread was detached anyway,
// costs the wait once.
constexpr auto longest_wait_to_be_parked = std::chrono::milliseconds(3);

// Detaches until the collector has parked the thread and let the world run
// again (attaching waits for that), or until the wait is over.
void wait_for_the_collector(PyThreadState* thread) {
    interpreter_internals::clear_stop_request(thread);
    PyThreadState* saved = PyEval_SaveThread();
    const int detached = interpreter_internals::attachment_state(thread);
    const auto give_up = std::chrono::steady_clock::now() + longest_wait_to_be_parked;
    while (interpreter_internals::attachment_state(thread) == detached &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    PyEval_RestoreThread(saved);
}

}  // namespace

bool SafePoints::step_aside_if_asked() {
    if (thread_ == nullptr) {
        thread_ = PyThreadState_Get();
    }
    // Only with the GIL off may another thread collect while this one runs.
    if (!interpreter_internals::stop_requested(thread_) || !gil_disabled()) {
        return false;
    }
    wait_for_the_collector(thread_);
    return true;
}

#else

bool gil_disabled() { return false; }

#endif

}  // namespace brooklet::binding
