// Stepping aside for the interpreter during long work, when the GIL is off.
//
// With the GIL off, the garbage collector stops the world: it waits until
// every thread attached to the interpreter has detached, and a thread that
// routes for seconds without detaching stalls every other thread that
// collects for as long. A call therefore detaches around long work that
// touches no Python object, and steps aside for a moment (detaches and
// attaches again) every millisecond or so of work that does. Detaching also
// sets aside the per-object locks the thread holds, so after stepping aside
// an object that other threads may change must be checked again before it is
// read on. With the GIL on, none of this happens: the call keeps the GIL
// throughout. On a build with the GIL it is all nothing.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace brooklet::binding {

// True when the interpreter runs with the GIL disabled (sys._is_gil_enabled()
// is false). Costs a look-up and a call: ask it once per long call.
[[nodiscard]] bool gil_disabled();

// Keeps the calling thread detached from the interpreter for its lifetime
// when `detach` is true: no Python object may be touched meanwhile.
class DetachedThread {
public:
    explicit DetachedThread(bool detach) : saved_(detach ? PyEval_SaveThread() : nullptr) {}
    DetachedThread(const DetachedThread&) = delete;
    DetachedThread& operator=(const DetachedThread&) = delete;
    DetachedThread(DetachedThread&&) = delete;
    DetachedThread& operator=(DetachedThread&&) = delete;
    ~DetachedThread() {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
        }
    }

private:
    PyThreadState* saved_;
};

// Work worth detaching around, in value·passes: about a tenth of a
// millisecond of routing, much more than asking whether the GIL is off.
inline constexpr std::uint64_t detach_worthy_work = std::uint64_t{1} << 19;

// True when routing `length` values through `passes` is worth detaching
// around and the GIL is off.
[[nodiscard]] inline bool detaches_for([[maybe_unused]] std::size_t length, [[maybe_unused]] std::uint64_t passes) {
#ifdef Py_GIL_DISABLED
    return length != 0 && passes >= (detach_worthy_work + length - 1) / length && gil_disabled();
#else
    return false;
#endif
}

// Counts the work of a call that touches Python objects as it goes, and
// every `budget` units of it looks whether the collector waits for this
// thread; if so, and the GIL is off, the thread steps aside until the
// collector is done. A unit is about a value routed through one pass; making
// a float counts as `float_units`.
class SafePoints {
public:
    static constexpr std::uint64_t float_units = 64;
    static constexpr std::uint64_t budget = std::uint64_t{1} << 18;  // tens of microseconds

    // Counts `units` of work done; true when the thread stepped aside just
    // now, so that objects other threads may change must be checked again.
    [[nodiscard]] bool passed(std::uint64_t units) {
        if (units < remaining_) [[likely]] {
            remaining_ -= units;
            return false;
        }
        remaining_ = budget;
        return step_aside_if_asked();
    }

private:
#ifdef Py_GIL_DISABLED
    bool step_aside_if_asked();
    PyThreadState* thread_ = nullptr;
#else
    // With the GIL, no other thread collects while a call runs.
    static bool step_aside_if_asked() { return false; }
#endif
    std::uint64_t remaining_ = budget;
};

}  // namespace brooklet::binding
