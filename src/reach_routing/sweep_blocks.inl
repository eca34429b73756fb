// The multi-pass sweep's block algorithm, written once and compiled once per
// instruction set: each sweep_kernel_*.cpp names its namespace in
// BROOKLET_SWEEP_KERNEL_NAMESPACE, includes this file and is built with its
// set's flags (CMakeLists.txt). Everything here has internal linkage in that
// namespace, and it uses no function of the standard library that could be
// compiled out of line: a copy built for a wider set must never be the one
// that the linker keeps for a narrower caller (the build checks the kernels'
// objects for symbols outside their namespace).
//
// Routing through several sub-reaches one pass after another walks the
// hydrograph once per pass, each step waiting on the one before (a multiply,
// then an add). Here a block of passes is swept over time together: at sweep
// step s, pass q of the block works on time t = s - 2q (s - 3q where the
// registers are few, and a step more at each wrap to vector 0 in some shapes;
// see BlockLayout), so the passes are independent within a step and are
// computed side by side in vector lanes.
//
// Layout: with V vectors for the block, pass q lives in vector q % V, lane
// lanes - 1 - q / V. Pass q's input is pass q - 1, so vector g > 0 reads
// vector g - 1 lane for lane, and vector 0 reads the last vector moved down one
// lane, with the block's input in the last lane. Each pass's inflow terms
// c1 * I[t-1] + c0 * I[t] are formed a step or more before they are needed
// (hence the skew), so the only chain that runs from step to step within a
// vector is O = c2 * O + terms, and the chains of the V vectors overlap. The
// last pass of a full block is in lane 0, which is stored without a shuffle.
//
// Every lane does exactly the operations of `next_outflow` on the same
// operands, so the results are those of one pass after another, bit for bit.
// A block writes the last pass's outflow `lag` steps behind the input it
// reads, so it routes in place.


#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "reach_routing/recurrence.hpp"
#include "reach_routing/sweep_kernel.hpp"

#ifndef BROOKLET_SWEEP_KERNEL_NAMESPACE
#error "define BROOKLET_SWEEP_KERNEL_NAMESPACE before including sweep_blocks.inl"
#endif

namespace brooklet::reach_routing::BROOKLET_SWEEP_KERNEL_NAMESPACE {
namespace {

using Double2 = double __attribute__((vector_size(2 * sizeof(double))));
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));
using Double8 = double __attribute__((vector_size(8 * sizeof(double))));
using Mask2 = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));
using Mask4 = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));
using Mask8 = std::int64_t __attribute__((vector_size(8 * sizeof(std::int64_t))));

template <typename Vector>
struct VectorTraits;

template <>
struct VectorTraits<Double2> {
    using Mask = Mask2;
    static constexpr std::size_t lanes = 2;
    static constexpr std::size_t registers = sse_avx_registers;
};

template <>
struct VectorTraits<Double4> {
    using Mask = Mask4;
    static constexpr std::size_t lanes = 4;
    static constexpr std::size_t registers = sse_avx_registers;
};

// AVX-512 vectors, built for x86-64 code only.
template <>
struct VectorTraits<Double8> {
    using Mask = Mask8;
    static constexpr std::size_t lanes = 8;
    static constexpr std::size_t registers = avx512_registers;
};

template <typename Vector>
using MaskOf = typename VectorTraits<Vector>::Mask;

// Every lane set to `value`, element by element: adding a value to zeros would
// turn -0.0 into +0.0. Eight lanes are set by a shuffle of lane 0, which GCC
// compiles to one broadcast where it would set them one by one.
template <typename Vector, typename Element>
[[gnu::always_inline]] inline Vector splat(Element value) noexcept {
    constexpr std::size_t lanes = sizeof(Vector) / sizeof(Element);
    Vector vector{};
    if constexpr (lanes == 8) {
        vector[0] = value;
#ifdef __clang__
        return __builtin_shufflevector(vector, vector, 0, 0, 0, 0, 0, 0, 0, 0);
#else
        return __builtin_shuffle(vector, Mask8{});
#endif
    } else {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            vector[lane] = value;
        }
        return vector;
    }
}

