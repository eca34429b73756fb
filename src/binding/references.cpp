// Interned strings: made once in the interpreter and kept until the process ends.
#include "binding/references.hpp"

#include "binding/failure_exception.hpp"

namespace brooklet::binding {

PyObject* InternedString::get() {
    return object_.get_or_init([this] {
        OwnedRef made = OwnedRef::steal(PyUnicode_InternFromString(text_));
        if (!made) {
            fail_after_error();
        }
        return made;
    });
}

}  // namespace brooklet::binding
