// Everything the module reads of the interpreter's private thread-state layout, for each CPython
// version it builds for. Only here: no other file names a private field or code. CMakeLists.txt
// checks at configure time that the headers built against still give the values below, and a
// version not listed here fails the build.
//
// Two reads, because no public or unstable call answers either question:
// - the thread state's origin code (`_whence`), which tells apart the thread state on which
//   CPython runs a sub-interpreter's first init of a single-phase module in the main interpreter
//   (module creation must not bind the module to the main interpreter then);
// - on the free-threaded build, the stop request bit of the eval-breaker word and the thread's
//   attachment state, with which a thread running long C code lets the collector stop the world
//   (a plain detach and re-attach is seen by the collector only if it happens to look while the
//   thread is detached; it looks about once a millisecond).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace brooklet::binding::interpreter_internals {

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// CPython 3.13: origin codes -1 (not set) to 5 (made to run an init elsewhere).
inline constexpr int last_thread_state_origin = 5;
#elif PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000
// CPython 3.14: the same codes as 3.13.
inline constexpr int last_thread_state_origin = 5;
#elif PY_VERSION_HEX >= 0x030F0000 && PY_VERSION_HEX < 0x03100000
// CPython 3.15: one code more, 6, for daemon threads of the threading module.
inline constexpr int last_thread_state_origin = 6;
#else
#error "src/binding/interpreter_internals.hpp knows no private thread-state layout for this CPython version: check its reads against this version's headers and add the version there"
#endif

// Codes that every listed version shares (`_PyThreadState_WHENCE_NOTSET`, `_EXEC`).
inline constexpr int thread_state_origin_not_set = -1;
inline constexpr int thread_state_origin_made_to_run_elsewhere = 5;

static_assert(std::is_same_v<decltype(PyThreadState::_whence), int>, "the thread-state origin is no longer an int");

// The origin code of `thread`, a known one or not.
[[nodiscard]] inline int thread_state_origin(const PyThreadState* thread) noexcept { return thread->_whence; }

[[nodiscard]] inline bool is_known_thread_state_origin(int origin) noexcept {
    return origin >= thread_state_origin_not_set && origin <= last_thread_state_origin;
}

#ifdef Py_GIL_DISABLED

// `_PY_EVAL_PLEASE_STOP_BIT`: the collector sets it in the eval-breaker word of every attached
// thread when it wants the world stopped, and parks the threads it finds detached.
inline constexpr std::uintptr_t please_stop_bit = std::uintptr_t{1} << 5;

[[nodiscard]] inline bool stop_requested(PyThreadState* thread) noexcept {
    return (std::atomic_ref(thread->eval_breaker).load(std::memory_order_relaxed) & please_stop_bit) != 0;
}

// Clears a request this thread is about to meet by detaching.
inline void clear_stop_request(PyThreadState* thread) noexcept {
    std::atomic_ref(thread->eval_breaker).fetch_and(~please_stop_bit, std::memory_order_relaxed);
}

// The thread's attachment state (attached, detached, parked by the collector, ...): compared only
// with an earlier reading of itself, so no code of it is needed.
[[nodiscard]] inline int attachment_state(PyThreadState* thread) noexcept {
    return std::atomic_ref(thread->state).load(std::memory_order_relaxed);
}

#endif

}  // namespace brooklet::binding::interpreter_internals