// `vector` moved down one lane, with the block's input from `window` in the
// last lane. Two- and four-double windows are read from memory whole and hold
// the input in their last lane; eight-double windows are a broadcast of the
// input, a single load, taken from their first lane.
template <typename Vector>
[[gnu::always_inline]] inline Vector shift_in(const Vector& vector, const Vector& window) noexcept {
    if constexpr (VectorTraits<Vector>::lanes == 2) {
#ifdef __clang__
        return __builtin_shufflevector(vector, window, 1, 3);
#else
        return __builtin_shuffle(vector, window, Mask2{1, 3});
#endif
    } else if constexpr (VectorTraits<Vector>::lanes == 4) {
#ifdef __clang__
        return __builtin_shufflevector(vector, window, 1, 2, 3, 7);
#else
        return __builtin_shuffle(vector, window, Mask4{1, 2, 3, 7});
#endif
    } else {
#ifdef __clang__
        return __builtin_shufflevector(vector, window, 1, 2, 3, 4, 5, 6, 7, 8);
#else
        return __builtin_shuffle(vector, window, Mask8{1, 2, 3, 4, 5, 6, 7, 8});
#endif
    }
}

// The lanes of `if_set` where `mask` is set, of `otherwise` elsewhere; bits are
// moved, not computed. A conditional on the integer lanes, which compiles to
// one blend (or masked move); and, or and not would become two dependent xors
// on the outflow chain with AVX-512.
template <typename Vector>
[[gnu::always_inline]] inline Vector select(const MaskOf<Vector>& mask, const Vector& if_set,
                                            const Vector& otherwise) noexcept {
    using Mask = MaskOf<Vector>;
    const Mask bits = mask ? __builtin_bit_cast(Mask, if_set) : __builtin_bit_cast(Mask, otherwise);
    return __builtin_bit_cast(Vector, bits);
}

// Calls body(integral_constant<i>) for i = 0 up to Count - 1.
template <std::size_t Count, typename Body>
[[gnu::always_inline]] inline void for_each_ascending(const Body& body) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (body(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<Count>{});
}

// Calls body(integral_constant<i>) for i = Count - 1 down to 0.
template <std::size_t Count, typename Body>
[[gnu::always_inline]] inline void for_each_descending(const Body& body) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (body(std::integral_constant<std::size_t, Count - 1 - I>{}), ...);
    }(std::make_index_sequence<Count>{});
}

template <typename Vector, std::size_t Passes, std::size_t Registers = VectorTraits<Vector>::registers>
struct BlockLayout {
    static constexpr std::size_t lanes = VectorTraits<Vector>::lanes;
    static constexpr std::size_t vectors = (Passes + lanes - 1) / lanes;
    // Pass q lives in lane lanes - 1 - q / vectors of vector q % vectors.
    static constexpr std::size_t lane_of(std::size_t pass) { return lanes - 1 - pass / vectors; }
    // Where the last pass, the block's output, lives: lane 0 of a full block.
    static constexpr std::size_t output_vector = (Passes - 1) % vectors;
    static constexpr std::size_t output_lane = lane_of(Passes - 1);
    // Each vector of passes needs three registers (outflow, terms, earlier
    // terms) and a step two more (the block's input and a temporary; the
    // weights can come from memory). Where that does not fit, the terms, which
    // no chain waits on, are kept in memory, so that the register allocator
    // does not spill an outflow instead and put a store and a reload on its
    // chain.
    static constexpr bool terms_in_memory = 3 * vectors + 2 > Registers;
    // Steps between a pass and the next. Terms are formed skew - 1 steps
    // before they are used; terms kept in memory come back through store
    // forwarding, which a skew of 3 keeps off the pace of the sweep.
    static constexpr std::size_t skew = terms_in_memory ? 3 : 2;
    // Whether a step takes the vectors first to last, each vector's own
    // multiply ahead of those that read its outflow as the next vector's
    // input (which then reads a copy from before the step), rather than last
    // to first. The processor starts the oldest of the operations that wait
    // on the same value first, and the chain, which sets the pace, should not
    // wait behind the terms. With 16 or 8 registers and more vectors, the
    // copy costs more than the order gains (docs/performance.md has the runs).
    static constexpr bool chain_first = Registers >= 32 || (lanes == 2 && vectors <= 2);
    // How vector 0 gets the last vector moved down a lane, with the block's
    // input in the last lane:
    // - by a shuffle of the last vector as it is;
    // - by a shuffle of the last vector as it was a step earlier (one register
    //   more, wrap_delay 1), so that a four-double shuffle has a whole step
    //   before vector 0's terms are due;
    // - through memory (through_memory): each step stores the last vector and
    //   the block's input side by side in a ring of slots, and vector 0 loads
    //   them one lane along from the slot stored wrap_delay steps before. The
    //   load straddles two stores, so it waits until both have reached the
    //   cache, which they have by then. No shuffle: some processors shuffle
    //   on a pipe that also multiplies, which the wider blocks keep busy.
    // One or two four-double vectors shuffle a step late, three or more in 32
    // registers go through memory. Each wrap through memory adds wrap_delay
    // steps to the block's lag, which short hydrographs pay for; the
    // eight-double blocks, with up to eight wraps, keep the shuffle
    // (docs/performance.md has the runs behind each choice).
    static constexpr bool through_memory = Registers >= 32 && lanes == 4 && vectors >= 3 && skew == 2;
    static constexpr std::size_t ring_slots = 8;  // a power of two beyond the delay
    static constexpr bool shuffled_a_step_late = lanes == 4 && vectors <= (Registers >= 16 ? 2 : 1);
    static constexpr std::size_t wrap_delay = [] {
        if (through_memory) {
            return 6;
        }
        return shuffled_a_step_late ? 1 : 0;
    }();
    // The step at which pass q starts, at time 0. Through memory the block's
    // input reaches pass 0 wrap_delay steps late as well.
    static constexpr std::size_t start_step(std::size_t pass) {
        return skew * pass + wrap_delay * (pass / vectors + (through_memory ? 1 : 0));
    }
    // The last pass is this many steps behind the first.
    static constexpr std::size_t lag = start_step(Passes - 1);
};

