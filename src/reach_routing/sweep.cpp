#include "reach_routing/sweep.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace brooklet::reach_routing {

// ================================================================= one pass

void route_pass_in_place(std::span<double> hydrograph, const Coefficients& c, double first_outflow) noexcept {
    if (hydrograph.empty()) {
        return;
    }
    double previous_inflow = hydrograph[0];
    double outflow = first_outflow;
    hydrograph[0] = first_outflow;
    for (std::size_t t = 1; t < hydrograph.size(); ++t) {
        const double inflow = hydrograph[t];
        outflow = next_outflow(c, outflow, previous_inflow, inflow);
        hydrograph[t] = outflow;
        previous_inflow = inflow;
    }
}

// ========================================================== multi-pass sweep
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

// The vector helpers below are always inlined into functions built for one
// instruction set; none is called across the ABI that GCC warns about.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace {

using Double2 = double __attribute__((vector_size(2 * sizeof(double))));
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));
using Double8 = double __attribute__((vector_size(8 * sizeof(double))));
using Mask2 = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));
using Mask4 = std::int64_t __attribute__((vector_size(4 * sizeof(std::int64_t))));
using Mask8 = std::int64_t __attribute__((vector_size(8 * sizeof(std::int64_t))));

// Vector registers that the compiler allocates for SSE2 and AVX2 vectors: 8 in
// 32-bit x86 code, 16 in x86-64 code.
#ifdef __i386__
constexpr std::size_t sse_avx_registers = 8;
#else
constexpr std::size_t sse_avx_registers = 16;
#endif

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

