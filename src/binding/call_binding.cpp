#include "binding/call_binding.hpp"

#include <datetime.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/message_text.hpp"
#include "binding/safe_points.hpp"
#include "reach_routing/muskingum.hpp"
#include "reach_routing/routing_plan.hpp"

namespace brooklet::binding {

using reach_routing::Duration;
using reach_routing::Hydrograph;

// ============================================================ matcher messages

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
void push_parameter_list(std::string& out, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                out += ',';
            }
            out += i + 1 == names.size() ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

PyErr type_error(std::string message) { return PyErr::lazy(PyExc_TypeError, std::move(message)); }

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string name;
    if (cls_name) {
        name += *cls_name;
        name += '.';
    }
    name += func_name;
    name += "()";
    return name;
}

PyErr FunctionDescription::too_many_positional_arguments(std::size_t given) const {
    const std::size_t total = positional_parameter_names.size();
    std::string message = full_name();
    if (required_positional_parameters == total) {
        message += " takes " + std::to_string(total);
    } else {
        message += " takes from " + std::to_string(required_positional_parameters) + " to " +
                   std::to_string(total);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
               " given";
    return type_error(std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
    return type_error(full_name() + " got multiple values for argument '" + std::string(name) + "'");
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
    std::string message = full_name() + " got an unexpected keyword argument '";
    python_format(name, str_of(name), message);
    message += '\'';
    return type_error(std::move(message));
}

PyErr FunctionDescription::positional_only_keyword_arguments(std::span<const std::string_view> names) const {
    std::string message = full_name() + " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

PyErr FunctionDescription::missing_required_positional_arguments(std::span<PyObject* const> slots) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(positional_parameter_names[i]);
        }
    }
    return missing_required_arguments("positional", missing);
}

PyErr FunctionDescription::missing_required_keyword_arguments(std::span<PyObject* const> keyword_slots) const {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < keyword_only_parameters.size(); ++i) {
        if (keyword_only_parameters[i].required && keyword_slots[i] == nullptr) {
            missing.push_back(keyword_only_parameters[i].name);
        }
    }
    return missing_required_arguments("keyword", missing);
}

PyErr FunctionDescription::missing_required_arguments(std::string_view kind,
                                                      std::span<const std::string_view> names) const {
    std::string message = full_name() + " missing " + std::to_string(names.size()) + " required " +
                          std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ");
    push_parameter_list(message, names);
    return type_error(std::move(message));
}

// ============================================================= argument matcher
//
// Matching runs in these steps; the first failure ends it.
//   1. Positionals fill the first slots in order; more than the parameters fail.
//   2. Each keyword fills the slot of the parameter it names (compared by length
//      and bytes); an unknown name or a second value fails, and positional-only
//      parameters named by keyword are collected.
//   3. Positional-only parameters given by keyword fail, all named at once.
//   4. Required positional parameters left empty fail, all named at once.
//   5. Required keyword-only parameters left empty fail, all named at once.

namespace {

std::optional<std::size_t> find_name(std::string_view name, auto&& names, auto&& name_of) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name_of(names[i]) == name) {  // same length and bytes
            return i;
        }
    }
    return std::nullopt;
}

// Step 1.
PyResult<void> place_positionals(const FunctionDescription& description, PyObject* const* args,
                                 std::size_t given, std::span<PyObject*> slots) {
    const std::size_t positional_count = description.positional_parameter_names.size();
    for (std::size_t i = 0; i < given && i < positional_count; ++i) {
        slots[i] = args[i];
    }
    if (given > positional_count) {
        return failure(description.too_many_positional_arguments(given));
    }
    return {};
}

