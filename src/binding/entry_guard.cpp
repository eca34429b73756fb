#include "binding/entry_guard.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

namespace brooklet::binding {

// ====================================================== depth and deferred release

namespace {

// Entries in progress on this thread. References dropped while it is 0 are
// queued, because the thread may not be attached to the interpreter then.
thread_local long entries_in_progress = 0;

struct DeferredReleases {
    std::mutex lock;
    std::vector<PyObject*> queued;
    std::atomic<bool> pending{false};
};

DeferredReleases& deferred_releases() {
    static DeferredReleases pool;
    return pool;
}

void release_deferred_references() noexcept {
    DeferredReleases& pool = deferred_releases();
    if (!pool.pending.load(std::memory_order_acquire)) {
        return;
    }
    std::vector<PyObject*> to_release;
    {
        std::lock_guard guard(pool.lock);
        to_release.swap(pool.queued);
        pool.pending.store(false, std::memory_order_release);
    }
    for (PyObject* object : to_release) {
        _Py_DecRef(object);
    }
}

}  // namespace

void release_reference(PyObject* object) noexcept {
    if (entries_in_progress > 0) {
        _Py_DecRef(object);
        return;
    }
    DeferredReleases& pool = deferred_releases();
    std::lock_guard guard(pool.lock);
    pool.queued.push_back(object);
    pool.pending.store(true, std::memory_order_release);
}

namespace detail {

EntryDepth::EntryDepth() noexcept {
    ++entries_in_progress;
    release_deferred_references();
}

EntryDepth::~EntryDepth() { --entries_in_progress; }

}  // namespace detail

// ================================================================ error values

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

// Set while the internal-failure class is being created, so that fetching the
// failure of that creation does not need the class again.
thread_local bool creating_panic_class = false;

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

namespace {

[[noreturn]] void print_and_resume(OwnedRef exception);

}  // namespace

std::optional<PyErr> take() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return std::nullopt;
    }
    OwnedRef exception = OwnedRef::steal(raised);
    if (!creating_panic_class &&
        Py_TYPE(raised) == reinterpret_cast<PyTypeObject*>(panic_exception_type())) {
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
    const long saved_entries = std::exchange(entries_in_progress, 0);
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
    entries_in_progress = saved_entries;
    release_deferred_references();
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

PyObject* InternedString::get() {
    return object_.get_or_init([this] {
        OwnedRef made = OwnedRef::steal(PyUnicode_InternFromString(text_));
        if (!made) {
            fail_after_error();
        }
        return made;
    });
}

// =============================================================== text rendering

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at `at`, or 0 if there is none;
// `maximal` receives the length of the maximal invalid prefix to replace.
std::size_t valid_sequence_length(std::string_view bytes, std::size_t at, std::size_t& maximal) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    maximal = 1;
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= bytes.size()) {
            return 0;
        }
        const unsigned char next = byte(at + i);
        const bool in_range = i == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
        if (!in_range) {
            return 0;
        }
        maximal = i + 1;
    }
    return length;
}

// Decodes UTF-8, replacing every maximal invalid subsequence with U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t maximal = 1;
        const std::size_t length = valid_sequence_length(bytes, at, maximal);
        if (length == 0) {
            text += replacement_character;
            at += maximal;
        } else {
            text.append(bytes.substr(at, length));
            at += length;
        }
    }
    return text;
}

}  // namespace

std::string to_string_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return {utf8, static_cast<std::size_t>(size)};
    }
    (void)take();  // lone surrogates: encoded losslessly below, then replaced
    OwnedRef encoded = OwnedRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) {
        fail_after_error();
    }
    return decode_utf8_lossy(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
}

PyResult<OwnedRef> str_of(PyObject* object) {
    if (PyObject* text = PyObject_Str(object)) {
        return OwnedRef::steal(text);
    }
    return failure(fetch_error());
}

PyResult<OwnedRef> repr_of(PyObject* object) {
    if (PyObject* text = PyObject_Repr(object)) {
        return OwnedRef::steal(text);
    }
    return failure(fetch_error());
}

void python_format(PyObject* object, PyResult<OwnedRef> rendered, std::string& sink) {
    if (rendered) {
        sink += to_string_lossy(rendered->get());
        return;
    }
    restore(std::move(rendered.error()));
    PyErr_WriteUnraisable(object);
    if (PyObject* name = PyType_GetName(Py_TYPE(object))) {
        OwnedRef owned_name = OwnedRef::steal(name);
        sink += "<unprintable ";
        sink += to_string_lossy(name);
        sink += " object>";
    } else {
        (void)take();
        sink += "<unprintable object>";
    }
}

namespace {

PyResult<std::string> traceback_text(PyObject* traceback) {
    OwnedRef io_module = OwnedRef::steal(PyImport_ImportModule("io"));
    if (!io_module) {
        return failure(fetch_error());
    }
    OwnedRef buffer = OwnedRef::steal(PyObject_CallMethod(io_module.get(), "StringIO", nullptr));
    if (!buffer) {
        return failure(fetch_error());
    }
    if (PyTraceBack_Print(traceback, buffer.get()) < 0) {
        return failure(fetch_error());
    }
    OwnedRef text = OwnedRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    if (!text) {
        return failure(fetch_error());
    }
    if (!PyUnicode_Check(text.get())) {
        return failure(PyErr::lazy(PyExc_TypeError, "traceback text is not a str"));
    }
    return to_string_lossy(text.get());
}

// A double-quoted string literal with quotes, backslashes and control characters escaped.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escaped[16];
                    (void)std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace

std::string debug_form(PyErr& error) {
    PyObject* exception = make_normalized(error);
    auto* exception_class = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    std::string out = "PyErr { type: ";
    python_format(exception_class, repr_of(exception_class), out);
    out += ", value: ";
    python_format(exception, repr_of(exception), out);
    out += ", traceback: ";
    OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception));
    if (!traceback) {
        out += "None";
    } else {
        PyResult<std::string> text = traceback_text(traceback.get());
        if (!text) {
            restore(std::move(text.error()));
            PyErr_WriteUnraisable(traceback.get());
            std::string fallback = "<unformattable ";
            python_format(traceback.get(), repr_of(traceback.get()), fallback);
            text = fallback + ">";
        }
        out += "Some(" + quoted(*text) + ")";
    }
    out += " }";
    return out;
}

// ============================================================ failure reporting

namespace {

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

}  // namespace

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

// ================================================================== entry guard

namespace detail {

BodyOutcome outcome_of_foreign_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        // Running out of memory (a hydrograph larger than memory, say) is the caller's to
        // handle, like any MemoryError; the process goes on.
        return PyErr::lazy(PyExc_MemoryError, "cannot allocate memory");
    } catch (...) {
        write_failure_report(no_text_message, std::source_location::current());
        return exception_from_failure(NoTextPayload{});
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

}  // namespace detail

}  // namespace brooklet::binding
