#include "detail/DirectFormKernel.h"

#include <array>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace vexa::detail {

namespace {

// The same loop built twice. The fused version is compiled for processors
// with FMA (the compiler contracts the multiply-adds of the inlined loop) and
// is chosen at run time, so the library itself needs no more than the base
// instruction set.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VEXA_FMA_DISPATCH 1

template <unsigned N>
__attribute__((target("fma"))) void loopFma(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh,
                                            const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    directFormLoop<N>(b, a, xh, yh, in, out, n, gain);
}

template <unsigned S>
__attribute__((target("fma"))) void cascadeFma(const double* b, const double* a, StereoFrame<double>* const* h,
                                               const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n,
                                               double gain)
{
    biquadCascadeLoop<S>(b, a, h, in, out, n, gain);
}

bool detectFma()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma");
}

bool detectAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// Two stages to a 256-bit vector.
//
// The plain cascade holds one stage's two channels in a 128-bit vector and
// spends five multiply-adds per stage and frame: ten stages are bound by the
// processor's multiply-add throughput. Here stages 2p and 2p+1 share one
// four-lane vector, skewed by one frame: at step j of the loop, stage s
// computes frame j - s, so that
//
//   Y[p]_j = [ y(2p)_(j-2p) | y(2p+1)_(j-2p-1) ]    (left, right | left, right)
//   X[p]_j = [ x(2p)_(j-2p) | y(2p)_(j-2p-1) ]
//
// Every input of step j comes from step j - 1: the pair's input X[p]_j is the
// high half of Y[p-1]_(j-1) (the input block for the first pair) beside the
// low half of Y[p]_(j-1). The pairs of a step are independent of each other,
// and each pair's recurrence, as in the plain loop, is two multiply-adds per
// frame; a pair takes five multiply-adds on 4 lanes per frame, half the work.
// The sum is the plain loop's, in the same order, with the part that does
// not need the newest output formed one frame ahead:
//
//   Y_j     = (A_j - a1 Y_(j-1)) + b0 X_j
//   A_(j+1) = (b1 X_j + b2 X_(j-1)) - a2 Y_(j-1)
//
// so each pair keeps three vectors in the registers, Y, A and the previous X
// (five pairs: fifteen); built with GCC, the results equal the plain loop's.
// Ten stages run at about 190 M frames/s against 105 M in two plain passes;
// compiled for AVX-512VL's 32 registers the loop runs no faster: the
// multiply-adds are the bound.
//
// An odd count of stages leaves the high half of the last pair with zero
// coefficients. Step j writes frame j - S + 1 of the last stage S - 1, behind
// the frame it reads, so in and out may be the same array.
//
// A call starts and ends in the filter's own state, two frames of history per
// stage. The first S - 1 steps would need frames before the block for the
// later stages, so a prologue runs those frames (a triangle: stage s runs
// frames 0 .. S-2-s) on two lanes; likewise an epilogue runs the frames the
// later stages still owe after the last step (stage s: frames n-s .. n-1),
// from the outputs of the last three steps, and leaves the histories.

struct alignas(32) PairCoefficients {
    double b0[4], b1[4], b2[4], a1[4], a2[4];
};

struct alignas(32) PairState {
    double y[4], acc[4], x[4]; // Y_(j-1), A_j, X_(j-1)
};

// One frame of one stage on two lanes, in the order of biquadCascadeLoop.
__attribute__((always_inline)) inline Lanes2 biquadStep(const Lanes2* c, Lanes2 x, Lanes2 x1, Lanes2 x2, Lanes2 y1, Lanes2 y2)
{
    return (((c[1] * x1 + c[2] * x2) - c[4] * y2) - c[3] * y1) + c[0] * x;
}

