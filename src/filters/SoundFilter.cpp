#include "SoundFilter.h"

#include "detail/DirectFormKernel.h"

#include <algorithm>

namespace SoundTools {

namespace {

std::valarray<double> padded(const std::valarray<double>& v, size_t n)
{
    std::valarray<double> r(0.0, n);
    for (size_t k = 0; k < v.size(); ++k)
        r[k] = v[k];
    return r;
}

// Coefficients divided by a0, for the unrolled loops (a[0] becomes 1).
template <unsigned N>
void normalise(const std::valarray<double>& b, const std::valarray<double>& a, double* bn, double* an)
{
    const double inv = 1.0 / a[0];
    for (unsigned k = 0; k < N; ++k) {
        bn[k] = b[k] * inv;
        an[k] = a[k] * inv;
    }
}

} // namespace

Filter::Filter(std::valarray<double> b, std::valarray<double> a)
    : mCoefNb(static_cast<unsigned int>(std::max(b.size(), a.size())))
    , mGain(1.0)
{
    if (mCoefNb == 0) {
        mCoefNb = 1;
        b = std::valarray<double>(0.0, 1);
        a = std::valarray<double>(1.0, 1);
    }
    mB = padded(b, mCoefNb);
    mA = padded(a, mCoefNb);
    mInHistory = std::valarray<StereoFrame<double>>(StereoFrame<double>{0.0, 0.0}, mCoefNb);
    mOutHistory = std::valarray<StereoFrame<double>>(StereoFrame<double>{0.0, 0.0}, mCoefNb);
}

Filter::Filter(const Filter& other)
    : mCoefNb(other.mCoefNb)
    , mB(other.mB)
    , mA(other.mA)
    , mGain(other.mGain)
    , mInHistory(StereoFrame<double>{0.0, 0.0}, other.mCoefNb)
    , mOutHistory(StereoFrame<double>{0.0, 0.0}, other.mCoefNb)
{
}

Filter& Filter::operator=(const Filter& other)
{
    const unsigned int n = other.mCoefNb;
    if (this != &other) {
        // valarray assignment between different sizes is undefined: resize
        // first (resize also zeroes).
        mB.resize(n);
        mA.resize(n);
        mB = other.mB;
        mA = other.mA;
        mCoefNb = n;
        mGain = other.mGain;
    }
    mInHistory.resize(n, StereoFrame<double>{0.0, 0.0});
    mOutHistory.resize(n, StereoFrame<double>{0.0, 0.0});
    return *this;
}

Filter::~Filter() = default;

void Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n)
{
    filterGeneral(in, out, n, mGain);
}

void Filter::setGain(double gain)
{
    mGain = gain;
}

// Direct form I, per channel, in the textbook order: the feed-forward and
// feedback terms are summed from the oldest to the newest while the
// histories shift by one, and the sum is divided by a0 at the end.
void Filter::filterGeneral(const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    if (n == 0)
        return;
    const unsigned int N = mCoefNb;
    const double inv = 1.0 / mA[0];
    const double* b = &mB[0];
    const double* a = &mA[0];
    StereoFrame<double>* xh = &mInHistory[0];
    StereoFrame<double>* yh = &mOutHistory[0];
    for (unsigned int i = 0; i < n; ++i) {
        const StereoFrame<double> x = in[i];
        double accL = b[0] * x.left;
        double accR = b[0] * x.right;
        for (unsigned int k = N - 1; k-- > 0;) {
            accL = accL + b[k + 1] * xh[k].left - a[k + 1] * yh[k].left;
            accR = accR + b[k + 1] * xh[k].right - a[k + 1] * yh[k].right;
            if (k > 0) {
                xh[k] = xh[k - 1];
                yh[k] = yh[k - 1];
            }
        }
        const StereoFrame<double> y{accL * inv, accR * inv};
        xh[0] = x;
        yh[0] = y;
        out[i] = StereoFrame<double>{y.left * gain, y.right * gain};
    }
}

BiquadFilter::BiquadFilter(const double* b, const double* a)
    : Filter(std::valarray<double>(b, 3), std::valarray<double>(a, 3))
{
}

void BiquadFilter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n)
{
    filterWithGain(in, out, n, mGain);
}