// Step 2, for the keyword `name_object` with `value`.
PyResult<void> place_keyword(const FunctionDescription& description, PyObject* name_object, PyObject* value,
                             std::span<PyObject*> slots,
                             std::vector<std::string_view>& positional_only_by_keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
    if (utf8 == nullptr) {
        (void)take();  // a name that is not UTF-8 names no parameter
        return failure(description.unexpected_keyword_argument(name_object));
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    const auto fill = [&](PyObject*& slot) -> PyResult<void> {
        if (slot != nullptr) {
            return failure(description.multiple_values_for_argument(name));
        }
        slot = value;
        return {};
    };
    const std::size_t positional_count = description.positional_parameter_names.size();
    if (auto keyword_only = find_name(name, description.keyword_only_parameters,
                                      [](const KeywordOnlyParameter& p) { return p.name; })) {
        return fill(slots[positional_count + *keyword_only]);
    }
    if (auto positional =
            find_name(name, description.positional_parameter_names, [](std::string_view p) { return p; })) {
        if (*positional < description.positional_only_parameters) {
            positional_only_by_keyword.push_back(description.positional_parameter_names[*positional]);
            return {};
        }
        return fill(slots[*positional]);
    }
    return failure(description.unexpected_keyword_argument(name_object));
}

// Step 4: true when a required positional parameter has no value.
bool any_required_positional_missing(const FunctionDescription& description, std::size_t given,
                                     std::span<PyObject* const> slots) {
    for (std::size_t i = given; i < description.required_positional_parameters; ++i) {
        if (slots[i] == nullptr) {
            return true;
        }
    }
    return false;
}

// Step 5: true when a required keyword-only parameter has no value.
bool any_required_keyword_missing(const FunctionDescription& description,
                                  std::span<PyObject* const> keyword_slots) {
    for (std::size_t i = 0; i < description.keyword_only_parameters.size(); ++i) {
        if (description.keyword_only_parameters[i].required && keyword_slots[i] == nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

PyResult<void> extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (args == nullptr && (given > 0 || keyword_count > 0)) {
        // Only a C caller that breaks the calling convention gets here; fail rather than read null.
        fail_fixed(keyword_count > 0 ? "keyword names given without an argument vector"
                                     : "arguments counted without an argument vector");
    }
    if (PyResult<void> placed = place_positionals(description, args, given, slots); !placed) {
        return placed;
    }
    std::vector<std::string_view> positional_only_by_keyword;
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        if (PyResult<void> placed = place_keyword(description, PyTuple_GET_ITEM(kwnames, j), args[nargs + j],
                                                  slots, positional_only_by_keyword);
            !placed) {
            return placed;
        }
    }
    if (!positional_only_by_keyword.empty()) {
        return failure(description.positional_only_keyword_arguments(positional_only_by_keyword));
    }
    if (any_required_positional_missing(description, given, slots)) {
        return failure(description.missing_required_positional_arguments(slots));
    }
    const auto keyword_slots = slots.subspan(description.positional_parameter_names.size());
    if (any_required_keyword_missing(description, keyword_slots)) {
        return failure(description.missing_required_keyword_arguments(keyword_slots));
    }
    return {};
}

PyErr argument_extraction_error(std::string_view parameter, PyErr error) {
    PyObject* exception = make_normalized(error);
    if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        return error;
    }
    std::string message = "argument '" + std::string(parameter) + "': ";
    python_format(exception, str_of(exception), message);
    PyErr reworded = type_error(std::move(message));
    set_cause(reworded, cause(error));
    return reworded;
}

// ================================================================= conversions

PyErr DowncastError::into_pyerr() const {
    std::string message = "'";
    OwnedRef qualified_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(from)));
    const char* utf8 = nullptr;
    Py_ssize_t size = 0;
    if (qualified_name) {
        utf8 = PyUnicode_AsUTF8AndSize(qualified_name.get(), &size);
    }
    if (utf8 != nullptr) {
        message.append(utf8, static_cast<std::size_t>(size));
    } else {
        (void)take();
        message += "<failed to extract type name>";
    }
    message += "' object cannot be converted to '";
    message += to;
    message += '\'';
    return type_error(std::move(message));
}

PyResult<double> extract_float(PyObject* object) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        return PyFloat_AS_DOUBLE(object);
    }
    // An exact int's __float__ is PyLong_AsDouble and a new float holding its
    // result; reading the int directly gives the same value, or the same
    // OverflowError, without the float.
    const double value = Py_IS_TYPE(object, &PyLong_Type) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return failure(fetch_error());
    }
    return value;
}

PyResult<std::int64_t> extract_i64(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        return failure(fetch_error());
    }
    return static_cast<std::int64_t>(value);
}

namespace {

// A hydrograph of `length` values whose byte size is beyond the largest
// allocation is an internal failure, whichever path would hold it.
void check_hydrograph_capacity(std::size_t length, const std::source_location& where) {
    if (length > max_allocation_bytes / sizeof(double)) {
        fail_fixed("capacity overflow", where);
    }
}

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

}  // namespace