// Steps first .. last - 1 of the skewed loop over P pairs (S stages).
template <unsigned S>
__attribute__((target("avx2,fma"))) void pairLoop(const PairCoefficients* c, PairState* st, const StereoFrame<double>* in,
                                                  StereoFrame<double>* out, unsigned int first, unsigned int last, double gain)
{
    constexpr unsigned P = (S + 1) / 2;
    __m256d y[P], acc[P], x1[P];
    for (unsigned p = 0; p < P; ++p) {
        y[p] = _mm256_load_pd(st[p].y);
        acc[p] = _mm256_load_pd(st[p].acc);
        x1[p] = _mm256_load_pd(st[p].x);
    }
    const __m128d g = _mm_set1_pd(gain);
    for (unsigned int j = first; j < last; ++j) {
        // Backwards, so that each pair still sees its predecessor's Y_(j-1).
#pragma GCC unroll 8
        for (unsigned q = 0; q < P; ++q) {
            const unsigned p = P - 1 - q;
            const __m256d x =
                p == 0 ? _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(&in[j].left)), _mm256_castpd256_pd128(y[0]), 1)
                       : _mm256_permute2f128_pd(y[p - 1], y[p], 0x21);
            const __m256d t = _mm256_fnmadd_pd(_mm256_load_pd(c[p].a1), y[p], acc[p]);
            const __m256d u = _mm256_fmadd_pd(_mm256_load_pd(c[p].b1), x, _mm256_mul_pd(_mm256_load_pd(c[p].b2), x1[p]));
            acc[p] = _mm256_fnmadd_pd(_mm256_load_pd(c[p].a2), y[p], u);
            y[p] = _mm256_fmadd_pd(_mm256_load_pd(c[p].b0), x, t);
            x1[p] = x;
        }
        const __m128d y1 = S % 2 ? _mm256_castpd256_pd128(y[P - 1]) : _mm256_extractf128_pd(y[P - 1], 1);
        _mm_storeu_pd(&out[j + 1 - S].left, _mm_mul_pd(y1, g));
    }
    for (unsigned p = 0; p < P; ++p) {
        _mm256_store_pd(st[p].y, y[p]);
        _mm256_store_pd(st[p].acc, acc[p]);
        _mm256_store_pd(st[p].x, x1[p]);
    }
}

// Coefficients of S stages: c[s] on two lanes, pc[p] for the pairs.
template <unsigned S>
__attribute__((always_inline)) inline void splitCoefficients(const double* b, const double* a, Lanes2 (*c)[5], PairCoefficients* pc)
{
    for (unsigned s = 0; s < S; ++s) {
        const double v[5] = {b[3 * s], b[3 * s + 1], b[3 * s + 2], a[3 * s + 1], a[3 * s + 2]};
        double* lanes[5] = {pc[s / 2].b0, pc[s / 2].b1, pc[s / 2].b2, pc[s / 2].a1, pc[s / 2].a2};
        for (unsigned k = 0; k < 5; ++k) {
            c[s][k] = Lanes2{v[k], v[k]};
            lanes[k][2 * (s % 2)] = lanes[k][2 * (s % 2) + 1] = v[k];
        }
    }
}

// The prologue: stage s runs frames 0 .. S-2-s, and st receives the loop's
// state before step S - 1. r[s][k + 2] is frame k of stage s's input (stage
// s-1's output), k from -2 (the history) to S - 2.
template <unsigned S>
__attribute__((always_inline)) inline void startPairs(const Lanes2 (*c)[5], StereoFrame<double>* const* h, const StereoFrame<double>* in,
                                                      PairState* st)
{
    Lanes2 r[S + 1][S + 1];
    for (unsigned s = 0; s <= S; ++s) {
        r[s][0] = loadFrame(h[s] + 1);
        r[s][1] = loadFrame(h[s]);
    }
    for (unsigned k = 0; k + 1 < S; ++k)
        r[0][k + 2] = loadFrame(in + k);
    for (unsigned s = 0; s < S; ++s) {
        for (unsigned k = 2; k + s <= S; ++k)
            r[s + 1][k] = biquadStep(c[s], r[s][k], r[s][k - 1], r[s][k - 2], r[s + 1][k - 1], r[s + 1][k - 2]);
    }
    for (unsigned s = 0; s < S; ++s) {
        const unsigned k = S - s; // frame S - 2 - s
        const Lanes2 x1 = r[s][k], x2 = r[s][k - 1], y1 = r[s + 1][k], y2 = r[s + 1][k - 1];
        const Lanes2 acc = (c[s][1] * x1 + c[s][2] * x2) - c[s][4] * y2;
        const unsigned lane = 2 * (s % 2);
        std::memcpy(st[s / 2].y + lane, &y1, sizeof y1);
        std::memcpy(st[s / 2].acc + lane, &acc, sizeof acc);
        std::memcpy(st[s / 2].x + lane, &x1, sizeof x1);
    }
}

