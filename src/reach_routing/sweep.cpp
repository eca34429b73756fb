#include "reach_routing/sweep.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

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
// registers are few, see BlockLayout), so the passes are independent within a
// step and are computed side by side in vector lanes.
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
// A block writes the last pass's outflow skew * (passes - 1) steps behind the
// input it reads, so it routes in place.

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

// Calls body(integral_constant<i>) for i = Count - 1 down to 0.
template <std::size_t Count, typename Body>
[[gnu::always_inline]] inline void for_each_descending(const Body& body) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (body(std::integral_constant<std::size_t, Count - 1 - I>{}), ...);
    }(std::make_index_sequence<Count>{});
}

template <typename Vector, std::size_t Passes>
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
    static constexpr bool terms_in_memory = 3 * vectors + 2 > VectorTraits<Vector>::registers;
    // Steps between a pass and the next. Terms are formed skew - 1 steps
    // before they are used; terms kept in memory come back through store
    // forwarding, which a skew of 3 keeps off the pace of the sweep.
    static constexpr std::size_t skew = terms_in_memory ? 3 : 2;
    // The last pass is this many steps behind the first.
    static constexpr std::size_t lag = skew * (Passes - 1);
};

// Routes `values[0, length)` (length >= 1) in place through `Passes` sub-reaches
// that all start from `first_outflow`. The pass vectors are indexed by constants
// only, so that they stay in registers.
template <typename Vector, std::size_t Passes>
[[gnu::always_inline]] inline void route_block(double* values, std::size_t length, const Coefficients& c,
                                               double first_outflow) noexcept {
    using Layout = BlockLayout<Vector, Passes>;
    constexpr std::size_t vectors = Layout::vectors;
    const auto c0 = splat<Vector>(c.c0);
    const auto c1 = splat<Vector>(c.c1);
    const auto c2 = splat<Vector>(c.c2);
    const auto first = splat<Vector>(first_outflow);

    std::array<Vector, vectors> outflow{};   // each pass's outflow at its current time
    constexpr std::size_t skew = Layout::skew;
    // c1 * I[t-1] + c0 * I[t] for each pass's time in the skew - 1 steps to
    // come, one set a step; and c1 * I[t] for the time after that.
    std::array<std::array<Vector, vectors>, skew - 1> terms_held{};
    std::array<Vector, vectors> earlier_held{};
    auto* terms_at = &terms_held;
    auto* earlier_at = &earlier_held;
    if constexpr (Layout::terms_in_memory) {
        asm("" : "+r"(terms_at), "+r"(earlier_at));  // hides where they are: no register can hold them
    }
    auto& earlier = *earlier_at;
    // Pass 0 reads the block's input; its time 1 comes at step 1.
    const double second_input = length > 1 ? values[1] : 0.0;
    if constexpr (skew == 2) {
        earlier[0] = c1 * splat<Vector>(values[0]);
    } else {
        (*terms_at)[1][0] = c1 * splat<Vector>(values[0]) + c0 * splat<Vector>(second_input);
        earlier[0] = c1 * splat<Vector>(second_input);
    }
    values[0] = first_outflow;  // every pass starts from it, the last one too

    // One sweep step: every pass moves on by one time, and the inflow terms of
    // its next time are formed from its input's two latest values. Vectors are
    // taken last to first, so that each reads its input before that moves on.
    const auto step = [&](std::size_t s, const Vector& input_window) {
        auto& terms = (*terms_at)[s % (skew - 1)];  // used now, and formed for skew - 1 steps on
        const Vector block_input = shift_in(outflow[vectors - 1], input_window);
        for_each_descending<vectors>([&](auto vector) {
            constexpr std::size_t g = decltype(vector)::value;
            outflow[g] = c2 * outflow[g] + terms[g];
            Vector input;
            if constexpr (g == 0) {
                input = block_input;
            } else {
                input = outflow[g - 1];
            }
            terms[g] = earlier[g] + c0 * input;
            earlier[g] = c1 * input;
        });
    };

    // Pass q starts at step skew * q, at time 0, from the first outflow;
    // before that its lanes hold values that nothing reads.
    const auto start_passes = [&](std::size_t s) {
        const auto now = splat<MaskOf<Vector>>(static_cast<std::int64_t>(s));
        for_each_descending<vectors>([&](auto vector) {
            constexpr std::size_t g = decltype(vector)::value;
            MaskOf<Vector> start{};
            for (std::size_t pass = g; pass < vectors * Layout::lanes; pass += vectors) {
                start[Layout::lane_of(pass)] = static_cast<std::int64_t>(skew * pass);
            }
            outflow[g] = select(start == now, first, outflow[g]);
        });
    };
    const auto output = [&] { return outflow[Layout::output_vector][Layout::output_lane]; };

    // Step s reads the input at s + skew - 1 and, once every pass has started,
    // writes the last pass's outflow at s - lag, behind everything read. In the
    // middle loop two- and four-double inputs come with the lanes - 1 values
    // before them, already routed or not: only their own lane is used. These
    // return vectors, so they are always inlined into the version's own
    // instruction set.
    const auto input_at = [&] [[gnu::always_inline]] (std::size_t t) {
        return splat<Vector>(t < length ? values[t] : 0.0);
    };
    const auto window_ending_at = [&] [[gnu::always_inline]] (std::size_t t) {
        if constexpr (Layout::lanes == 8) {
            return splat<Vector>(values[t]);  // a load that broadcasts (see shift_in)
        } else {
            Vector window;
            std::memcpy(&window, values + t + 1 - Layout::lanes, sizeof window);
            return window;
        }
    };
    const std::size_t steps = length + Layout::lag;
    std::size_t s = 0;
    // Passes start, and the window would reach before the first value.
    for (; s <= Layout::lag || s + skew < Layout::lanes; ++s) {
        step(s, input_at(s + skew - 1));
        start_passes(s);
        if (s >= Layout::lag && s < steps) {
            values[s - Layout::lag] = output();
        }
    }
    for (; s + skew - 1 < length; ++s) {
        step(s, window_ending_at(s + skew - 1));
        values[s - Layout::lag] = output();
    }
    for (; s < steps; ++s) {  // the input is spent; later passes finish
        step(s, input_at(s + skew - 1));
        values[s - Layout::lag] = output();
    }
}

