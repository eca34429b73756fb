// The no-buffer call path: the plain arguments' routing plan, the list or
// tuple items or buffer values streamed through the routing side, and the
// result floats made as they come.
#include "binding/route_without_buffer.hpp"

#include <cstdint>
#include <utility>

#include "binding/call_binding.hpp"
#include "binding/float_list.hpp"
#include "binding/inflow_readers.hpp"
#include "binding/safe_points.hpp"
#include "reach_routing/routing_plan.hpp"

namespace brooklet::binding {

using reach_routing::Duration;

namespace {

// The plan that the arguments after `inflow` ask for, when they are plain
// enough: numbers and timedeltas read as the conversions would read them
// without running Python code, an exact int for the sub-reach count, a
// weighting factor that needs no warning and a pass count that the stream
// takes (more go through the general path, which keeps one block's state at
// a time).
std::optional<reach_routing::RoutingPlan> plain_routing(std::span<PyObject* const> slots) {
    const std::optional<Duration> k = plain_duration(slots[1]);
    const std::optional<double> x = plain_number(slots[2]);
    const std::optional<Duration> time_step = plain_duration(slots[3]);
    const std::optional<double> initial_outflow = plain_number(slots[5]);
    if (!k || !x || !reach_routing::weighting_in_recommended_range(*x) || !time_step || !initial_outflow ||
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
    // returns its optional through memory, which costs a list of ints or
    // float subclasses far more than the inlined loop (docs/performance.md).
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

// Routes an exact list or tuple whose items `plain_number` reads into a new
// list. One that starts with an exact float goes first through loops that
// test for nothing else (a wider test in them slows the streamed passes; see
// docs/performance.md), and starts again with `plain_number` at anything
// else; any other goes through `plain_number` at once, without a list made in
// vain.
template <class Items>
std::optional<OwnedRef> route_items(PyObject* sequence, const reach_routing::RoutingPlan& plan) {
    const typename Items::Lock lock(sequence);
    const Items items{sequence};
    const std::size_t length = items.size();
    if (length == 0) {
        return std::nullopt;  // the general path reports it
    }
    // Stepping aside sets the list's lock aside: other threads may have
    // changed it meanwhile. Items changed in place are read as they are now;
    // a changed length sends the call to the general path.
    const auto still_readable = [items, length] { return items.size() == length; };
    const auto route_read_by = [&]<auto read>() {
        return route_into_new_list(
            length, plan,
            [items] [[gnu::always_inline]] (std::size_t t) -> std::optional<double> { return read(items[t]); },
            still_readable);
    };
    if (Py_IS_TYPE(items[0], &PyFloat_Type)) {
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
    std::optional<OwnedRef> list;
    (void)with_numeric_buffer(object, exporter, [&]<class Item>(const HeldBuffer& buffer) {
        if (buffer.length() == 0 || !buffer.loads_whole_items<Item>()) {
            return;  // the general path reports an empty inflow, and reads misaligned items byte by byte
        }
        const auto held = [] { return true; };  // the buffer stays held while the call steps aside
        const auto value_at = [values = buffer.values<Item, true>()] [[gnu::always_inline]] (std::size_t t) {
            return std::optional(values[t]);
        };
        list = route_into_new_list(buffer.length(), plan, value_at, held);
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
        return route_items<ListItems>(inflow, *plan);
    }
    if (tuple) {
        return route_items<TupleItems>(inflow, *plan);
    }
    return route_buffer(inflow, *exporter, *plan);
}

}  // namespace brooklet::binding