// A block's passes between calls of `advance_block`: what the sweep keeps in
// registers while it runs, and how many inputs the block has taken.
template <typename Vector, std::size_t Passes, std::size_t Registers = VectorTraits<Vector>::registers>
struct BlockState {
    using Layout = BlockLayout<Vector, Passes, Registers>;
    // Slots of the last vector followed by the block's input, where vector 0
    // reads them from memory (see BlockLayout::through_memory). First, for
    // its alignment.
    struct alignas(64) Ring {
        double slots[Layout::ring_slots][2 * Layout::lanes];
    };
    struct NoRing {};
    [[no_unique_address]] std::conditional_t<Layout::through_memory, Ring, NoRing> ring{};
    Vector outflow[Layout::vectors]{};  // each pass's outflow at its current time
    // c1 * I[t-1] + c0 * I[t] for each pass's time in the skew - 1 steps to
    // come, one set a step; and c1 * I[t] for the time after that.
    Vector terms[Layout::skew - 1][Layout::vectors]{};
    Vector earlier[Layout::vectors]{};
    Vector wrapped{};  // the last vector a step ago, where vector 0 reads that (see wrap_delay)
    std::size_t taken = 0;  // inputs taken

    // Made in storage of the stream or of the in-place routing; this class's own
    // placement form, so that no global inline operator is compiled here.
    static void* operator new(std::size_t /*size*/, void* storage) noexcept { return storage; }
};

// Vector 0's input at step s (see BlockLayout): the last vector moved down a
// lane, with the block's input from `window` or `input_at` in the last lane.
// Through memory it also stores `last` and the input for a later step; with
// the step-late shuffle it keeps `last` in `wrapped` for the next step.
template <typename Layout, typename Vector, typename State>
[[gnu::always_inline]] inline Vector vector_zero_input(State& state, std::size_t s, const Vector& last,
                                                       Vector& wrapped, const Vector& window,
                                                       const double* input_at) noexcept {
    if constexpr (Layout::through_memory) {
        auto& slots = state.ring.slots;
        Vector input;
        std::memcpy(&input, &slots[(s - Layout::wrap_delay) % Layout::ring_slots][1], sizeof input);
        auto& slot = slots[s % Layout::ring_slots];
        std::memcpy(slot, &last, sizeof input);
        slot[Layout::lanes] = *input_at;
        return input;
    } else if constexpr (Layout::shuffled_a_step_late) {
        const Vector input = shift_in(wrapped, window);
        wrapped = last;
        return input;
    } else {
        return shift_in(last, window);
    }
}

// One of the first skew - 1 inputs, `input` (every lane), which forms pass 0's
// first terms; through memory, pass 0 reads it at step wrap_delay - 1 instead,
// as a block with no delay reads input 0 before step 0.
template <typename Layout, typename Vector, typename State>
[[gnu::always_inline]] inline void take_first_input(State& state, std::size_t index, const Vector& input,
                                                    Vector& earlier, const Vector& c1) noexcept {
    if constexpr (Layout::through_memory) {
        state.ring.slots[(index - 1) % Layout::ring_slots][Layout::lanes] = input[0];
    } else {
        earlier = c1 * input;
    }
}

