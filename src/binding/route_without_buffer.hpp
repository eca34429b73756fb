// The no-buffer call path: a call whose arguments convert without running
// any Python code, with a weighting factor that needs no warning, cannot have
// its inflow changed while it is read. Such a call routes without a
// hydrograph buffer: the routing side streams the inflow from a source (list
// or tuple items, buffer values) into a sink that makes the result floats as
// they come (see reach_routing/routing_plan.hpp). Any other call, and an
// inflow holding an item whose conversion could run Python code or raise,
// takes the general path, which reads the inflow from its start; nothing
// observable has happened before (a list made in part is dropped).
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "binding/references.hpp"

namespace brooklet::binding {

// The routed list of a call whose matched arguments (`slots`, in parameter
// order) route an inflow that no Python code can change while it is read,
// made without a hydrograph buffer; nothing when the call needs the general
// path.
[[nodiscard]] std::optional<OwnedRef> route_without_buffer(std::span<PyObject* const> slots);

}  // namespace brooklet::binding
