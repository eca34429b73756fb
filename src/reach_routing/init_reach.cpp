// The flat `init_reach` module: `muskingum_routing` at top level.
#include "module_layout.hpp"

namespace brooklet::reach_routing {

namespace {

binding::PyResult<void> fill_init_reach(PyObject* module) { return add_muskingum_routing(module); }

ModuleDefinition init_reach_record{
    .definition = plain_module_definition("init_reach"),
    .initializer = fill_init_reach,
    .interpreter_id = -1,  // no interpreter yet
    .module = {},          // no module yet
};

}  // namespace

}  // namespace brooklet::reach_routing

PyMODINIT_FUNC PyInit_init_reach() { return brooklet::init_module(brooklet::reach_routing::init_reach_record); }