// Takes the next `count` inputs of a block of `Passes` sub-reaches that all
// start from `first_outflow`, from `in`, and writes the outputs that they
// complete to `out`, in time order; returns how many. Output t is completed
// by input t + delay (the lag plus skew - 1), so the first `delay` inputs
// complete none, and `delay` zeros after the last input complete the rest.
// `out` may be `in`: every output is written at or before the input just
// read. Two- and four-double windows read up to lanes - 1 values before each
// input once the block has taken that many; the caller keeps them readable.
// The pass vectors are indexed by constants only, so that they stay in
// registers.
template <typename Vector, std::size_t Passes, std::size_t Registers = VectorTraits<Vector>::registers>
[[gnu::always_inline]] inline std::size_t advance_block(BlockState<Vector, Passes, Registers>& state, const double* in,
                                                        std::size_t count, double* out, const Coefficients& c,
                                                        double first_outflow) noexcept {
    using Layout = BlockLayout<Vector, Passes, Registers>;
    constexpr std::size_t vectors = Layout::vectors;
    constexpr std::size_t skew = Layout::skew;
    const auto c0 = splat<Vector>(c.c0);
    const auto c1 = splat<Vector>(c.c1);
    const auto c2 = splat<Vector>(c.c2);
    const auto first = splat<Vector>(first_outflow);

    // Taken up and set down vector by vector: a copy of the arrays whole may
    // move them in halves, and a vector loaded from two stores that have not
    // reached the cache waits for them.
    Vector outflow[vectors]{};
    Vector terms_held[skew - 1][vectors]{};
    Vector earlier_held[vectors]{};
    const auto copy_state = [&] [[gnu::always_inline]] (auto& outflow_to, auto& terms_to, auto& earlier_to,
                                                        const auto& outflow_from, const auto& terms_from,
                                                        const auto& earlier_from) {
        for_each_descending<vectors>([&](auto vector) {
            constexpr std::size_t g = decltype(vector)::value;
            outflow_to[g] = outflow_from[g];
            earlier_to[g] = earlier_from[g];
            for (std::size_t k = 0; k < skew - 1; ++k) {
                terms_to[k][g] = terms_from[k][g];
            }
        });
    };
    copy_state(outflow, terms_held, earlier_held, state.outflow, state.terms, state.earlier);
    Vector wrapped = state.wrapped;
    auto* terms_at = &terms_held;
    auto* earlier_at = &earlier_held;
    if constexpr (Layout::terms_in_memory) {
        asm("" : "+r"(terms_at), "+r"(earlier_at));  // hides where they are: no register can hold them
    }
    auto& earlier = *earlier_at;

    // One sweep step: every pass moves on by one time, and the inflow terms of
    // its next time are formed from its input's two latest values, each
    // vector's input read before it moves on. See BlockLayout::chain_first
    // for the order of the vectors. Always inlined, as the other lambdas here:
    // a step called out of line would take the passes' vectors through memory.
    const auto step = [&] [[gnu::always_inline]] (std::size_t s, const Vector& input_window, const double* input_at) {
        auto& terms = (*terms_at)[s % (skew - 1)];  // used now, and formed for skew - 1 steps on
        Vector input = vector_zero_input<Layout>(state, s, outflow[vectors - 1], wrapped, input_window, input_at);
        if constexpr (Layout::chain_first) {
            for_each_ascending<vectors>([&](auto vector) {
                constexpr std::size_t g = decltype(vector)::value;
                const Vector before = outflow[g];
                outflow[g] = c2 * outflow[g] + terms[g];
                terms[g] = earlier[g] + c0 * input;
                earlier[g] = c1 * input;
                input = before;
            });
        } else {
            for_each_descending<vectors>([&](auto vector) {
                constexpr std::size_t g = decltype(vector)::value;
                outflow[g] = c2 * outflow[g] + terms[g];
                const Vector& from = g > 0 ? outflow[g > 0 ? g - 1 : 0] : input;
                terms[g] = earlier[g] + c0 * from;
                earlier[g] = c1 * from;
            });
        }
    };

    // Pass q starts at its start step, at time 0, from the first outflow;
    // before that its lanes hold values that nothing reads.
    const auto start_passes = [&] [[gnu::always_inline]] (std::size_t s) {
        const auto now = splat<MaskOf<Vector>>(static_cast<std::int64_t>(s));
        for_each_descending<vectors>([&](auto vector) {
            constexpr std::size_t g = decltype(vector)::value;
            MaskOf<Vector> start{};
            for (std::size_t pass = g; pass < vectors * Layout::lanes; pass += vectors) {
                start[Layout::lane_of(pass)] = static_cast<std::int64_t>(Layout::start_step(pass));
            }
            outflow[g] = select(start == now, first, outflow[g]);
        });
    };
    const auto output = [&] [[gnu::always_inline]] { return outflow[Layout::output_vector][Layout::output_lane]; };

    // Two- and four-double windows end at the input and hold the values before
    // it, routed or not: only their own lane is used. Eight-double windows are
    // a broadcast of the input (see shift_in).
    const auto window_ending_at = [&] [[gnu::always_inline]] (const double* input) {
        if constexpr (Layout::lanes == 8) {
            return splat<Vector>(*input);  // a load that broadcasts
        } else {
            Vector window;
            std::memcpy(&window, input + 1 - Layout::lanes, sizeof window);
            return window;
        }
    };

    const std::size_t taken = state.taken;
    std::size_t i = 0;
    // The first skew - 1 inputs form pass 0's first terms; its time 1 comes at
    // step 1.
    for (; i < count && taken + i < skew - 1; ++i) {
        const auto input = splat<Vector>(in[i]);
        if constexpr (skew > 2) {
            if (taken + i == 1) {
                (*terms_at)[1][0] = earlier[0] + c0 * input;
            }
        }
        take_first_input<Layout>(state, taken + i, input, earlier[0], c1);
    }
    // Input skew - 1 + s is read at step s, which writes the output at s - lag
    // once every pass has started.
    std::size_t s = taken + i - (skew - 1);
    std::size_t written = 0;
    // Passes start, and the window would reach before the first input.
    for (; i < count && (s <= Layout::lag || s + skew < Layout::lanes); ++i, ++s) {
        step(s, splat<Vector>(in[i]), in + i);
        start_passes(s);
        if (s >= Layout::lag) {
            out[written++] = output();
        }
    }
    for (; i < count; ++i, ++s) {
        step(s, window_ending_at(in + i), in + i);
        out[written++] = output();
    }

    copy_state(state.outflow, state.terms, state.earlier, outflow, terms_held, earlier_held);
    state.wrapped = wrapped;
    state.taken = taken + count;
    return written;
}