// AVX-512 vectors, built for x86-64 code only, where there are 32 registers.
template <>
struct VectorTraits<Double8> {
    using Mask = Mask8;
    static constexpr std::size_t lanes = 8;
    static constexpr std::size_t registers = 32;
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
// moved, not computed.
template <typename Vector>
[[gnu::always_inline]] inline Vector select(const MaskOf<Vector>& mask, const Vector& if_set,
                                            const Vector& otherwise) noexcept {
    using Mask = MaskOf<Vector>;
    const Mask bits = (mask & std::bit_cast<Mask>(if_set)) | (~mask & std::bit_cast<Mask>(otherwise));
    return std::bit_cast<Vector>(bits);
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
    // wait behind the terms: measured on Zen 4, this makes the 256-bit blocks
    // in 32 registers about a sixth faster at 5 to 9 passes, and the
    // two-double blocks of 3 passes 1.04x the latency bound instead of 1.16x;
    // with 16 or 8 registers and more vectors, the copy costs more than the
    // order gains.
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
    //   cache, which they have by then. No shuffle: Zen 4 shuffles on a pipe
    //   that also multiplies, which the wider blocks keep busy.
    // Measured on Zen 4: one AVX2 vector routes 4 passes at 1.00x the latency
    // bound with the step-late shuffle (1.16x with the plain one), two route 5
    // and 6 at 1.00x (1.08-1.11x); in 32 registers the step-late shuffle makes
    // two vectors 2-6 % faster, and the ring makes three to nine four-double
    // vectors 5-15 % faster. Each wrap through memory adds wrap_delay steps to
    // the block's lag, which short hydrographs pay for: in the eight-double
    // blocks (up to eight wraps) the ring made calls on 100 values through 64
    // to 256 passes 1.12-1.26x as slow, for 2-6 % at 37 to 73 passes on long
    // ones, so those keep the shuffle.
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
        std::array<std::array<double, 2 * Layout::lanes>, Layout::ring_slots> slots;
    };
    struct NoRing {};
    [[no_unique_address]] std::conditional_t<Layout::through_memory, Ring, NoRing> ring{};
    std::array<Vector, Layout::vectors> outflow{};  // each pass's outflow at its current time
    // c1 * I[t-1] + c0 * I[t] for each pass's time in the skew - 1 steps to
    // come, one set a step; and c1 * I[t] for the time after that.
    std::array<std::array<Vector, Layout::vectors>, Layout::skew - 1> terms{};
    std::array<Vector, Layout::vectors> earlier{};
    Vector wrapped{};  // the last vector a step ago, where vector 0 reads that (see wrap_delay)
    std::size_t taken = 0;  // inputs taken
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
        std::memcpy(slot.data(), &last, sizeof input);
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
    std::array<Vector, vectors> outflow{};
    std::array<std::array<Vector, vectors>, skew - 1> terms_held{};
    std::array<Vector, vectors> earlier_held{};
    const auto copy_state = [&](auto& outflow_to, auto& terms_to, auto& earlier_to, const auto& outflow_from,
                                const auto& terms_from, const auto& earlier_from) {
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
    // for the order of the vectors.
    const auto step = [&](std::size_t s, const Vector& input_window, const double* input_at) {
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
    const auto start_passes = [&](std::size_t s) {
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
    const auto output = [&] { return outflow[Layout::output_vector][Layout::output_lane]; };

    // Two- and four-double windows end at the input and hold the values before
    // it, routed or not: only their own lane is used. Eight-double windows are
    // a broadcast of the input (see shift_in). This returns a vector, so it is
    // always inlined into the version's own instruction set.
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

// One block size of one version, its state's type erased.
struct BlockKernel {
    SweepStream::BlockAdvance advance;
    void* (*start)(void* storage);  // makes a new state in storage of state_size bytes; returns it
    std::size_t delay;
    std::size_t state_size;
};

template <typename Vector, std::size_t Passes, std::size_t Registers = VectorTraits<Vector>::registers>
void* start_block(void* storage) {
    return std::construct_at(static_cast<BlockState<Vector, Passes, Registers>*>(storage));
}

template <typename Vector, std::size_t Passes, std::size_t Registers, SweepStream::BlockAdvance advance>
constexpr BlockKernel block_kernel() {
    using Layout = BlockLayout<Vector, Passes, Registers>;
    using State = BlockState<Vector, Passes, Registers>;
    static_assert(alignof(State) <= 64);
    return BlockKernel{advance, &start_block<Vector, Passes, Registers>, Layout::lag + Layout::skew - 1, sizeof(State)};
}

// The kernels of one version for 1 to WidestBlock passes; Kernel<P>::advance
// calls advance_block with the version's instruction set.
template <typename Vector, std::size_t Registers, std::size_t WidestBlock, template <std::size_t> typename Kernel>
constexpr std::array<BlockKernel, WidestBlock> block_kernels() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<BlockKernel, WidestBlock>{block_kernel<Vector, I + 1, Registers, &Kernel<I + 1>::advance>()...};
    }(std::make_index_sequence<WidestBlock>{});
}

template <typename Vector, std::size_t Passes, std::size_t Registers = VectorTraits<Vector>::registers>
[[gnu::always_inline]] inline std::size_t advance_erased(void* state, const double* in, std::size_t count,
                                                         double* out, const Coefficients& c,
                                                         double first_outflow) noexcept {
    return advance_block<Vector, Passes, Registers>(*static_cast<BlockState<Vector, Passes, Registers>*>(state), in, count, out, c,
                                         first_outflow);
}

// The kernels that route a number of passes with one version.
struct KernelSet {
    std::span<const BlockKernel> kernels;  // for 1 to kernels.size() passes
    std::size_t lanes;
};

// Splits passes into blocks of at most the widest block with near-equal
// numbers of vectors (20 passes as 12 + 8, not 16 + 4: a block costs about the
// same per step however full its vectors are), as few vectors as the passes
// fill, in the order they route. The lanes left over pad the first block,
// which has the most vectors: 73 passes in blocks of 72 as 33 + 40, and 9 in
// blocks of two four-double vectors as 5 + 4, never 8 + 1 (a block of one
// pass waits on the recurrence alone).
class BlockSplit {
public:
    BlockSplit(std::uint64_t passes, const KernelSet& set) noexcept
        : lanes_(set.lanes),
          vectors_(ceiling_division(passes, set.lanes)),
          blocks_(ceiling_division(vectors_, set.kernels.size() / set.lanes)),
          padding_(vectors_ * set.lanes - passes) {}

    [[nodiscard]] std::uint64_t blocks() const noexcept { return blocks_; }

    // The passes of the next block.
    std::size_t next() noexcept {
        const std::uint64_t block_vectors = vectors_ / blocks_ + (block_ < vectors_ % blocks_ ? 1 : 0);
        const std::uint64_t padding = block_ == 0 ? padding_ : 0;
        ++block_;
        return static_cast<std::size_t>(block_vectors * lanes_ - padding);
    }

private:
    static std::uint64_t ceiling_division(std::uint64_t a, std::uint64_t b) noexcept {
        return a / b + (a % b != 0 ? 1 : 0);
    }

    std::uint64_t lanes_;
    std::uint64_t vectors_;
    std::uint64_t blocks_;
    std::uint64_t padding_;  // lanes of the blocks' vectors beyond the passes, fewer than lanes_
    std::uint64_t block_ = 0;
};

// Zeros that close a block routed in place, after a pad that windows may read.
constexpr std::size_t window_pad = 8;
constexpr std::array<double, window_pad + 256> closing_zeros{};

// Routes `values` in place through one block: all of them, then the zeros
// that complete the last `delay` outputs.
template <std::size_t StateSize>
void route_block_in_place(const BlockKernel& kernel, std::span<double> values, const Coefficients& c,
                          double first_outflow) noexcept {
    alignas(64) std::array<std::byte, StateSize> storage{};
    void* state = kernel.start(storage.data());
    std::size_t written = kernel.advance(state, values.data(), values.size(), values.data(), c, first_outflow);
    for (std::size_t left = kernel.delay; left > 0;) {
        const std::size_t count = std::min(left, closing_zeros.size() - window_pad);
        written += kernel.advance(state, closing_zeros.data() + window_pad, count, values.data() + written, c,
                                  first_outflow);
        left -= count;
    }
}

// ------------------------------------------------------------ block shapes
//
// Four shapes of block, each for 1 to its widest number of passes:
// - two doubles a vector (SSE2, which every x86 processor routing here has):
//   four vectors of passes keep the multiply and add units busy while each
//   chain waits on its own last step, and take twelve registers, so 8 passes;
// - four doubles in the 16 registers of AVX2: 16 passes in four vectors (in
//   32-bit code, with 8 registers, 8 passes in two);
// - four doubles in the 32 registers of AVX-512 (its VL encodings): 36 passes
//   in nine vectors, which keep their state, the weights and the block's input
//   in registers; a 256-bit vector pads at most three lanes where an 8-lane
//   one pads seven;
// - eight doubles (AVX-512F): 72 passes in nine vectors.
// In 32-bit code the two-double blocks keep their terms in memory (see
// BlockLayout), and there are no AVX-512 shapes. A wider block would spill and
// gain nothing.

constexpr std::size_t two_double_block = 8;

template <std::size_t Passes>
struct TwoDoubleKernel {
    static std::size_t advance(void* state, const double* in, std::size_t count, double* out, const Coefficients& c,
                               double first_outflow) {
        return advance_erased<Double2, Passes>(state, in, count, out, c, first_outflow);
    }
};

constexpr std::array<BlockKernel, two_double_block> two_double_kernels =
    block_kernels<Double2, sse_avx_registers, two_double_block, TwoDoubleKernel>();

#if (defined(__x86_64__) || defined(__i386__)) && !defined(BROOKLET_BASELINE_VECTORS)
#define BROOKLET_AVX2_SWEEP

#ifdef __x86_64__
constexpr std::size_t avx2_block = 16;
#else
constexpr std::size_t avx2_block = 8;
#endif

template <std::size_t Passes>
struct Avx2Kernel {
    [[gnu::target("avx2")]] static std::size_t advance(void* state, const double* in, std::size_t count, double* out,
                                                       const Coefficients& c, double first_outflow) {
        return advance_erased<Double4, Passes>(state, in, count, out, c, first_outflow);
    }
};

constexpr std::array<BlockKernel, avx2_block> avx2_kernels =
    block_kernels<Double4, sse_avx_registers, avx2_block, Avx2Kernel>();
#endif

#if defined(__x86_64__) && !defined(BROOKLET_BASELINE_VECTORS)
#define BROOKLET_AVX512_SWEEP

constexpr std::size_t avx512_registers = 32;
constexpr std::size_t avx512vl_block = 36;
constexpr std::size_t avx512_block = 72;

template <std::size_t Passes>
struct Avx512VlKernel {
    [[gnu::target("avx512f,avx512vl")]] static std::size_t advance(void* state, const double* in, std::size_t count,
                                                                   double* out, const Coefficients& c,
                                                                   double first_outflow) {
        return advance_erased<Double4, Passes, avx512_registers>(state, in, count, out, c, first_outflow);
    }
};

template <std::size_t Passes>
struct Avx512Kernel {
    [[gnu::target("avx512f")]] static std::size_t advance(void* state, const double* in, std::size_t count,
                                                          double* out, const Coefficients& c,
                                                          double first_outflow) {
        return advance_erased<Double8, Passes>(state, in, count, out, c, first_outflow);
    }
};

constexpr std::array<BlockKernel, avx512vl_block> avx512vl_kernels =
    block_kernels<Double4, avx512_registers, avx512vl_block, Avx512VlKernel>();
constexpr std::array<BlockKernel, avx512_block> avx512_kernels =
    block_kernels<Double8, avx512_registers, avx512_block, Avx512Kernel>();
#endif

struct ShapeKernels {
    SweepShapeInfo info;
    std::span<const BlockKernel> kernels;  // for 1 to kernels.size() passes
};

// Every shape built in, widest vectors first.
constexpr std::array built_in_shapes = {
#ifdef BROOKLET_AVX512_SWEEP
    ShapeKernels{{SweepShape::avx512, "avx512", 8, avx512_block}, avx512_kernels},
    ShapeKernels{{SweepShape::avx512vl, "avx512vl", 4, avx512vl_block}, avx512vl_kernels},
#endif
#ifdef BROOKLET_AVX2_SWEEP
    ShapeKernels{{SweepShape::avx2, "avx2", 4, avx2_block}, avx2_kernels},
#endif
    ShapeKernels{{SweepShape::two_double, "two-double", 2, two_double_block}, two_double_kernels},
};

const ShapeKernels& shape_kernels(SweepShape shape) noexcept {
    for (const ShapeKernels& built : built_in_shapes) {
        if (built.info.shape == shape) {
            return built;
        }
    }
    return built_in_shapes.back();  // the two-double shape, which every build has
}

KernelSet kernel_set(SweepShape shape) noexcept {
    const ShapeKernels& built = shape_kernels(shape);
    return {built.kernels, built.info.lanes};
}

// ------------------------------------------------------------------ versions
//
// The baseline version routes with the two-double blocks; the AVX2 version,
// where the processor has AVX2, also with the AVX2 blocks; the AVX-512
// version (x86-64 only) with every shape. Each version picks the shape per
// number of passes by measurement (make bench-kernel times every shape at
// every pass count that the tables below distinguish). A build with
// BROOKLET_BASELINE_VECTORS keeps only the baseline version, so that it can
// be tested on processors that would pick a wider one.

constexpr std::array built_in = {
#ifdef BROOKLET_AVX512_SWEEP
    SweepVersionInfo{SweepVersion::avx512, "avx512", 8, avx512_block},
#endif
#ifdef BROOKLET_AVX2_SWEEP
    SweepVersionInfo{SweepVersion::avx2, "avx2", 4, avx2_block},
#endif
    SweepVersionInfo{SweepVersion::baseline, "baseline", 2, two_double_block},
};

bool shape_runs_here(SweepShape shape) noexcept {
    __builtin_cpu_init();
    switch (shape) {
    case SweepShape::avx512:
        return __builtin_cpu_supports("avx512f");
    case SweepShape::avx512vl:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
    case SweepShape::avx2:
        return __builtin_cpu_supports("avx2");
    case SweepShape::two_double:
        return true;
    }
    return false;
}

bool runs_here(SweepVersion version) noexcept {
    switch (version) {
    case SweepVersion::avx512:
        return shape_runs_here(SweepShape::avx512) && shape_runs_here(SweepShape::avx512vl) &&
               shape_runs_here(SweepShape::avx2);
    case SweepVersion::avx2:
        return shape_runs_here(SweepShape::avx2);
    case SweepVersion::baseline:
        return true;
    }
    return false;
}

template <typename Info, std::size_t Size>
struct Runnable {
    std::array<Info, Size> items{};
    std::size_t count = 0;
};

Runnable<SweepVersionInfo, built_in.size()> runnable_versions() noexcept {
    Runnable<SweepVersionInfo, built_in.size()> runnable;
    for (const SweepVersionInfo& info : built_in) {
        if (runs_here(info.version)) {
            runnable.items[runnable.count++] = info;
        }
    }
    return runnable;
}

Runnable<SweepShapeInfo, built_in_shapes.size()> runnable_shapes() noexcept {
    Runnable<SweepShapeInfo, built_in_shapes.size()> runnable;
    for (const ShapeKernels& built : built_in_shapes) {
        if (shape_runs_here(built.info.shape)) {
            runnable.items[runnable.count++] = built.info;
        }
    }
    return runnable;
}

const auto& versions_here() noexcept {
    static const auto runnable = runnable_versions();
    return runnable;
}

const auto& shapes_here() noexcept {
    static const auto runnable = runnable_shapes();
    return runnable;
}

// Up to `passes`, a version routes with `shape`.
struct ShapeUpTo {
    std::uint64_t passes;
    SweepShape shape;
};

SweepShape shape_from(std::span<const ShapeUpTo> table, std::uint64_t passes) noexcept {
    for (const ShapeUpTo& entry : table) {
        if (passes <= entry.passes) {
            return entry.shape;
        }
    }
    return table.back().shape;
}

constexpr std::uint64_t any_passes = UINT64_MAX;

// Measured on AMD Zen 4 (make bench-kernel, cycles per value·pass against the
// bound; bench/compare_builds.py for whole calls): up to 3 passes a step
// waits on the recurrence itself, and the two-double blocks, whose shuffle
// stays within 128 bits, are the fastest (1.0x the latency bound; the wider
// shapes 1.04-1.6x). From 4 to 6 passes the AVX2 blocks of one or two vectors
// are at the latency bound (1.00x; the 256-bit blocks in 32 registers
// 1.04-1.07x at 5 and 6), and one AVX2 vector at 4 also leaves calls that
// stream their input more room to make result floats than two-double blocks
// do. From 7 to 36 passes one block of 256-bit vectors in the 32 registers
// routes them all with at most three padded lanes; beyond, the eight-double
// blocks are as fast per lane and need half as many blocks (128 passes: 1.01x
// the bound, against 1.08x in four 256-bit blocks), except where they would
// leave four lanes or more empty (see pads_eight_double_blocks).
#ifdef BROOKLET_AVX512_SWEEP
constexpr std::array avx512_shapes = {
    ShapeUpTo{3, SweepShape::two_double},
    ShapeUpTo{6, SweepShape::avx2},
    ShapeUpTo{avx512vl_block, SweepShape::avx512vl},
    ShapeUpTo{any_passes, SweepShape::avx512},
};
#endif

// Without AVX-512, up to 3 passes with the two-double blocks (as above), and
// beyond with the AVX2 blocks. In 32-bit code, where the two-double blocks
// keep their terms in memory, the AVX2 blocks route 2 and 3 passes too (on
// Zen 4: 1.02-1.08x the latency bound, the two-double blocks 1.04-1.42x).
#ifdef BROOKLET_AVX2_SWEEP
constexpr std::array avx2_shapes = {
#ifndef __i386__
    ShapeUpTo{3, SweepShape::two_double},
#endif
    ShapeUpTo{any_passes, SweepShape::avx2},
};
#endif

constexpr std::array baseline_shapes = {ShapeUpTo{any_passes, SweepShape::two_double}};

// Beyond one block of 256-bit vectors, the AVX-512 version routes in those
// blocks (two or more) where eight-double vectors would leave four lanes or
// more empty, up to this many passes. Measured on Zen 4 (make bench-kernel):
// 41 to 137 passes 1.00-1.11x their bound, against 1.05-1.22x in eight-double
// blocks; beyond, both are within 1.04x, and the stream drains half as many
// blocks.
constexpr std::uint64_t padded_passes_in_256_bit_blocks = 144;

[[maybe_unused]] bool pads_eight_double_blocks(std::uint64_t passes) noexcept {
#ifdef BROOKLET_AVX512_SWEEP
    return passes > avx512vl_block && passes <= padded_passes_in_256_bit_blocks && passes % 8 != 0 &&
           passes % 8 <= 4;
#else
    (void)passes;
    return false;
#endif
}

// Hydrographs shorter than this route without the blocks of three or more
// 256-bit vectors in 32 registers, which take their input through memory with
// a lag longer by 24 steps a block (see BlockLayout::through_memory): 9 to 16
// passes in one AVX2 block, and beyond 36 in eight-double blocks. On Zen 4
// that lag made calls on 100 values through 16 passes 1.05x as slow; it is
// worth its while from about 200 values.
constexpr std::size_t short_hydrograph = 256;

// The shape that routing uses for `passes` over `length` values.
SweepShape routing_shape(std::uint64_t passes, std::size_t length) noexcept {
    const SweepShape shape = sweep_shape(versions_here().items[0].version, passes);
#ifdef BROOKLET_AVX512_SWEEP
    if (shape == SweepShape::avx512vl && length < short_hydrograph) {
        if (passes > 8 && passes <= avx2_block) {
            return SweepShape::avx2;
        }
        if (passes > avx512vl_block) {
            return SweepShape::avx512;
        }
    }
#else
    (void)length;
#endif
    return shape;
}

constexpr std::size_t largest_state(std::span<const BlockKernel> kernels) {
    return std::ranges::max(kernels, {}, &BlockKernel::state_size).state_size;
}

// Bytes of the largest block state of any shape.
constexpr std::size_t max_state_size = std::max({
#ifdef BROOKLET_AVX512_SWEEP
    largest_state(avx512_kernels),
    largest_state(avx512vl_kernels),
#endif
#ifdef BROOKLET_AVX2_SWEEP
    largest_state(avx2_kernels),
#endif
    largest_state(two_double_kernels),
});

}  // namespace

std::span<const SweepVersionInfo> built_in_sweep_versions() noexcept { return built_in; }

std::span<const SweepVersionInfo> sweep_versions() noexcept {
    const auto& runnable = versions_here();
    return std::span(runnable.items).first(runnable.count);
}

std::span<const SweepShapeInfo> built_in_sweep_shapes() noexcept {
    static constexpr auto infos = [] {
        std::array<SweepShapeInfo, built_in_shapes.size()> all{};
        std::ranges::transform(built_in_shapes, all.begin(), &ShapeKernels::info);
        return all;
    }();
    return infos;
}

std::span<const SweepShapeInfo> sweep_shapes() noexcept {
    const auto& runnable = shapes_here();
    return std::span(runnable.items).first(runnable.count);
}

SweepShape sweep_shape(SweepVersion version, std::uint64_t passes) noexcept {
    switch (version) {
    case SweepVersion::avx512:
#ifdef BROOKLET_AVX512_SWEEP
        return pads_eight_double_blocks(passes) ? SweepShape::avx512vl : shape_from(avx512_shapes, passes);
#endif
    case SweepVersion::avx2:
#ifdef BROOKLET_AVX2_SWEEP
        return shape_from(avx2_shapes, passes);
#endif
    case SweepVersion::baseline:
        break;
    }
    return shape_from(baseline_shapes, passes);
}

std::uint64_t sweep_blocks(std::uint64_t passes, SweepShape shape) noexcept {
    return BlockSplit(passes, kernel_set(shape)).blocks();
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepShape shape) noexcept {
    if (hydrograph.empty() || passes == 0) {
        return;
    }
    if (passes == 1) {
        route_pass_in_place(hydrograph, c, first_outflow);
        return;
    }
    const KernelSet set = kernel_set(shape);
    BlockSplit split(passes, set);
    for (std::uint64_t block = 0; block < split.blocks(); ++block) {
        route_block_in_place<max_state_size>(set.kernels[split.next() - 1], hydrograph, c, first_outflow);
    }
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepVersion version) noexcept {
    route_passes_in_place(hydrograph, passes, c, first_outflow, sweep_shape(version, passes));
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept {
    route_passes_in_place(hydrograph, passes, c, first_outflow, routing_shape(passes, hydrograph.size()));
}

// ================================================================ the stream

SweepStream::SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow)
    : SweepStream(passes, c, first_outflow, SIZE_MAX) {}

SweepStream::SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, std::size_t length)
    : SweepStream(passes, c, first_outflow, routing_shape(passes, length),
                  sweep_blocks(passes, routing_shape(passes, length)) >= long_chunk_blocks ? long_chunk_values
                                                                                            : short_chunk_values) {}

