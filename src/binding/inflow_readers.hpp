// Readers of the inflow: the locks it is read under; the items of an exact
// list or tuple and the values of a numeric buffer, as sources that both the
// buffer-filling path and the no-buffer path read; the readers of one item's
// number; and the fillers of a hydrograph buffer.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <type_traits>

#include "binding/failure_exception.hpp"
#include "binding/py_err.hpp"
#include "reach_routing/hydrograph.hpp"

namespace brooklet::binding {

using reach_routing::Hydrograph;

// A hydrograph of `length` values whose byte size is beyond the largest
// allocation is an internal failure, whichever path would hold it.
inline void check_hydrograph_capacity(std::size_t length, const std::source_location& where) {
    if (length > max_allocation_bytes / sizeof(double)) {
        fail_fixed("capacity overflow", where);
    }
}

// ====================================================================== locks

// Holds an object's per-object lock (on the free-threaded build; on a build
// with the GIL it is nothing). The interpreter sets the lock aside whenever
// the thread would block or runs Python code that needs it.
class ObjectLock {
public:
    explicit ObjectLock([[maybe_unused]] PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#endif
    }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;
    ObjectLock(ObjectLock&&) = delete;
    ObjectLock& operator=(ObjectLock&&) = delete;
    ~ObjectLock() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_{};
#endif
};

// The lock of a list that other threads may change while it is read: with
// the GIL off, writers take the same lock, so no item is replaced, and freed,
// while it is read. The conversion of an item may still change the list.
using ListLock = ObjectLock;

// A tuple cannot change.
class NoLock {
public:
    explicit NoLock(PyObject* /*tuple*/) noexcept {}
};

// ============================================================ list and tuple items

// The items of an exact list or tuple, read in place the way their iterators
// read them: the length is read anew whenever it is asked. Read under a
// `Lock` of the sequence; copied by value into the loops that read it.
template <auto size_of, auto item_at, class SequenceLock>
struct SequenceItems {
    using Lock = SequenceLock;

    PyObject* sequence;  // borrowed

    [[gnu::always_inline]] [[nodiscard]] std::size_t size() const {
        return static_cast<std::size_t>(size_of(sequence));
    }
    [[gnu::always_inline]] [[nodiscard]] PyObject* operator[](std::size_t i) const {
        return item_at(sequence, static_cast<Py_ssize_t>(i));
    }
};

inline Py_ssize_t list_size(PyObject* list) { return PyList_GET_SIZE(list); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }
inline Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_GET_SIZE(tuple); }
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }

using ListItems = SequenceItems<list_size, list_item, ListLock>;
using TupleItems = SequenceItems<tuple_size, tuple_item, NoLock>;

// An exact float's value; nothing for anything else.
[[gnu::always_inline]] inline std::optional<double> exact_float(PyObject* object) {
    if (!Py_IS_TYPE(object, &PyFloat_Type)) {
        return std::nullopt;
    }
    return PyFloat_AS_DOUBLE(object);
}

// What the float conversion gives, for the objects it converts without
// running Python code: an exact float; an exact int, which it reads with
// PyLong_AsDouble; a float subclass, whose stored value PyFloat_AsDouble
// reads without calling its __float__. Nothing for anything else, and for
// an int beyond the doubles, whose OverflowError the general path raises.
[[gnu::always_inline]] inline std::optional<double> plain_number(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyFloat_Type) {
        return PyFloat_AS_DOUBLE(object);
    }
    if (type == &PyLong_Type) {
        auto* integer = reinterpret_cast<PyLongObject*>(object);
        if (PyUnstable_Long_IsCompact(integer) != 0) {
            // PyLong_AsDouble's own first case, inlined: a one-digit value converts exactly.
            return static_cast<double>(PyUnstable_Long_CompactValue(integer));
        }
        const double value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) [[unlikely]] {
            (void)take();  // nothing has been seen of it
            return std::nullopt;
        }
        return value;
    }
    if (PyType_IsSubtype(type, &PyFloat_Type) != 0) {
        return PyFloat_AS_DOUBLE(object);
    }
    return std::nullopt;
}