namespace {

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

// Exact lists and tuples are read in place, the way their iterators read
// them: the length is read again at every step, and each item that is not an
// exact float is held while it converts, since its conversion may run Python
// code that changes the list.
template <auto size_of, auto item_at, class Lock>
PyResult<Hydrograph> read_items_in_place(PyObject* sequence) {
    const Lock lock(sequence);
    Hydrograph values;
    reserve_exactly(values, static_cast<std::size_t>(size_of(sequence)));
    for (Py_ssize_t i = 0; i < size_of(sequence); ++i) {
        PyObject* item = item_at(sequence, i);
        if (Py_IS_TYPE(item, &PyFloat_Type)) {
            push_growing(values, PyFloat_AS_DOUBLE(item));
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

Py_ssize_t list_size(PyObject* list) { return PyList_GET_SIZE(list); }
PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }
Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_GET_SIZE(tuple); }
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }

// The lock of a buffer exporter, held while it counts an export or its end.
// array.array and memoryview count their exports in a plain integer; with the
// GIL off, two calls that acquire or release the same exporter at once would
// lose updates, and an export count below zero lets the object be resized
// while it is read. Calls of this module take the lock, so they never race
// each other; Python code that resizes the object takes no lock.
using ExporterLock = ObjectLock;

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

private:
    Py_buffer view_{};
    PyObject* exporter_ = nullptr;  // borrowed: the caller's argument
    std::size_t length_ = 0;
};

enum class ItemKind : std::uint8_t { signed_integer, unsigned_integer, floating, boolean };

// The types whose iteration reads their own buffer in C, running no Python
// code. Each iterates a different set of formats.
enum class BufferExporter : std::uint8_t { memoryview, array, numpy };

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

// The kind of a numeric format that this exporter's iteration turns into
// numbers as its buffer reads; nothing for any other format.
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

// True when every item of the buffer lies where a relaxed atomic load of its
// bits may read it.
template <class Item>
bool loads_whole_items(const HeldBuffer& buffer) {
    constexpr auto alignment = std::atomic_ref<ItemBits<Item>>::required_alignment;
    const auto address = reinterpret_cast<std::uintptr_t>(buffer.first());
    return address % alignment == 0 && static_cast<std::size_t>(buffer.stride()) % alignment == 0;
}

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

// The item at `at` widened to double; `at` aligned as for `load_item`.
template <class Item>
double widened(char* at) {
    return widen(load_item<Item>(at));
}

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

// array.array, memoryview and NumPy arrays iterate in C without running any
// Python code, so for them a one-dimensional numeric buffer gives exactly the
// values iteration would. NumPy is recognised by name, without importing it;
// the type must be immutable, which no class written in Python is, so a Python
// class that merely takes one of these names is read by iteration.
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

[[gnu::noinline]] std::optional<Hydrograph> read_numeric_buffer(PyObject* object, BufferExporter exporter) {
    HeldBuffer buffer;
    if (!buffer.acquire(object)) {
        return std::nullopt;
    }
    const Py_buffer& view = buffer.view();
    const std::optional<ItemKind> kind = plain_numeric_kind(exporter, view.format, view.itemsize);
    if (!kind) {
        return std::nullopt;
    }
    Hydrograph values;
    reserve_exactly(values, buffer.length());
    with_item_type(*kind, view.itemsize, [&]<class Item>() {
        const bool aligned = loads_whole_items<Item>(buffer);
        char* at = buffer.first();
        for (std::size_t i = 0; i < buffer.length(); ++i, at += buffer.stride()) {
            values.push_back(widen(aligned ? load_item<Item>(at) : load_item_bytewise<Item>(at)));
        }
    });
    return values;
}

// Any other sequence: sized from its length when it has one, read by iteration.
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

}  // namespace

PyResult<Hydrograph> extract_float_sequence(PyObject* object) {
    if (Py_IS_TYPE(object, &PyUnicode_Type) || PyType_IsSubtype(Py_TYPE(object), &PyUnicode_Type) != 0) {
        return failure(type_error("Can't extract `str` to `Vec`"));
    }
    if (PySequence_Check(object) == 0) {
        return failure(DowncastError{object, "Sequence"}.into_pyerr());
    }
    if (PyList_CheckExact(object)) {
        return read_items_in_place<list_size, list_item, ListLock>(object);
    }
    if (PyTuple_CheckExact(object)) {
        return read_items_in_place<tuple_size, tuple_item, NoLock>(object);
    }
    if (const std::optional<BufferExporter> exporter = buffer_exporter(object)) {
        if (std::optional<Hydrograph> values = read_numeric_buffer(object, *exporter)) {
            return std::move(*values);
        }
    }
    return read_by_iteration(object);
}

