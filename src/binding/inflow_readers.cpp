// Readers of the inflow: the formats that buffer exporters iterate as
// numbers, and the fillers that read an inflow into a hydrograph buffer from
// the list, tuple and buffer sources.
#include "binding/inflow_readers.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "binding/call_binding.hpp"

namespace brooklet::binding {

namespace {

// The format code left once the exporter's own iteration has taken its
// prefix; nothing when that iteration would not turn the items into numbers
// the way their buffer reads. A memoryview iterates one native character,
// after '@' or alone (any other prefix makes it raise NotImplementedError);
// an array.array's format is its typecode; a NumPy array marks unaligned
// native items with '=' and little-endian ones with '<', and iterates them
// alike.
std::optional<char> format_code(BufferExporter exporter, const char* format) {
    std::string_view code = format == nullptr ? "B" : format;
    const bool little_endian = std::endian::native == std::endian::little;
    switch (exporter) {
        case BufferExporter::memoryview:
            if (code.starts_with('@')) {
                code.remove_prefix(1);
            }
            break;
        case BufferExporter::array:
            break;
        case BufferExporter::numpy:
            if (code.starts_with('@') || code.starts_with('=') || (little_endian && code.starts_with('<'))) {
                code.remove_prefix(1);
            }
            break;
    }
    if (code.size() != 1) {
        return std::nullopt;
    }
    return code[0];
}

}  // namespace

std::optional<ItemKind> plain_numeric_kind(BufferExporter exporter, const char* format, Py_ssize_t item_size) {
    const std::optional<char> code = format_code(exporter, format);
    if (!code) {
        return std::nullopt;
    }
    const bool integer_size = item_size == 1 || item_size == 2 || item_size == 4 || item_size == 8;
    switch (*code) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return integer_size ? std::optional(ItemKind::signed_integer) : std::nullopt;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return integer_size ? std::optional(ItemKind::unsigned_integer) : std::nullopt;
        case 'f':
            return item_size == 4 ? std::optional(ItemKind::floating) : std::nullopt;
        case 'd':
            return item_size == 8 ? std::optional(ItemKind::floating) : std::nullopt;
        case '?':
            return item_size == 1 ? std::optional(ItemKind::boolean) : std::nullopt;
        default:
            return std::nullopt;
    }
}

// NumPy is recognised by name, without importing it; the type must be
// immutable, which no class written in Python is, so a Python class that
// merely takes one of these names is read by iteration.
std::optional<BufferExporter> buffer_exporter(PyObject* object) {
    const PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) {
        return BufferExporter::memoryview;
    }
    if ((type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
        return std::nullopt;
    }
    if (std::strcmp(type->tp_name, "array.array") == 0) {
        return BufferExporter::array;
    }
    if (std::strcmp(type->tp_name, "numpy.ndarray") == 0) {
        return BufferExporter::numpy;
    }
    return std::nullopt;
}

namespace {

// Grows or reserves a hydrograph buffer to exactly `capacity` values.
void reserve_exactly(Hydrograph& values, std::size_t capacity,
                     std::source_location where = std::source_location::current()) {
    check_hydrograph_capacity(capacity, where);
    values.reserve(capacity);
}

// Doubles the buffer's capacity (four values at least).
[[gnu::noinline]] void grow(Hydrograph& values) {
    const std::size_t capacity = values.capacity();
    const std::size_t doubled = capacity > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity;
    reserve_exactly(values, std::max({doubled, capacity + 1, std::size_t{4}}));
}

// Appends a value, growing the buffer when it is full: only when a sequence
// grew while it was read or had no length. Inlined into the readers' loops,
// so that an item costs a compare and a store.
inline void push_growing(Hydrograph& values, double value) {
    if (values.size() == values.capacity()) [[unlikely]] {
        grow(values);
    }
    values.push_back(value);
}

template <class Items>
PyResult<Hydrograph> read_items_in_place(PyObject* sequence) {
    const typename Items::Lock lock(sequence);
    const Items items{sequence};
    Hydrograph values;
    reserve_exactly(values, items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (const std::optional<double> value = exact_float(item)) {
            push_growing(values, *value);
            continue;
        }
        const OwnedRef held = OwnedRef::borrow(item);
        PyResult<double> value = extract_float(held.get());
        if (!value) {
            return failure(std::move(value.error()));
        }
        push_growing(values, *value);
    }
    return values;
}

template <class Item, bool whole_items>
void read_values(Hydrograph& values, std::size_t length, const BufferValues<Item, whole_items>& items) {
    for (std::size_t i = 0; i < length; ++i) {
        values.push_back(items[i]);
    }
}

}  // namespace

PyResult<Hydrograph> read_list_items(PyObject* list) { return read_items_in_place<ListItems>(list); }

PyResult<Hydrograph> read_tuple_items(PyObject* tuple) { return read_items_in_place<TupleItems>(tuple); }

[[gnu::noinline]] std::optional<Hydrograph> read_numeric_buffer(PyObject* object, BufferExporter exporter) {
    Hydrograph values;
    const bool read = with_numeric_buffer(object, exporter, [&]<class Item>(const HeldBuffer& buffer) {
        reserve_exactly(values, buffer.length());
        if (buffer.loads_whole_items<Item>()) {
            read_values(values, buffer.length(), buffer.values<Item, true>());
        } else {
            read_values(values, buffer.length(), buffer.values<Item, false>());
        }
    });
    if (!read) {
        return std::nullopt;
    }
    return values;
}

[[gnu::noinline]] PyResult<Hydrograph> read_by_iteration(PyObject* object) {
    Py_ssize_t size_hint = PySequence_Size(object);
    if (size_hint == -1) {
        (void)take();  // the size is only a hint; iteration decides
        size_hint = 0;
    }
    Hydrograph values;
    if (size_hint > 0) {
        reserve_exactly(values, static_cast<std::size_t>(size_hint));
    }
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return failure(fetch_error());
    }
    while (true) {
        OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (std::optional<PyErr> raised = take()) {
                return failure(std::move(*raised));
            }
            return values;
        }
        PyResult<double> value = extract_float(item.get());
        if (!value) {
            return failure(std::move(value.error()));
        }
        push_growing(values, *value);
    }
}

}  // namespace brooklet::binding