// ============================================================== buffer values

// The lock of a buffer exporter, held while it counts an export or its end.
// array.array and memoryview count their exports in a plain integer; with the
// GIL off, two calls that acquire or release the same exporter at once would
// lose updates, and an export count below zero lets the object be resized
// while it is read. Calls of this module take the lock, so they never race
// each other; Python code that resizes the object takes no lock.
using ExporterLock = ObjectLock;

enum class ItemKind : std::uint8_t { signed_integer, unsigned_integer, floating, boolean };

// The types whose iteration reads their own buffer in C, running no Python
// code. Each iterates a different set of formats.
enum class BufferExporter : std::uint8_t { memoryview, array, numpy };

// array.array, memoryview and NumPy arrays iterate in C without running any
// Python code, so for them a one-dimensional numeric buffer gives exactly the
// values iteration would: the type whose iteration reads its buffer so, when
// `object` is of one.
[[nodiscard]] std::optional<BufferExporter> buffer_exporter(PyObject* object);

// The kind of a numeric format that this exporter's iteration turns into
// numbers as its buffer reads; nothing for any other format.
[[nodiscard]] std::optional<ItemKind> plain_numeric_kind(BufferExporter exporter, const char* format,
                                                         Py_ssize_t item_size);

// A '?' item: any nonzero byte is True.
struct BooleanByte {
    unsigned char byte;
};

// The unsigned integer as wide as an item, which its bits are loaded as.
template <class Item>
using ItemBits = std::conditional_t<
    sizeof(Item) == 1, std::uint8_t,
    std::conditional_t<sizeof(Item) == 2, std::uint16_t,
                       std::conditional_t<sizeof(Item) == 4, std::uint32_t, std::uint64_t>>>;

// An item as converting it to a Python number and then to a float would give.
template <class Item>
double widen(Item item) {
    if constexpr (std::is_same_v<Item, BooleanByte>) {
        return item.byte != 0 ? 1.0 : 0.0;
    } else {
        return static_cast<double>(item);
    }
}

// Another thread may write a buffer while it is read (NumPy works without the
// GIL, and with the GIL off anyone may), so items are read with relaxed atomic
// loads, which give the old or the new value where a plain read would be a
// data race; on x86 they are the same plain loads.

// The item at `at`, which must be aligned for the load (`loads_whole_items`).
template <class Item>
Item load_item(char* at) {  // NOLINT(readability-non-const-parameter): atomic_ref takes a non-const object
    using Bits = ItemBits<Item>;
    return std::bit_cast<Item>(std::atomic_ref<Bits>(*reinterpret_cast<Bits*>(at)).load(std::memory_order_relaxed));
}

// The item at `at`, wherever it lies, loaded byte by byte.
template <class Item>
Item load_item_bytewise(char* at) {
    std::array<std::uint8_t, sizeof(Item)> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = load_item<std::uint8_t>(at + i);
    }
    return std::bit_cast<Item>(bytes);
}

// The values of a buffer's items, loaded as `Item` (whole when
// `loads_whole_items` allows it, else byte by byte) and widened. Copied by
// value into the loops that read it, so that the first item and the stride
// stay in registers across the calls that make floats.
template <class Item, bool whole_items>
struct BufferValues {
    char* first;
    Py_ssize_t stride;

    [[gnu::always_inline]] [[nodiscard]] double operator[](std::size_t t) const {
        char* at = first + static_cast<Py_ssize_t>(t) * stride;
        if constexpr (whole_items) {
            return widen(load_item<Item>(at));
        } else {
            return widen(load_item_bytewise<Item>(at));
        }
    }
};