SweepStream::SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, SweepVersion version,
                         std::size_t chunk_values)
    : SweepStream(passes, c, first_outflow, sweep_shape(version, passes), chunk_values) {}

SweepStream::SweepStream(std::uint64_t passes, const Coefficients& c, double first_outflow, SweepShape shape,
                         std::size_t chunk_values)
    : buffer_(2 * (window_pad + chunk_values)),
      coefficients_(c),
      first_outflow_(first_outflow),
      chunk_values_(chunk_values) {
    const KernelSet set = kernel_set(shape);
    BlockSplit split(passes, set);
    std::vector<const BlockKernel*> kernels;
    std::size_t units = 0;
    for (std::uint64_t block = 0; block < split.blocks(); ++block) {
        kernels.push_back(&set.kernels[split.next() - 1]);
        units += (kernels.back()->state_size + sizeof(StateUnit) - 1) / sizeof(StateUnit);
    }
    states_.resize(units);
    StateUnit* storage = states_.data();
    for (const BlockKernel* kernel : kernels) {
        blocks_.push_back(Block{kernel->advance, kernel->start(storage), kernel->delay});
        storage += (kernel->state_size + sizeof(StateUnit) - 1) / sizeof(StateUnit);
    }
    zeros_left_ = blocks_.empty() ? 0 : blocks_.front().delay;
}