namespace {

OnceCell<PyDateTime_CAPI> datetime_api_cell;

PyDateTime_CAPI* expect_datetime_api() {
    if (PyDateTime_CAPI* api = datetime_api_cell.get_or_init([] {
            return static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 1));
        })) {
        return api;
    }
    fail_with_error("failed to import `datetime` C API", fetch_error());
}

}  // namespace

bool is_timedelta(PyObject* object) {
    PyTypeObject* delta_type = expect_datetime_api()->DeltaType;
    return Py_IS_TYPE(object, delta_type) || PyType_IsSubtype(Py_TYPE(object), delta_type) != 0;
}

namespace {

// The span of a timedelta, or nothing when it is negative. Only days carry a
// sign, so every span below zero has negative days.
std::optional<Duration> duration_of(PyObject* timedelta) {
    const int days = PyDateTime_DELTA_GET_DAYS(timedelta);
    const int seconds = PyDateTime_DELTA_GET_SECONDS(timedelta);
    const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(timedelta);
    if (days < 0) {
        return std::nullopt;
    }
    return Duration{static_cast<std::uint64_t>(days) * 86400U + static_cast<std::uint64_t>(seconds),
                    static_cast<std::uint32_t>(microseconds) * 1000U};
}

// A new list of `length` empty items, to be filled in place. With the GIL
// off, the call may step aside while it fills the list, and the collector,
// or gc.get_objects() in another thread, must not find a list with empty
// items: it is kept from the collector until `filled`.
OwnedRef new_list(std::size_t length) {
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
OwnedRef filled(OwnedRef list) {
#ifdef Py_GIL_DISABLED
    PyObject_GC_Track(list.get());
#endif
    return list;
}

// Inlined into the loops that make result floats, where a call per item costs a few per cent.
[[gnu::always_inline]] inline void set_float_item(PyObject* list, std::size_t index, double value) {
    PyObject* item = PyFloat_FromDouble(value);
    if (item == nullptr) {
        fail_after_error();
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), item);
}

}  // namespace

PyResult<Duration> duration_from_timedelta(PyObject* object) {
    if (!is_timedelta(object)) {
        return failure(DowncastError{object, "PyDelta"}.into_pyerr());
    }
    if (std::optional<Duration> duration = duration_of(object)) {
        return *duration;
    }
    return failure(PyErr::lazy(PyExc_ValueError, "cannot convert a negative timedelta to a duration"));
}

OwnedRef owned_sequence_into_pyobject(Hydrograph values) {
    OwnedRef list = new_list(values.size());
    SafePoints safe_points;
    for (std::size_t i = 0; i < values.size(); ++i) {
        set_float_item(list.get(), i, values[i]);
        (void)safe_points.passed(SafePoints::float_units);
    }
    return filled(std::move(list));
}

// ================================================================ no hydrograph buffer
//
// A call whose arguments convert without running any Python code, with a
// weighting factor that needs no warning, cannot have its inflow changed
// while it is read. Such a call routes without a hydrograph buffer: the
// routing side streams the inflow from a source (list or tuple items, buffer
// values) into a sink that makes the result floats as they come (see
// reach_routing/routing_plan.hpp). Any other call, and an inflow holding an
// item whose conversion could run Python code or raise, takes the general
// path, which reads the inflow from its start; nothing observable has
// happened before (a list made in part is dropped).

