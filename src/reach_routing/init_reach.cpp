// The flat `init_reach` module: `muskingum_routing` at top level.
#include "module_layout.hpp"

namespace brooklet::reach_routing {

namespace {

binding::PyResult<void> fill_init_reach(PyObject* module) { return add_muskingum_routing(module); }

ModuleDefinition init_reach_record{
    .definition = {PyModuleDef_HEAD_INIT, "init_reach", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    .initializer = fill_init_reach,
};

}  // namespace

}  // namespace brooklet::reach_routing

PyMODINIT_FUNC PyInit_init_reach() { return brooklet::init_module(brooklet::reach_routing::init_reach_record); }