// The epilogue: stage s runs frames n-s .. n-1, from e[s][k] = frame
// k + base of stage s's output (base = n - S - 2), which holds the last
// three steps' outputs; then the histories are written back.
template <unsigned S>
__attribute__((always_inline)) inline void finishPairs(const Lanes2 (*c)[5], Lanes2 (*e)[S + 2], const Lanes2* lastIn,
                                                       StereoFrame<double>* const* h, StereoFrame<double>* out, double gain)
{
    const Lanes2 g = Lanes2{gain, gain};
    for (unsigned s = 1; s < S; ++s) {
        for (unsigned k = S + 2 - s; k < S + 2; ++k)
            e[s][k] = biquadStep(c[s], e[s - 1][k], e[s - 1][k - 1], e[s - 1][k - 2], e[s][k - 1], e[s][k - 2]);
    }
    for (unsigned k = 3; k < S + 2; ++k)
        storeFrame(out + k, e[S - 1][k] * g);
    storeFrame(h[0], lastIn[0]);
    storeFrame(h[0] + 1, lastIn[1]);
    for (unsigned s = 0; s < S; ++s) {
        storeFrame(h[s + 1], e[s][S + 1]);
        storeFrame(h[s + 1] + 1, e[s][S]);
    }
}

// S stages over n > S frames.
template <unsigned S>
__attribute__((target("avx2,fma"))) void pairedCascade(const double* b, const double* a, StereoFrame<double>* const* h,
                                                       const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n,
                                                       double gain)
{
    static_assert(S >= 2, "a pair at least");
    constexpr unsigned P = (S + 1) / 2;
    Lanes2 c[S][5];
    PairCoefficients pc[P] = {};
    splitCoefficients<S>(b, a, c, pc);
    PairState st[P] = {};
    startPairs<S>(c, h, in, st);
    // Read before the loop overwrites them when out is in.
    const Lanes2 lastIn[2] = {loadFrame(in + n - 1), loadFrame(in + n - 2)};

    const long base = static_cast<long>(n) - S - 2;
    Lanes2 e[S][S + 2];
    pairLoop<S>(pc, st, in, out, S - 1, n - 2, gain);
    for (unsigned int j = n - 3; j < n; ++j) {
        if (j > n - 3)
            pairLoop<S>(pc, st, in, out, j, j + 1, gain);
        for (unsigned s = 0; s < S; ++s)
            std::memcpy(&e[s][static_cast<long>(j) - s - base], st[s / 2].y + 2 * (s % 2), sizeof(Lanes2));
    }
    finishPairs<S>(c, e, lastIn, h, out + base, gain);
}
#else
#define VEXA_FMA_DISPATCH 0
#endif

template <unsigned N>
void loopPlain(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain)
{
    directFormLoop<N>(b, a, xh, yh, in, out, n, gain);
}

template <unsigned N>
void run(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
         StereoFrame<double>* out, unsigned int n, double gain)
{
#if VEXA_FMA_DISPATCH
    if (usesFusedMultiplyAdd()) {
        loopFma<N>(b, a, xh, yh, in, out, n, gain);
        return;
    }
#endif
    loopPlain<N>(b, a, xh, yh, in, out, n, gain);
}