// A one-dimensional buffer held for the duration of a conversion.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    HeldBuffer(HeldBuffer&&) = delete;
    HeldBuffer& operator=(HeldBuffer&&) = delete;
    ~HeldBuffer() {
        if (exporter_ != nullptr) {
            const ExporterLock lock(exporter_);
            PyBuffer_Release(&view_);
        }
    }
    // False when the object does not export a one-dimensional strided buffer
    // with a format.
    bool acquire(PyObject* object) {
        const ExporterLock lock(object);
        if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
            (void)take();  // the general path reports whatever is wrong with the object
            return false;
        }
        exporter_ = object;
        if (view_.ndim != 1) {
            return false;
        }
        length_ = static_cast<std::size_t>(view_.shape[0]);  // an array's shape is its live size
        return true;
    }
    [[nodiscard]] const Py_buffer& view() const { return view_; }
    [[nodiscard]] std::size_t length() const { return length_; }
    [[nodiscard]] char* first() const { return static_cast<char*>(view_.buf); }
    [[nodiscard]] Py_ssize_t stride() const { return view_.strides[0]; }

    // True when every item lies where a relaxed atomic load of its bits may read it.
    template <class Item>
    [[nodiscard]] bool loads_whole_items() const {
        constexpr auto alignment = std::atomic_ref<ItemBits<Item>>::required_alignment;
        const auto address = reinterpret_cast<std::uintptr_t>(first());
        return address % alignment == 0 && static_cast<std::size_t>(stride()) % alignment == 0;
    }

    template <class Item, bool whole_items>
    [[nodiscard]] BufferValues<Item, whole_items> values() const {
        return {first(), stride()};
    }

private:
    Py_buffer view_{};
    PyObject* exporter_ = nullptr;  // borrowed: the caller's argument
    std::size_t length_ = 0;
};

// Calls `use.template operator()<Item>()` with the C type of the items of
// this kind and size, chosen once per buffer so that the loops inside run on
// one type.
template <class Use>
void with_item_type(ItemKind kind, Py_ssize_t size, const Use& use) {
    const auto integer = [&]<class Signed, class Unsigned>() {
        if (kind == ItemKind::signed_integer) {
            use.template operator()<Signed>();
        } else {
            use.template operator()<Unsigned>();
        }
    };
    switch (kind) {
        case ItemKind::floating:
            size == 4 ? use.template operator()<float>() : use.template operator()<double>();
            return;
        case ItemKind::boolean:
            use.template operator()<BooleanByte>();
            return;
        case ItemKind::signed_integer:
        case ItemKind::unsigned_integer:
            switch (size) {
                case 1: integer.template operator()<std::int8_t, std::uint8_t>(); return;
                case 2: integer.template operator()<std::int16_t, std::uint16_t>(); return;
                case 4: integer.template operator()<std::int32_t, std::uint32_t>(); return;
                default: integer.template operator()<std::int64_t, std::uint64_t>(); return;
            }
    }
}

// Holds the buffer of `object` and calls `use.template operator()<Item>(buffer)`
// with the C type of its items, when it is one-dimensional in a format that
// the exporter's iteration turns into numbers; false, `use` not called,
// otherwise.
template <class Use>
bool with_numeric_buffer(PyObject* object, BufferExporter exporter, const Use& use) {
    HeldBuffer buffer;
    if (!buffer.acquire(object)) {
        return false;
    }
    const Py_buffer& view = buffer.view();
    const std::optional<ItemKind> kind = plain_numeric_kind(exporter, view.format, view.itemsize);
    if (!kind) {
        return false;
    }
    with_item_type(*kind, view.itemsize, [&]<class Item>() { use.template operator()<Item>(buffer); });
    return true;
}

// ================================================================ fillers

// The inflow read into a hydrograph buffer by the general path; each reads
// the items from the sources above.

// An exact list or tuple: the length is read again at every step, and each
// item that is not an exact float is held while it converts, since its
// conversion may run Python code that changes the sequence.
[[nodiscard]] PyResult<Hydrograph> read_list_items(PyObject* list);
[[nodiscard]] PyResult<Hydrograph> read_tuple_items(PyObject* tuple);

// A numeric buffer as `buffer_exporter` recognises; nothing when its buffer
// is not one-dimensional in a numeric format.
[[nodiscard]] std::optional<Hydrograph> read_numeric_buffer(PyObject* object, BufferExporter exporter);

// Any other sequence: sized from its length when it has one, read by iteration.
[[nodiscard]] PyResult<Hydrograph> read_by_iteration(PyObject* object);

}  // namespace brooklet::binding