template <typename Vector, std::size_t Passes, std::size_t Registers>
void* start_block(void* storage) {
    // Made in storage that the caller owns and keeps: nothing here to own or release.
    return new (storage) BlockState<Vector, Passes, Registers>{};  // NOLINT(cppcoreguidelines-owning-memory)
}

template <typename Vector, std::size_t Passes, std::size_t Registers>
std::size_t advance_erased(void* state, const double* in, std::size_t count, double* out, const Coefficients& c,
                           double first_outflow) noexcept {
    return advance_block<Vector, Passes, Registers>(*static_cast<BlockState<Vector, Passes, Registers>*>(state), in,
                                                    count, out, c, first_outflow);
}

template <typename Vector, std::size_t Passes, std::size_t Registers>
consteval BlockKernel block_kernel() {
    using Layout = BlockLayout<Vector, Passes, Registers>;
    using State = BlockState<Vector, Passes, Registers>;
    static_assert(alignof(State) <= block_state_alignment && sizeof(State) <= max_block_state_size);
    return BlockKernel{&advance_erased<Vector, Passes, Registers>, &start_block<Vector, Passes, Registers>,
                       Layout::lag + Layout::skew - 1, sizeof(State)};
}

// The kernels for 1 to WidestBlock passes, in vectors of type Vector with
// Registers vector registers.
template <typename Vector, std::size_t Registers, std::size_t WidestBlock>
struct BlockKernels {
    BlockKernel kernels[WidestBlock];
};

template <typename Vector, std::size_t Registers, std::size_t WidestBlock>
consteval BlockKernels<Vector, Registers, WidestBlock> block_kernels_of() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return BlockKernels<Vector, Registers, WidestBlock>{{block_kernel<Vector, I + 1, Registers>()...}};
    }(std::make_index_sequence<WidestBlock>{});
}

}  // namespace
}  // namespace brooklet::reach_routing::BROOKLET_SWEEP_KERNEL_NAMESPACE
