// The flat `init_reach` module: `muskingum_routing` at top level.
#include "module_layout.hpp"

namespace brooklet::reach_routing {

namespace {

binding::PyResult<void> fill_init_reach(PyObject* module) { return add_muskingum_routing(module); }

ModuleDefinition init_reach_record{
    .definition = {.m_base = PyModuleDef_HEAD_INIT,
                   .m_name = "init_reach",
                   .m_doc = "",
                   .m_size = 0,
                   .m_methods = nullptr,
                   .m_slots = nullptr,
                   .m_traverse = nullptr,
                   .m_clear = nullptr,
                   .m_free = nullptr},
    .initializer = fill_init_reach,
    .interpreter_id = -1,  // no interpreter yet
    .module = {},          // no module yet
};

}  // namespace

}  // namespace brooklet::reach_routing

PyMODINIT_FUNC PyInit_init_reach() { return brooklet::init_module(brooklet::reach_routing::init_reach_record); }