std::span<double> SweepStream::chunk(std::size_t which) noexcept {
    return std::span(buffer_).subspan(window_pad + which * (window_pad + chunk_values_), chunk_values_);
}

std::span<double> SweepStream::inflow_space() noexcept { return chunk(0); }

std::span<double> SweepStream::through_blocks(std::size_t first, std::span<double> part) noexcept {
    std::size_t which = 0;
    for (std::size_t b = first; b < blocks_.size(); ++b) {
        const Block& block = blocks_[b];
        which = 1 - which;
        double* out = chunk(which).data();
        part = std::span(out, block.advance(block.state, part.data(), part.size(), out, coefficients_,
                                            first_outflow_));
    }
    return part;
}

std::span<const double> SweepStream::route(std::size_t count) noexcept {
    return through_blocks(0, inflow_space().first(count));
}

std::span<const double> SweepStream::drain() noexcept {
    while (draining_block_ < blocks_.size()) {
        const std::span<double> zeros = inflow_space().first(std::min(zeros_left_, chunk_values_));
        std::ranges::fill(zeros, 0.0);
        const std::size_t from = draining_block_;
        zeros_left_ -= zeros.size();
        if (zeros_left_ == 0 && ++draining_block_ < blocks_.size()) {
            zeros_left_ = blocks_[draining_block_].delay;
        }
        if (const std::span<double> outflows = through_blocks(from, zeros); !outflows.empty()) {
            return outflows;
        }
    }
    return {};
}

}  // namespace brooklet::reach_routing