void BiquadFilter::filterWithGain(const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    if (n == 0)
        return;
    // A kernel assigned from one of another length keeps working, slower.
    if (mCoefNb != 3) {
        filterGeneral(in, out, n, gain);
        return;
    }
    double b[3], a[3];
    normalise<3>(mB, mA, b, a);
    vexa::detail::runBiquad(b, a, &mInHistory[0], &mOutHistory[0], in, out, n, gain);
}

bool BiquadFilter::filterCascade(BiquadFilter* const* sections, unsigned int count, StereoFrame<double>* in,
                                 StereoFrame<double>* out, unsigned int n)
{
    if (count == 0 || count > kMaxSections)
        return false;
    for (unsigned int s = 0; s < count; ++s) {
        if (sections[s]->mCoefNb != 3 || (s + 1 < count && sections[s]->mGain != 1.0))
            return false;
    }
    // A section rebuilt since the last call starts from its own (zero)
    // history, which its successor's input history no longer matches: two
    // frames section by section make them agree again.
    bool shared = true;
    for (unsigned int s = 1; s < count && shared; ++s) {
        for (unsigned int k = 0; k < 2; ++k) {
            const StereoFrame<double>& x = sections[s]->mInHistory[k];
            const StereoFrame<double>& y = sections[s - 1]->mOutHistory[k];
            shared = shared && x.left == y.left && x.right == y.right;
        }
    }
    if (!shared) {
        const unsigned int m = std::min(n, 2u);
        for (unsigned int s = 0; s < count; ++s)
            sections[s]->filterWithGain(s == 0 ? in : out, out, m, sections[s]->mGain);
        in += m;
        out += m;
        n -= m;
        if (n == 0)
            return true;
    }
    double b[3 * kMaxSections], a[3 * kMaxSections];
    for (unsigned int s = 0; s < count; ++s)
        normalise<3>(sections[s]->mB, sections[s]->mA, b + 3 * s, a + 3 * s);
    // Groups of sections that keep their histories in registers, as even as
    // possible, over chunks that stay in the cache from one group to the next.
    constexpr unsigned int kGroup = vexa::detail::kMaxCascade, kChunk = 2048;
    const unsigned int groups = (count + kGroup - 1) / kGroup;
    for (unsigned int done = 0; done < n; done += kChunk) {
        const unsigned int m = std::min(kChunk, n - done);
        for (unsigned int first = 0, group = 0, g = 0; first < count; first += g, ++group) {
            g = (count - first + groups - group - 1) / (groups - group);
            StereoFrame<double>* h[kGroup + 1];
            h[0] = &sections[first]->mInHistory[0];
            for (unsigned int s = 0; s < g; ++s)
                h[s + 1] = &sections[first + s]->mOutHistory[0];
            const double gain = first + g == count ? sections[count - 1]->mGain : 1.0;
            vexa::detail::runBiquadCascade(g, b + 3 * first, a + 3 * first, h, first == 0 ? in + done : out + done,
                                     out + done, m, gain);
        }
    }
    // Each later section's input is the section before's output.
    for (unsigned int s = 1; s < count; ++s) {
        sections[s]->mInHistory[0] = sections[s - 1]->mOutHistory[0];
        sections[s]->mInHistory[1] = sections[s - 1]->mOutHistory[1];
    }
    return true;
}

Order1Filter::Order1Filter(const double* b, const double* a)
    : Filter(std::valarray<double>(b, 2), std::valarray<double>(a, 2))
{
}

void Order1Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n)
{
    if (n == 0)
        return;
    if (mCoefNb != 2) {
        filterGeneral(in, out, n, mGain);
        return;
    }
    double b[2], a[2];
    normalise<2>(mB, mA, b, a);
    vexa::detail::runOrder1(b, a, &mInHistory[0], &mOutHistory[0], in, out, n, mGain);
}

// Shorter arrays are padded to 7 coefficients, which leaves the recurrence
// unchanged and lets them take the unrolled loop.
Order6Filter::Order6Filter(std::valarray<double> b, std::valarray<double> a)
    : Filter(b.size() < 7 ? padded(b, 7) : b, a.size() < 7 ? padded(a, 7) : a)
{
}

void Order6Filter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n)
{
    if (n == 0)
        return;
    if (mCoefNb != 7) {
        filterGeneral(in, out, n, mGain);
        return;
    }
    double b[7], a[7];
    normalise<7>(mB, mA, b, a);
    vexa::detail::runOrder6(b, a, &mInHistory[0], &mOutHistory[0], in, out, n, mGain);
}

} // namespace SoundTools
