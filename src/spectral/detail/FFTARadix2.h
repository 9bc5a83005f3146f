// Iterative radix-2 decimation-in-time FFT on complex doubles, with the
// tables computed once per size. Two real stereo channels go through one
// complex transform (left as real part, right as imaginary part) and are
// separated by the conjugate symmetry of real signals.
//
// Speed comes from the memory layout rather than from another algorithm:
// the bit-reversal permutation is a gather fused with the first three stages
// (whose twiddles are constants), every later stage reads its own twiddles
// from a contiguous table so that the inner loop walks its arrays in step,
// and later stages go two at a time over the buffer.
#ifndef VEXA_DETAIL_FFTARADIX2_H
#define VEXA_DETAIL_FFTARADIX2_H

#include "FFTA.h"

#include <cstdint>
#include <vector>

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
    // The transform of N complex values (natural order) into the work buffer.
    void transform(const double* src);
    static void laterStagesAvx(double* w, int n, int firstHalf, const double* twiddles);

    std::vector<double> mCos;          // cos(2 pi k / N), k < N/2
    std::vector<double> mSin;          // sin(2 pi k / N), k < N/2
    int mBitCount = 0;
    std::vector<uint32_t> mBitReverse; // N entries
    // Twiddles of the stages from size 8 on, stage after stage: for a stage
    // of half size h, h pairs (cos, sin) of 2 pi j / (2h).
    std::vector<double> mStageTwiddles;
    double* mWork = nullptr;    // N complex values: the transform, in place
    double* mScratch = nullptr; // N complex values: inputs built before a transform
    bool mUseAvx = false;
    int mCapacity = 0;
};

#endif