using BlockRouter = void (*)(double* values, std::size_t length, const Coefficients& c, double first_outflow);

// Splits `passes` into blocks of at most `WidestBlock` passes with near-equal
// numbers of vectors (20 passes as 12 + 8, not 16 + 4: a block costs about the
// same per step however full its vectors are) and routes them one after another.
template <std::size_t Lanes, std::size_t WidestBlock>
void route_blocks(std::span<double> values, std::uint64_t passes, const Coefficients& c, double first_outflow,
                  const std::array<BlockRouter, WidestBlock>& routers) noexcept {
    constexpr std::uint64_t widest_vectors = WidestBlock / Lanes;
    const std::uint64_t vectors = passes / Lanes + (passes % Lanes != 0 ? 1 : 0);
    const std::uint64_t blocks = vectors / widest_vectors + (vectors % widest_vectors != 0 ? 1 : 0);
    std::uint64_t remaining = passes;
    for (std::uint64_t block = 0; block < blocks; ++block) {
        const std::uint64_t block_vectors = vectors / blocks + (block < vectors % blocks ? 1 : 0);
        const auto block_passes = static_cast<std::size_t>(std::min(block_vectors * Lanes, remaining));
        routers[block_passes - 1](values.data(), values.size(), c, first_outflow);
        remaining -= block_passes;
    }
}

template <std::size_t WidestBlock, template <std::size_t> typename Router>
constexpr std::array<BlockRouter, WidestBlock> block_routers() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return std::array<BlockRouter, WidestBlock>{&Router<I + 1>::route...};
    }(std::make_index_sequence<WidestBlock>{});
}

// ------------------------------------------------------------------ versions
//
// The baseline version uses the vectors every processor of the architecture
// has (SSE2 on x86: two doubles); the AVX2 version, where the processor has
// it, four; the AVX-512 version (x86-64 only), eight. Four vectors of passes
// keep the multiply and add units busy while each chain waits on its own last
// step, and take twelve registers: 16 passes per block with AVX2 on x86-64 (16
// registers), 8 with two-double vectors. In 32-bit code (8 registers) AVX2
// takes 8 passes in two vectors, and SSE2 keeps its terms in memory (see
// BlockLayout). A wider block would spill and gain nothing. AVX-512 has 32
// registers: 9 vectors of passes (72 passes a block) keep their state, the
// weights and the shuffle's indices in registers through the steady state; 10
// would spill. 8 and 9 vectors cost the same per value and pass, 4 about a
// tenth more. With 2 vectors or fewer a step waits on the multiply-add chain,
// which is longer in 512-bit registers, so up to 16 passes the AVX-512 version
// routes with the AVX2 blocks. A build with BROOKLET_BASELINE_VECTORS keeps
// only the baseline version, so that it can be tested on processors that would
// pick a wider one.

constexpr std::size_t baseline_block = 8;

template <std::size_t Passes>
struct BaselineRouter {
    static void route(double* values, std::size_t length, const Coefficients& c, double first_outflow) {
        route_block<Double2, Passes>(values, length, c, first_outflow);
    }
};

