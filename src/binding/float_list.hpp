// The routed hydrograph as a new Python list of floats: made empty, filled in
// place, and handed to the collector once every item is set.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/failure_exception.hpp"
#include "binding/references.hpp"

namespace brooklet::binding {

// A new list of `length` empty items, to be filled in place. With the GIL
// off, the call may step aside while it fills the list, and the collector,
// or gc.get_objects() in another thread, must not find a list with empty
// items: it is kept from the collector until `filled`.
inline OwnedRef new_list(std::size_t length) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(length)));
    if (!list) {
        fail_after_error();
    }
#ifdef Py_GIL_DISABLED
    PyObject_GC_UnTrack(list.get());
#endif
    return list;
}

// The list made by `new_list`, every item set.
inline OwnedRef filled(OwnedRef list) {
#ifdef Py_GIL_DISABLED
    PyObject_GC_Track(list.get());
#endif
    return list;
}

// Inlined into the loops that make result floats: a call per item costs
// them measurably (docs/performance.md).
[[gnu::always_inline]] inline void set_float_item(PyObject* list, std::size_t index, double value) {
    PyObject* item = PyFloat_FromDouble(value);
    if (item == nullptr) {
        fail_after_error();
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), item);
}

}  // namespace brooklet::binding
