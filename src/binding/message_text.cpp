// Message rendering: the text of Python strings (lone surrogates replaced),
// str() and repr() of objects for messages, and the debug form of an error
// that internal-failure messages show.
#include "binding/message_text.hpp"

#include <cstdio>

#include "binding/failure_exception.hpp"

namespace brooklet::binding {

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

}  // namespace brooklet::binding
