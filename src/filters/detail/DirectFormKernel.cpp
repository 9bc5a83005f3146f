#include "detail/DirectFormKernel.h"

#include <array>
#include <utility>

namespace SoundTools {
namespace detail {

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

} // namespace

void runBiquadCascade(unsigned int stages, const double* b, const double* a, StereoFrame<double>* const* h,
                      const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    static constexpr auto table = cascadeTable(std::make_integer_sequence<unsigned, kMaxCascade>());
    if (stages >= 1 && stages <= kMaxCascade)
        table[stages - 1](b, a, h, in, out, n, gain);
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

} // namespace detail
} // namespace SoundTools
