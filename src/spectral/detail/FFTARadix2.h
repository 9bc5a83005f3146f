// Power-of-two FFT on complex doubles, with the tables computed once per
// size. Two real stereo channels go through one complex transform (left as
// real part, right as imaginary part) and are separated by the conjugate
// symmetry of real signals; a single real channel goes through a complex
// transform of half the size, its even and odd samples packed as one
// complex value.
//
// The complex transform is decimation in time, radix 4. Its first pass is a
// radix-4 or radix-8 DFT (radix 8 when log2 N is odd, so that every later
// stage is radix 4) that gathers its inputs in bit-reversed order: there is
// no separate permutation pass. Each radix-4 stage reads its three twiddles
// from its own contiguous table, in the layout of the vectors the butterflies
// multiply by. Large transforms are done block by block up to a cache-sized
// span before the stages that span the whole buffer. The inverse transform
// runs the forward one on swapped real and imaginary parts; its last stage
// swaps them back and scales as it stores.
#ifndef VEXA_DETAIL_FFTARADIX2_H
#define VEXA_DETAIL_FFTARADIX2_H

#include "FFTA.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexa::detail {

class FFTARadix2 : public FFTA {
public:
    FFTARadix2();
    explicit FFTARadix2(int n);
    ~FFTARadix2() override;
    FFTARadix2(const FFTARadix2&) = delete;
    FFTARadix2& operator=(const FFTARadix2&) = delete;

    void setSize(int n) override;
    void stereoForward(const double* frames, double* spectra) override;
    void stereoInverse(const double* spectra, double* frames) override;
    void realForward(const double* samples, double* spectrum) override;

    // Uses AVX2/FMA butterflies when the processor has them (the default);
    // false selects the SSE2 ones, which every x86-64 processor has.
    void setWideVectors(bool on);
    bool usesWideVectors() const { return mUseAvx; }

    int getBitCount() const { return mBitCount; }
    const double* getWorkBuffer() const { return mWork; }
    const std::vector<double>& getCosTable() const { return mCos; }

private:
    // What a complex transform of one size needs besides the shared stage
    // twiddles: the radix of its first pass and the bit reversal of the
    // indices of the first-pass groups.
    struct Plan {
        int n = 0;
        int radix = 0;
        std::vector<uint32_t> groupReverse; // n / radix entries
    };
    static void makePlan(Plan& plan, int n);
    // The complex transform of plan.n values, src (natural order) to dst,
    // dst distinct from src. With swapScale the output is the transform with
    // real and imaginary parts swapped, times 1/n.
    void transform(const Plan& plan, const double* src, double* dst, bool swapScale);
    const double* stageTwiddles(int m) const;

    std::vector<double> mCos; // cos(2 pi k / N), k < N/2
    std::vector<double> mSin; // sin(2 pi k / N), k < N/2
    int mBitCount = 0;
    Plan mFull; // size N: the stereo transforms
    Plan mHalf; // size N/2: the real transform
    // Radix-4 stage twiddles for every quarter span m = 4, 8, ..., N/4, stage
    // after stage. For each pair j, j+1 < m: the twiddles e^(-2 pi i k j / 4m)
    // for k = 2, 1, 3 (k = 1 only from m = 1024 on, the others computed from
    // it) as (c_j, c_j, c_j+1, c_j+1), (s_j, -s_j, s_j+1, -s_j+1).
    std::vector<double> mStageTwiddles;
    std::vector<std::size_t> mStageOffset; // by log2(m)
    double* mWork = nullptr;    // N complex values: forward transform output
    double* mScratch = nullptr; // N complex values: inverse transform input
    bool mUseAvx = false;
    int mCapacity = 0;
};

} // namespace vexa::detail

#endif