constexpr std::array<BlockRouter, baseline_block> baseline_routers =
    block_routers<baseline_block, BaselineRouter>();

constexpr SweepVersionInfo baseline_info{SweepVersion::baseline, "baseline", VectorTraits<Double2>::lanes,
                                         baseline_block};

#if (defined(__x86_64__) || defined(__i386__)) && !defined(BROOKLET_BASELINE_VECTORS)
#define BROOKLET_AVX2_SWEEP

#ifdef __x86_64__
constexpr std::size_t avx2_block = 16;
#else
constexpr std::size_t avx2_block = 8;
#endif

template <std::size_t Passes>
struct Avx2Router {
    [[gnu::target("avx2")]] static void route(double* values, std::size_t length, const Coefficients& c,
                                              double first_outflow) {
        route_block<Double4, Passes>(values, length, c, first_outflow);
    }
};

constexpr std::array<BlockRouter, avx2_block> avx2_routers = block_routers<avx2_block, Avx2Router>();

constexpr SweepVersionInfo avx2_info{SweepVersion::avx2, "avx2", VectorTraits<Double4>::lanes, avx2_block};
#endif

#if defined(__x86_64__) && !defined(BROOKLET_BASELINE_VECTORS)
#define BROOKLET_AVX512_SWEEP

constexpr std::size_t avx512_block = 72;

template <std::size_t Passes>
struct Avx512Router {
    [[gnu::target("avx512f")]] static void route(double* values, std::size_t length, const Coefficients& c,
                                                 double first_outflow) {
        route_block<Double8, Passes>(values, length, c, first_outflow);
    }
};

constexpr std::array<BlockRouter, avx512_block> avx512_routers = block_routers<avx512_block, Avx512Router>();

constexpr SweepVersionInfo avx512_info{SweepVersion::avx512, "avx512", VectorTraits<Double8>::lanes,
                                       avx512_block};
#endif

// Widest first, the baseline last.
constexpr std::array built_in = {
#ifdef BROOKLET_AVX512_SWEEP
    avx512_info,
#endif
#ifdef BROOKLET_AVX2_SWEEP
    avx2_info,
#endif
    baseline_info,
};

bool runs_here(SweepVersion version) noexcept {
    __builtin_cpu_init();
    switch (version) {
    case SweepVersion::avx512:  // which routes few passes with the AVX2 blocks
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2");
    case SweepVersion::avx2:
        return __builtin_cpu_supports("avx2");
    case SweepVersion::baseline:
        return true;
    }
    return false;
}

struct RunnableVersions {
    std::array<SweepVersionInfo, built_in.size()> versions{};
    std::size_t count = 0;
};

RunnableVersions runnable_versions() noexcept {
    RunnableVersions runnable;
    for (const SweepVersionInfo& info : built_in) {
        if (runs_here(info.version)) {
            runnable.versions[runnable.count++] = info;
        }
    }
    return runnable;
}

const RunnableVersions& versions_here() noexcept {
    static const RunnableVersions runnable = runnable_versions();
    return runnable;
}

}  // namespace

std::span<const SweepVersionInfo> built_in_sweep_versions() noexcept { return built_in; }

std::span<const SweepVersionInfo> sweep_versions() noexcept {
    const RunnableVersions& runnable = versions_here();
    return std::span(runnable.versions).first(runnable.count);
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow, SweepVersion version) noexcept {
    if (hydrograph.empty() || passes == 0) {
        return;
    }
    if (passes == 1) {
        route_pass_in_place(hydrograph, c, first_outflow);
        return;
    }
    switch (version) {
    case SweepVersion::avx512:
#ifdef BROOKLET_AVX512_SWEEP
        if (passes > avx2_block) {
            route_blocks<VectorTraits<Double8>::lanes>(hydrograph, passes, c, first_outflow, avx512_routers);
            return;
        }
#endif
        [[fallthrough]];
    case SweepVersion::avx2:
#ifdef BROOKLET_AVX2_SWEEP
        route_blocks<VectorTraits<Double4>::lanes>(hydrograph, passes, c, first_outflow, avx2_routers);
        return;
#endif
    case SweepVersion::baseline:
        break;
    }
    route_blocks<VectorTraits<Double2>::lanes>(hydrograph, passes, c, first_outflow, baseline_routers);
}

void route_passes_in_place(std::span<double> hydrograph, std::uint64_t passes, const Coefficients& c,
                           double first_outflow) noexcept {
    route_passes_in_place(hydrograph, passes, c, first_outflow, versions_here().versions[0].version);
}

}  // namespace brooklet::reach_routing