namespace {

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

// The span of a non-negative timedelta, or of an instance of a subclass,
// once the datetime API is loaded: read from its fields, as the duration
// conversion does, whatever the subclass defines in Python.
std::optional<Duration> plain_duration(PyObject* object) {
    PyDateTime_CAPI* api = datetime_api_cell.get();
    if (api == nullptr ||
        !(Py_IS_TYPE(object, api->DeltaType) || PyType_IsSubtype(Py_TYPE(object), api->DeltaType) != 0)) {
        return std::nullopt;
    }
    return duration_of(object);
}

// The plan that the arguments after `inflow` ask for, when they are plain
// enough: numbers and timedeltas read as above, an exact int for the
// sub-reach count, x in [0.0, 0.5] and a pass count that the
// stream takes (more go through the general path, which keeps one block's
// state at a time).
std::optional<reach_routing::RoutingPlan> plain_routing(std::span<PyObject* const> slots) {
    const std::optional<Duration> k = plain_duration(slots[1]);
    const std::optional<double> x = plain_number(slots[2]);
    const std::optional<Duration> time_step = plain_duration(slots[3]);
    const std::optional<double> initial_outflow = plain_number(slots[5]);
    if (!k || !x || !(0.0 <= *x && *x <= 0.5) || !time_step || !initial_outflow ||
        !Py_IS_TYPE(slots[4], &PyLong_Type)) {
        return std::nullopt;
    }
    int overflow = 0;
    const long long sub_reaches = PyLong_AsLongLongAndOverflow(slots[4], &overflow);
    if (overflow != 0) {
        return std::nullopt;
    }
    const reach_routing::RoutingPlan plan =
        reach_routing::plan_routing(*time_step, *k, *x, sub_reaches, *initial_outflow);
    if (!reach_routing::streams(plan)) {
        return std::nullopt;
    }
    return plan;
}

// The sink that makes the result: a new list of `length` floats, filled in
// time order. A length whose hydrograph would exceed the largest allocation
// fails as the general path's reservation does, before any list is made.
class NewFloatList {
public:
    explicit NewFloatList(std::size_t length) : list_(new_checked_list(length)) {}

    // Inlined into the routing loops, like `set_float_item`.
    [[gnu::always_inline]] void operator()(std::size_t t, double outflow) const {
        set_float_item(list_.get(), t, outflow);
    }

    [[nodiscard]] OwnedRef take() && { return filled(std::move(list_)); }

private:
    static OwnedRef new_checked_list(std::size_t length,
                                     std::source_location where = std::source_location::current()) {
        check_hydrograph_capacity(length, where);
        return new_list(length);
    }

    OwnedRef list_;
};

// Routes `length` (at least one) values into a new list; `value_at(t)` gives
// the value at t, or nothing to give up. With the GIL off the routing steps
// aside now and then (see SafePoints), every value read counting its work;
// afterwards it reads on only while `still_readable()` holds, and gives up
// otherwise. Nothing when it gives up.
template <class ValueAt, class StillReadable>
std::optional<OwnedRef> route_into_new_list(std::size_t length, const reach_routing::RoutingPlan& plan,
                                            const ValueAt& value_at, const StillReadable& still_readable) {
    NewFloatList outflow(length);
    SafePoints safe_points;
    const std::uint64_t work_per_value = plan.passes + SafePoints::float_units;
    // Inlined into the routing loops, with the readers: a reader called
    // returns its optional through memory, which costs a list of ints or float
    // subclasses two-fifths more than the inlined exact-float loop.
    const auto inflow = [&safe_points, &still_readable, value_at,
                         work_per_value] [[gnu::always_inline]] (std::size_t t) {
        if (safe_points.passed(work_per_value) && !still_readable()) [[unlikely]] {
            return std::optional<double>();
        }
        return value_at(t);
    };
    if (!reach_routing::route_streamed(plan, length, inflow, outflow)) {
        return std::nullopt;
    }
    return std::move(outflow).take();
}

// An exact float's value; nothing for anything else.
[[gnu::always_inline]] inline std::optional<double> exact_float(PyObject* object) {
    if (!Py_IS_TYPE(object, &PyFloat_Type)) {
        return std::nullopt;
    }
    return PyFloat_AS_DOUBLE(object);
}

// Routes an exact list or tuple of items that `plain_number` reads into a new
// list. One that starts with an exact float goes first through loops that
// test for nothing else (any other test in them slows the streamed passes by
// a fifth), and starts again with `plain_number` at anything else; any other
// goes through `plain_number` at once, without a list made in vain.
template <auto size_of, auto item_at, class Lock>
std::optional<OwnedRef> route_items(PyObject* sequence, const reach_routing::RoutingPlan& plan) {
    const Lock lock(sequence);
    const auto length = static_cast<std::size_t>(size_of(sequence));
    if (length == 0) {
        return std::nullopt;  // the general path reports it
    }
    // Stepping aside sets the list's lock aside: other threads may have
    // changed it meanwhile. Items changed in place are read as they are now;
    // a changed length sends the call to the general path.
    const auto still_readable = [sequence, length] { return static_cast<std::size_t>(size_of(sequence)) == length; };
    const auto route_read_by = [&]<auto read>() {
        return route_into_new_list(
            length, plan,
            [sequence] [[gnu::always_inline]] (std::size_t t) -> std::optional<double> {
                return read(item_at(sequence, static_cast<Py_ssize_t>(t)));
            },
            still_readable);
    };
    if (Py_IS_TYPE(item_at(sequence, 0), &PyFloat_Type)) {
        if (std::optional<OwnedRef> list = route_read_by.template operator()<exact_float>()) {
            return list;
        }
        if (!still_readable()) {
            return std::nullopt;  // changed while the call stepped aside
        }
    }
    return route_read_by.template operator()<plain_number>();
}

// Routes a one-dimensional numeric buffer that reads as its iteration would
// into a new list.
std::optional<OwnedRef> route_buffer(PyObject* object, BufferExporter exporter,
                                     const reach_routing::RoutingPlan& plan) {
    HeldBuffer buffer;
    if (!buffer.acquire(object)) {
        return std::nullopt;
    }
    const Py_buffer& view = buffer.view();
    const std::optional<ItemKind> kind = plain_numeric_kind(exporter, view.format, view.itemsize);
    const std::size_t length = buffer.length();
    if (!kind || length == 0) {
        return std::nullopt;
    }
    std::optional<OwnedRef> list;
    with_item_type(*kind, view.itemsize, [&]<class Item>() {
        if (!loads_whole_items<Item>(buffer)) {
            return;  // the general path reads misaligned items byte by byte
        }
        const auto held = [] { return true; };  // the buffer stays held while the call steps aside
        // By value, so that they stay in registers across the calls that make floats.
        const auto value_at = [first = buffer.first(),
                               stride = buffer.stride()] [[gnu::always_inline]] (std::size_t t) {
            return std::optional(widened<Item>(first + static_cast<Py_ssize_t>(t) * stride));
        };
        list = route_into_new_list(length, plan, value_at, held);
    });
    return list;
}

}  // namespace

