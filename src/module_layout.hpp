// Module definition records and the one-time creation of each module object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/entry_guard.hpp"
#include "binding/once_cell.hpp"

namespace brooklet {

// The interpreter's definition of a module of this shared object: a name, an
// empty documentation, no per-module state, methods, slots or hooks.
[[nodiscard]] constexpr PyModuleDef plain_module_definition(const char* name) noexcept {
    return {.m_base = PyModuleDef_HEAD_INIT,
            .m_name = name,
            .m_doc = "",
            .m_size = 0,
            .m_methods = nullptr,
            .m_slots = nullptr,
            .m_traverse = nullptr,
            .m_clear = nullptr,
            .m_free = nullptr};
}

// One per exported module; static, lives for the process.
struct ModuleDefinition {
    using Initializer = binding::PyResult<void> (*)(PyObject* module);

    PyModuleDef definition;
    Initializer initializer;
    // The first interpreter to import the module; -1 until then.
    std::atomic<std::int64_t> interpreter_id{-1};
    // Strong reference to the module, set by the first successful creation.
    binding::OnceCell<PyObject> module;
};

// Creates the module of `record` once per process (later calls return the same
// object) and refuses any interpreter but the first to import it.
[[nodiscard]] binding::PyResult<binding::OwnedRef> make_module(ModuleDefinition& record);

// Sets `module.<name> = value` and appends `name` to the module's `__all__`.
[[nodiscard]] binding::PyResult<void> add_to_module(PyObject* module, PyObject* name, PyObject* value);

// A `muskingum_routing` function object bound to `module`, added to it.
[[nodiscard]] binding::PyResult<void> add_muskingum_routing(PyObject* module);

// The body of an init function: module creation inside the entry guard.
PyObject* init_module(ModuleDefinition& record) noexcept;

}  // namespace brooklet