template <unsigned S>
void cascade(const double* b, const double* a, StereoFrame<double>* const* h, const StereoFrame<double>* in,
             StereoFrame<double>* out, unsigned int n, double gain)
{
#if VEXA_FMA_DISPATCH
    if (usesFusedMultiplyAdd()) {
        cascadeFma<S>(b, a, h, in, out, n, gain);
        return;
    }
#endif
    biquadCascadeLoop<S>(b, a, h, in, out, n, gain);
}

using CascadeRun = void (*)(const double*, const double*, StereoFrame<double>* const*, const StereoFrame<double>*,
                            StereoFrame<double>*, unsigned int, double);

template <unsigned... S>
constexpr std::array<CascadeRun, sizeof...(S)> cascadeTable(std::integer_sequence<unsigned, S...>)
{
    return {cascade<S + 1>...};
}

// Groups of at most kPlainCascade stages, as even as possible (six stages
// run as 3 + 3: a group of one is bound by its recurrence), one after the
// other over the block. A group's input history is the one before the block:
// the previous group leaves the same history at the block's end.
void plainCascade(unsigned int stages, const double* b, const double* a, StereoFrame<double>* const* h,
                  const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    static constexpr auto table = cascadeTable(std::make_integer_sequence<unsigned, kPlainCascade>());
    const unsigned int groups = (stages + kPlainCascade - 1) / kPlainCascade;
    StereoFrame<double> entry[2 * kMaxCascade];
    for (unsigned int s = 1; s < stages; ++s) {
        entry[2 * s] = h[s][0];
        entry[2 * s + 1] = h[s][1];
    }
    for (unsigned int first = 0, group = 0; first < stages; ++group) {
        const unsigned int size = (stages - first + groups - group - 1) / (groups - group);
        StereoFrame<double>* gh[kPlainCascade + 1];
        gh[0] = first == 0 ? h[0] : &entry[2 * first];
        for (unsigned int s = 1; s <= size; ++s)
            gh[s] = h[first + s];
        const bool last = first + size == stages;
        table[size - 1](b + 3 * first, a + 3 * first, gh, first == 0 ? in : out, out, n, last ? gain : 1.0);
        first += size;
    }
}

#if VEXA_FMA_DISPATCH
template <unsigned... S>
constexpr std::array<CascadeRun, sizeof...(S)> pairedTable(std::integer_sequence<unsigned, S...>)
{
    return {pairedCascade<S + 2>...};
}

bool usesPairedStages()
{
    static const bool avx2 = detectAvx2();
    return avx2;
}
#endif

} // namespace

void runBiquadCascade(unsigned int stages, const double* b, const double* a, StereoFrame<double>* const* h,
                      const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    if (stages < 1 || stages > kMaxCascade || n == 0)
        return;
#if VEXA_FMA_DISPATCH
    // The pairs need a block longer than the cascade's skew.
    static constexpr auto paired = pairedTable(std::make_integer_sequence<unsigned, kMaxCascade - 1>());
    if (stages >= 2 && n > stages && usesPairedStages()) {
        paired[stages - 2](b, a, h, in, out, n, gain);
        return;
    }
#endif
    plainCascade(stages, b, a, h, in, out, n, gain);
}

bool usesFusedMultiplyAdd()
{
#if VEXA_FMA_DISPATCH
    static const bool fma = detectFma();
    return fma;
#else
    return false;
#endif
}

void runOrder1(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain)
{
    run<2>(b, a, xh, yh, in, out, n, gain);
}

void runBiquad(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain)
{
    run<3>(b, a, xh, yh, in, out, n, gain);
}

void runOrder6(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain)
{
    run<7>(b, a, xh, yh, in, out, n, gain);
}

} // namespace vexa::detail
