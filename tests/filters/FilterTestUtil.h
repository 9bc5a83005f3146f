// Helpers shared by the filter tests: frequency response evaluated from the
// coefficients, and a plain direct form I reference.
#ifndef VEXA_TESTS_FILTERTESTUTIL_H
#define VEXA_TESTS_FILTERTESTUTIL_H

#include "SoundFilter.h"
#include "SoundTools.h"

#include <cmath>
#include <complex>
#include <vector>

namespace filtertest {

using Frames = std::vector<SoundTools::StereoFrame<double>>;

constexpr double kPi = 3.14159265358979323846;

// H(e^jw) = sum b[k] z^-k / sum a[k] z^-k at frequency f for sample rate fs.
inline std::complex<double> response(const std::vector<double>& b, const std::vector<double>& a, double f, double fs)
{
    const double w = 2.0 * kPi * f / fs;
    std::complex<double> num = 0.0, den = 0.0;
    for (size_t k = 0; k < b.size(); ++k)
        num += b[k] * std::polar(1.0, -w * static_cast<double>(k));
    for (size_t k = 0; k < a.size(); ++k)
        den += a[k] * std::polar(1.0, -w * static_cast<double>(k));
    return num / den;
}

inline std::vector<double> toVector(const std::valarray<double>& v)
{
    return std::vector<double>(std::begin(v), std::end(v));
}

// Gain in dB of a kernel's recurrence (its output gain not included).
inline double gainDb(const SoundTools::Filter& f, double freq, double fs)
{
    return 20.0 * std::log10(std::abs(response(toVector(f.getB()), toVector(f.getA()), freq, fs)));
}

// y[i] = (sum b[k] x[i-k] - sum_{k>=1} a[k] y[i-k]) / a[0], per channel, times gain.
inline Frames referenceFilter(const std::vector<double>& b, const std::vector<double>& a, const Frames& in, double gain = 1.0)
{
    const size_t n = std::max(b.size(), a.size());
    std::vector<double> bb(b), aa(a);
    bb.resize(n, 0.0);
    aa.resize(n, 0.0);
    std::vector<double> yl(in.size()), yr(in.size());
    Frames out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        double sl = 0.0, sr = 0.0;
        for (size_t k = 0; k < n && k <= i; ++k) {
            sl += bb[k] * in[i - k].left;
            sr += bb[k] * in[i - k].right;
            if (k > 0) {
                sl -= aa[k] * yl[i - k];
                sr -= aa[k] * yr[i - k];
            }
        }
        yl[i] = sl / aa[0];
        yr[i] = sr / aa[0];
        out[i] = SoundTools::StereoFrame<double>{yl[i] * gain, yr[i] * gain};
    }
    return out;
}

inline double peakOf(const Frames& f)
{
    double m = 0.0;
    for (const auto& s : f)
        m = std::max(m, std::max(std::fabs(s.left), std::fabs(s.right)));
    return m;
}

// Largest difference between two signals, relative to the peak of the first.
inline double relativeError(const Frames& expected, const Frames& got)
{
    double d = 0.0;
    for (size_t i = 0; i < expected.size(); ++i)
        d = std::max(d, std::max(std::fabs(expected[i].left - got[i].left), std::fabs(expected[i].right - got[i].right)));
    const double p = peakOf(expected);
    return p > 0.0 ? d / p : d;
}

} // namespace filtertest

#endif
