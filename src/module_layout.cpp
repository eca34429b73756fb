// The `brooklet` module tree: `brooklet` -> `reach` -> `muskingum_routing`.
#include "module_layout.hpp"

#include <string>

#include "binding/call_binding.hpp"
#include "binding/interpreter_internals.hpp"
#include "internal_failure.hpp"

namespace brooklet {

using binding::failure;
using binding::fetch_error;
using binding::OwnedRef;
using binding::PyErr;
using binding::PyResult;

namespace {

binding::InternedString all_name("__all__");
binding::InternedString dunder_name("__name__");

// CPython runs the init function of a single-phase module first in the main
// interpreter even when a sub-interpreter imports it, on a thread state made
// for that call alone, with no Python code running on it; it discards the
// module it gets there and then runs the init function again in the importing
// interpreter. Such a call imports nothing for the main interpreter.
//
// Only the thread state's private origin code tells that thread state apart
// (see binding/interpreter_internals.hpp). At run time a thread state whose
// origin is none of the known codes stops the import, rather than bind the
// module to the wrong interpreter.
bool runs_for_another_interpreter(PyInterpreterState* interpreter) {
    PyThreadState* thread = PyThreadState_Get();
    const int origin = binding::interpreter_internals::thread_state_origin(thread);
    if (!binding::interpreter_internals::is_known_thread_state_origin(origin)) {
        internal_failure::fail("unrecognised thread-state origin " + std::to_string(origin) + ": this interpreter's thread " +
                      "state is not the layout of CPython " + PY_VERSION + " that this module was built for");
    }
    if (interpreter != PyInterpreterState_Main() ||
        origin != binding::interpreter_internals::thread_state_origin_made_to_run_elsewhere) {
        return false;
    }
    const OwnedRef frame = OwnedRef::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(thread)));
    return !frame;
}

// Binds the record to the importing interpreter, or refuses any other.
PyResult<void> bind_interpreter(ModuleDefinition& record, std::int64_t importing) {
    std::int64_t bound = -1;
    if (!record.interpreter_id.compare_exchange_strong(bound, importing) && bound != importing) {
        return failure(PyErr::lazy(PyExc_ImportError,
                                   std::string(record.definition.m_name) +
                                       " does not support sub-interpreters: it is bound to another "
                                       "interpreter of this process"));
    }
    return {};
}

// A new module of the record's definition that declares its use of the GIL.
PyResult<OwnedRef> new_module(ModuleDefinition& record) {
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&record.definition, PYTHON_API_VERSION));
    if (!module) {
        return failure(fetch_error());
    }
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return failure(fetch_error());
    }
#endif
    return module;
}

PyResult<OwnedRef> create_module(ModuleDefinition& record) {
    PyResult<OwnedRef> module = new_module(record);
    if (!module) {
        return module;
    }
    if (PyResult<void> filled = record.initializer(module->get()); !filled) {
        return failure(std::move(filled.error()));
    }
    return module;
}

// The module's `__all__` list, made empty when it has none yet.
PyResult<OwnedRef> all_list(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_name.get()));
    if (all) {
        if (!PyList_Check(all.get())) {
            return failure(binding::DowncastError{all.get(), "PyList"}.into_pyerr());
        }
        return all;
    }
    PyErr error = fetch_error();
    PyObject* exception = binding::make_normalized(error);
    if (PyErr_GivenExceptionMatches(exception, PyExc_AttributeError) == 0) {
        return failure(std::move(error));
    }
    OwnedRef fresh = OwnedRef::steal(PyList_New(0));
    if (!fresh) {
        binding::fail_after_error();
    }
    if (PyObject_SetAttr(module, all_name.get(), fresh.get()) < 0) {
        return failure(fetch_error());
    }
    return fresh;
}

}  // namespace

PyResult<OwnedRef> make_module(ModuleDefinition& record) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t importing = PyInterpreterState_GetID(interpreter);
    if (importing == -1) {
        return failure(fetch_error());
    }
    if (runs_for_another_interpreter(interpreter)) {
        // Only the GIL declaration of this module is read; it is then discarded.
        return new_module(record);
    }
    if (PyResult<void> bound = bind_interpreter(record, importing); !bound) {
        return failure(std::move(bound.error()));
    }
    if (PyObject* cached = record.module.get()) {
        return OwnedRef::borrow(cached);
    }
    PyResult<OwnedRef> created = create_module(record);
    if (!created) {
        return created;
    }
    // A racing creation that stored first wins; ours is released.
    return OwnedRef::borrow(record.module.set(std::move(*created)));
}

PyResult<void> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    PyResult<OwnedRef> all = all_list(module);
    if (!all) {
        return failure(std::move(all.error()));
    }
    if (PyList_Append(all->get(), name) < 0) {
        binding::fail_with_error("could not append __name__ to __all__", fetch_error());
    }
    if (PyObject_SetAttr(module, name, value) < 0) {
        return failure(fetch_error());
    }
    return {};
}

PyResult<void> add_muskingum_routing(PyObject* module) {
    OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return failure(fetch_error());
    }
    OwnedRef function = OwnedRef::steal(
        PyCMethod_New(binding::muskingum_routing_method(), module, module_name.get(), nullptr));
    if (!function) {
        return failure(fetch_error());
    }
    OwnedRef function_name = OwnedRef::steal(PyObject_GetAttr(function.get(), dunder_name.get()));
    if (!function_name) {
        return failure(fetch_error());
    }
    if (!PyUnicode_Check(function_name.get())) {
        return failure(binding::DowncastError{function_name.get(), "PyString"}.into_pyerr());
    }
    return add_to_module(module, function_name.get(), function.get());
}

PyObject* init_module(ModuleDefinition& record) noexcept {
    return binding::entry_guard([&] { return make_module(record); });
}

// ==================================================================== brooklet

namespace {

PyResult<void> fill_brooklet(PyObject* module) {
    OwnedRef reach_name = OwnedRef::steal(PyUnicode_FromString("reach"));
    if (!reach_name) {
        return failure(fetch_error());
    }
    OwnedRef reach = OwnedRef::steal(PyModule_NewObject(reach_name.get()));
    if (!reach) {
        return failure(fetch_error());
    }
    if (PyResult<void> added = add_muskingum_routing(reach.get()); !added) {
        return added;
    }
    OwnedRef submodule_name = OwnedRef::steal(PyModule_GetNameObject(reach.get()));
    if (!submodule_name) {
        return failure(fetch_error());
    }
    return add_to_module(module, submodule_name.get(), reach.get());
}

ModuleDefinition brooklet_record{
    .definition = plain_module_definition("brooklet"),
    .initializer = fill_brooklet,
    .interpreter_id = -1,  // no interpreter yet
    .module = {},          // no module yet
};

}  // namespace

}  // namespace brooklet

PyMODINIT_FUNC PyInit_brooklet() { return brooklet::init_module(brooklet::brooklet_record); }
