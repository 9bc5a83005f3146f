// The FFT engine's AVX2/FMA kernels (x86 only), called by FFTARadix2 when
// the processor has those instructions. Layout and arguments as for the
// engine's 128-bit kernels of the same names without "Avx".
#ifndef VEXA_DETAIL_FFTAKERNELSAVX_H
#define VEXA_DETAIL_FFTAKERNELSAVX_H

#include <cstdint>

// Declared with the instruction sets they are compiled for, as the
// compiler requires of every declaration.
#define VEXA_AVX2_DECL __attribute__((target("avx2,fma")))

namespace vexa::detail {

// One radix-4 stage over count values (see FFTARadix2.cpp's stageSse).
template <bool kSwapScale, bool kCompact>
VEXA_AVX2_DECL void stageAvx(double* w, int count, int m, const double* tw, double scale);
// The first radix-4 or radix-8 pass, reading in bit-reversed order.
VEXA_AVX2_DECL void firstPass4AvxGather(const double* src, double* dst, const uint32_t* rev, int n);
VEXA_AVX2_DECL void firstPass8Avx(const double* src, double* dst, const uint32_t* rev, int n);
// The stereo split and merge; they return the first index left to the caller.
VEXA_AVX2_DECL int separateAvx(const double* z, double* x, double* y, int n);
VEXA_AVX2_DECL int combineAvx(const double* x, const double* y, double* z, int n);

} // namespace vexa::detail

#undef VEXA_AVX2_DECL

#endif