std::optional<OwnedRef> route_without_buffer(std::span<PyObject* const> slots) {
    PyObject* inflow = slots[0];
    const bool list = PyList_CheckExact(inflow);
    const bool tuple = PyTuple_CheckExact(inflow);
    const std::optional<BufferExporter> exporter = list || tuple ? std::nullopt : buffer_exporter(inflow);
    if (!list && !tuple && !exporter) {
        return std::nullopt;
    }
    const std::optional<reach_routing::RoutingPlan> plan = plain_routing(slots);
    if (!plan) {
        return std::nullopt;
    }
    if (list) {
        return route_items<list_size, list_item, ListLock>(inflow, *plan);
    }
    if (tuple) {
        return route_items<tuple_size, tuple_item, NoLock>(inflow, *plan);
    }
    return route_buffer(inflow, *exporter, *plan);
}

// ================================================================ the function

namespace {

constexpr std::array<std::string_view, 6> muskingum_parameters = {
    "inflow", "k", "x", "time_step", "sub_reaches", "initial_outflow"};

const FunctionDescription muskingum_description{
    .func_name = "muskingum_routing",
    .positional_parameter_names = muskingum_parameters,
    .keyword_only_parameters = {},
    .cls_name = std::nullopt,
    .positional_only_parameters = 0,
    .required_positional_parameters = 6,
};

// A new reference to a timedelta.
PyResult<OwnedRef> extract_timedelta(PyObject* object) {
    if (!is_timedelta(object)) {
        return failure(DowncastError{object, "PyDelta"}.into_pyerr());
    }
    return OwnedRef::borrow(object);
}

// Converts the argument in `slot` into `target`; a TypeError of the
// conversion is re-worded to name the parameter. Out of line, so that only
// the conversion under way holds stack while it runs Python code.
template <class T>
[[gnu::noinline]] PyResult<void> convert_argument(PyObject* slot, std::string_view parameter,
                                                  PyResult<T> (*convert)(PyObject*), T& target) {
    PyResult<T> converted = convert(slot);
    if (!converted) {
        return failure(argument_extraction_error(parameter, std::move(converted.error())));
    }
    target = std::move(*converted);
    return {};
}

// Conversions run one after another until one fails; the first failure is
// the outcome.
class Conversions {
public:
    template <class T>
    Conversions& convert(PyObject* slot, std::string_view parameter, PyResult<T> (*conversion)(PyObject*),
                         T& target) {
        if (outcome_) {
            outcome_ = convert_argument(slot, parameter, conversion, target);
        }
        return *this;
    }

    [[nodiscard]] PyResult<void> outcome() { return std::move(outcome_); }

private:
    PyResult<void> outcome_;
};

// The converted arguments, in parameter order, so that a call that fails
// part-way releases time_step, then k, then the inflow.
struct MuskingumArguments {
    Hydrograph inflow;
    OwnedRef k;
    double x = 0.0;
    OwnedRef time_step;
    std::int64_t sub_reaches = 0;
    double initial_outflow = 0.0;
};

// The six conversions, in parameter order; the first failure ends them.
[[gnu::noinline]] PyResult<void> convert_arguments(std::span<PyObject* const> slots, MuskingumArguments& converted) {
    return Conversions()
        .convert(slots[0], "inflow", extract_float_sequence, converted.inflow)
        .convert(slots[1], "k", extract_timedelta, converted.k)
        .convert(slots[2], "x", extract_float, converted.x)
        .convert(slots[3], "time_step", extract_timedelta, converted.time_step)
        .convert(slots[4], "sub_reaches", extract_i64, converted.sub_reaches)
        .convert(slots[5], "initial_outflow", extract_float, converted.initial_outflow)
        .outcome();
}

// Matches and converts the arguments, routes, and converts the result.
[[gnu::noinline]] PyResult<OwnedRef> match_convert_and_route(PyObject* const* args, Py_ssize_t nargs,
                                                             PyObject* kwnames) {
    std::array<PyObject*, muskingum_parameters.size()> slots{};
    if (PyResult<void> matched = extract_arguments_fastcall(muskingum_description, args, nargs, kwnames, slots);
        !matched) {
        return failure(std::move(matched.error()));
    }
    if (std::optional<OwnedRef> routed = route_without_buffer(slots)) {
        return std::move(*routed);
    }
    MuskingumArguments arguments;
    if (PyResult<void> converted = convert_arguments(slots, arguments); !converted) {
        return failure(std::move(converted.error()));
    }
    PyResult<Hydrograph> routed = reach_routing::muskingum_routing(
        std::move(arguments.inflow), std::move(arguments.k), arguments.x, std::move(arguments.time_step),
        arguments.sub_reaches, arguments.initial_outflow);
    if (!routed) {
        return failure(std::move(routed.error()));
    }
    return owned_sequence_into_pyobject(std::move(*routed));
}

// Leaves the interpreter's recursion guard, entered for one call, on every path.
class LeaveRecursiveCall {
public:
    LeaveRecursiveCall() noexcept = default;
    LeaveRecursiveCall(const LeaveRecursiveCall&) = delete;
    LeaveRecursiveCall& operator=(const LeaveRecursiveCall&) = delete;
    LeaveRecursiveCall(LeaveRecursiveCall&&) = delete;
    LeaveRecursiveCall& operator=(LeaveRecursiveCall&&) = delete;
    ~LeaveRecursiveCall() { Py_LeaveRecursiveCall(); }
};

// The interpreter's own guard against unbounded re-entry: an argument whose
// conversion calls `muskingum_routing` again, without end, ends the calls in
// RecursionError, whatever recursion limit the program set, before the C
// stack runs out.
PyResult<OwnedRef> call_muskingum_routing(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling muskingum_routing") != 0) {
        return failure(fetch_error());
    }
    const LeaveRecursiveCall leave;
    return match_convert_and_route(args, nargs, kwnames);
}

PyObject* trampoline(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry_guard([&] { return call_muskingum_routing(args, nargs, kwnames); });
}

PyMethodDef muskingum_routing_definition{
    "muskingum_routing",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline)),
    METH_FASTCALL | METH_KEYWORDS,
    "muskingum_routing(inflow, k, x, time_step, sub_reaches, initial_outflow)\n--\n\n",
};

}  // namespace

PyMethodDef* muskingum_routing_method() { return &muskingum_routing_definition; }

}  // namespace brooklet::binding
