#include "detail/Remez.h"
#include "detail/Units.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

// The Parks-McClellan design (J. H. McClellan, T. W. Parks, L. R. Rabiner,
// "A computer program for designing optimum FIR linear phase digital
// filters", 1973), written from the algorithm:
//
// The amplitude of a linear-phase filter of N taps is A(f) = Q(f) P(f),
// where P(f) = sum_k p_k cos(2 pi k f) has r terms and Q(f) depends on the
// symmetry and the parity of N (1, cos(pi f), sin(2 pi f) or sin(pi f)).
// Minimising max W |D - A| is then the minimax approximation of D/Q by P with
// the weight W Q. By the alternation theorem the optimum's weighted error
// reaches its maximum with alternating signs on r + 1 frequencies. Starting
// from r + 1 frequencies of a dense grid, each iteration finds the P that
// makes the error exactly +-delta, alternating, on the current set (solved
// by barycentric Lagrange interpolation in x = cos(2 pi f)), evaluates the
// error on the grid and takes its r + 1 largest alternating extrema as the
// next set. When the set stops changing the error is equiripple. The taps
// are recovered from A sampled at N equally spaced frequencies by an inverse
// DFT.

namespace vexa::detail {

namespace {

using vexa::detail::kPi;
using vexa::detail::kTwoPi;
constexpr int kGridDensity = 16;
constexpr int kMaxIterations = 40;

// Q(f): what the amplitude has besides the cosine polynomial.
double shapeFactor(bool evenSymmetry, bool oddLength, double f)
{
    if (evenSymmetry)
        return oddLength ? 1.0 : std::cos(kPi * f);
    return oddLength ? std::sin(kTwoPi * f) : std::sin(kPi * f);
}

// Barycentric Lagrange interpolation through the points (x_j, y_j).
class Interpolant {
public:
    // Weights w_j = 1 / prod_{k != j} (x_j - x_k), up to a common factor.
    // The products of hundreds of small differences leave the range of a
    // double, so each is kept as a mantissa and a binary exponent.
    void setNodes(const std::vector<double>& x)
    {
        mX = x;
        const size_t n = x.size();
        std::vector<double> mant(n);
        std::vector<long> expo(n);
        for (size_t j = 0; j < n; ++j) {
            double m = 1.0;
            long e = 0;
            int pending = 0;
            for (size_t k = 0; k < n; ++k) {
                if (k == j)
                    continue;
                m *= x[j] - x[k];
                if (++pending == 16) {
                    int ex = 0;
                    m = std::frexp(m, &ex);
                    e += ex;
                    pending = 0;
                }
            }
            int ex = 0;
            m = std::frexp(m, &ex);
            mant[j] = m;
            expo[j] = e + ex;
        }
        const long emin = n ? *std::min_element(expo.begin(), expo.end()) : 0;
        mW.resize(n);
        for (size_t j = 0; j < n; ++j) {
            const long shift = std::max(emin - expo[j], -2000L);
            mW[j] = std::ldexp(1.0 / mant[j], static_cast<int>(shift));
        }
    }

    const std::vector<double>& weights() const { return mW; }
    std::vector<double>& values() { return mY; }

    // The same at a point known not to be a node, with four independent
    // partial sums (the loop is bound by its divisions).
    double offNode(double x) const
    {
        typedef double Lanes __attribute__((vector_size(32)));
        const size_t n = mX.size();
        Lanes num = {0, 0, 0, 0};
        Lanes den = {0, 0, 0, 0};
        size_t j = 0;
        for (; j + 4 <= n; j += 4) {
            const Lanes xj = {mX[j], mX[j + 1], mX[j + 2], mX[j + 3]};
            const Lanes wj = {mW[j], mW[j + 1], mW[j + 2], mW[j + 3]};
            const Lanes yj = {mY[j], mY[j + 1], mY[j + 2], mY[j + 3]};
            const Lanes t = wj / (x - xj);
            num += t * yj;
            den += t;
        }
        double nsum = (num[0] + num[1]) + (num[2] + num[3]);
        double dsum = (den[0] + den[1]) + (den[2] + den[3]);
        for (; j < n; ++j) {
            const double t = mW[j] / (x - mX[j]);
            nsum += t * mY[j];
            dsum += t;
        }
        return nsum / dsum;
    }

    double operator()(double x) const
    {
        double num = 0.0;
        double den = 0.0;
        for (size_t j = 0; j < mX.size(); ++j) {
            const double d = x - mX[j];
            if (d == 0.0)
                return mY[j];
            const double t = mW[j] / d;
            num += t * mY[j];
            den += t;
        }
        return num / den;
    }

private:
    std::vector<double> mX;
    std::vector<double> mW;
    std::vector<double> mY;
};

bool finite(double v)
{
    return std::isfinite(v);
}

// What the design approximates: the symmetry, the parity of the length and
// the number r of cosine terms of P.
struct Shape {
    bool evenSymmetry;
    bool oddLength;
    int r;
};

// The dense grid: for every point its frequency, D/Q, W Q and cos(2 pi f);
// bandStart[b] is the first point of band b (one past the end at the back).
struct Grid {
    std::vector<double> f, d, w, x;
    std::vector<size_t> bandStart;
    size_t size() const { return f.size(); }
};

bool bandsAreValid(int bandCount, const double* edges, const double* desired, const double* weights)
{
    for (int b = 0; b < bandCount; ++b) {
        const double lo = edges[2 * b];
        const double hi = edges[2 * b + 1];
        if (!finite(lo) || !finite(hi) || !finite(desired[b]) || !finite(weights[b]) || weights[b] <= 0.0)
            return false;
        if (lo < 0.0 || hi > 0.5 || hi < lo || (b > 0 && lo <= edges[2 * b - 1]))
            return false;
    }
    return true;
}

// The dense grid. Where Q vanishes (f = 0.5 for an even length with even
// symmetry or an odd length with odd symmetry, f = 0 with odd symmetry) the
// amplitude is zero whatever P is: those points are left out.
Grid denseGrid(const Shape& shape, int bandCount, const double* edges, const double* desired, const double* weights)
{
    const double delf = 0.5 / (kGridDensity * shape.r);
    const bool zeroAtNyquist = shape.evenSymmetry != shape.oddLength;
    Grid g;
    for (int b = 0; b < bandCount; ++b) {
        const double lo = edges[2 * b];
        const double hi = edges[2 * b + 1];
        int count = static_cast<int>(std::floor(2.0 * kGridDensity * shape.r * (hi - lo) + 0.5));
        count = hi > lo ? std::max(count, 2) : 1;
        g.bandStart.push_back(g.size());
        for (int i = 0; i < count; ++i) {
            const double f = count == 1 ? lo : lo + (hi - lo) * i / (count - 1);
            if (!shape.evenSymmetry && f < delf)
                continue;
            if (zeroAtNyquist && f > 0.5 - delf)
                continue;
            const double q = shapeFactor(shape.evenSymmetry, shape.oddLength, f);
            g.f.push_back(f);
            g.d.push_back(desired[b] / q);
            g.w.push_back(weights[b] * q);
            g.x.push_back(std::cos(kTwoPi * f));
        }
    }
    g.bandStart.push_back(g.size());
    return g;
}

// The P that makes the weighted error +-delta, alternating, on the extremal
// set; returns delta.
double solveOnSet(const Grid& g, const std::vector<size_t>& ext, Interpolant& p)
{
    const size_t nExt = ext.size();
    std::vector<double> xs(nExt);
    for (size_t j = 0; j < nExt; ++j)
        xs[j] = g.x[ext[j]];
    p.setNodes(xs);
    const std::vector<double>& w = p.weights();
    double num = 0.0;
    double den = 0.0;
    for (size_t j = 0; j < nExt; ++j) {
        const double sign = j % 2 == 0 ? 1.0 : -1.0;
        num += w[j] * g.d[ext[j]];
        den += w[j] * sign / g.w[ext[j]];
    }
    const double delta = num / den;
    std::vector<double>& ys = p.values();
    ys.resize(nExt);
    for (size_t j = 0; j < nExt; ++j) {
        const double sign = j % 2 == 0 ? 1.0 : -1.0;
        ys[j] = g.d[ext[j]] - sign * delta / g.w[ext[j]];
    }
    return delta;
}

// The weighted error on the grid. On the set it is +-delta by construction
// (rounding of D - (D - delta / W) must not make those points look smaller);
// elsewhere it is evaluated.
void weightedError(const Grid& g, const std::vector<size_t>& ext, double delta, const Interpolant& p,
                   std::vector<double>& err)
{
    std::vector<bool> onSet(g.size(), false);
    err.resize(g.size());
    for (size_t j = 0; j < ext.size(); ++j) {
        onSet[ext[j]] = true;
        err[ext[j]] = j % 2 == 0 ? delta : -delta;
    }
    for (size_t i = 0; i < g.size(); ++i) {
        if (!onSet[i])
            err[i] = g.w[i] * (g.d[i] - p.offNode(g.x[i]));
    }
}

// Local extrema of the error inside each band (band edges included). Only
// extrema at least as large as the current ripple can improve the set; all
// are kept if fewer than nExt are that large.
std::vector<size_t> extremaOfError(const Grid& g, const std::vector<double>& err, double delta, size_t nExt)
{
    std::vector<size_t> candidates;
    for (size_t b = 0; b + 1 < g.bandStart.size(); ++b) {
        const size_t s = g.bandStart[b];
        const size_t e = g.bandStart[b + 1];
        for (size_t i = s; i < e; ++i) {
            const double v = err[i];
            if (v == 0.0)
                continue;
            const bool up = v > 0.0;
            const bool left = i == s || (up ? v >= err[i - 1] : v <= err[i - 1]);
            const bool right = i + 1 == e || (up ? v > err[i + 1] : v < err[i + 1]);
            if (left && right)
                candidates.push_back(i);
        }
    }
    const double level = std::fabs(delta) * (1.0 - 1e-9);
    size_t large = 0;
    for (size_t c : candidates)
        large += std::fabs(err[c]) >= level ? 1 : 0;
    if (large >= nExt) {
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](size_t c) { return std::fabs(err[c]) < level; }),
                         candidates.end());
    }
    return candidates;
}

// Alternation: of neighbours with the same sign the larger is kept; then the
// smallest are dropped, keeping the signs alternating, until nExt are left.
// Fewer than nExt means the design stalled (the caller checks the size).
std::vector<size_t> alternatingSet(const std::vector<size_t>& candidates, const std::vector<double>& err, size_t nExt)
{
    std::vector<size_t> alternating;
    for (size_t c : candidates) {
        if (!alternating.empty() && (err[c] > 0.0) == (err[alternating.back()] > 0.0)) {
            if (std::fabs(err[c]) > std::fabs(err[alternating.back()]))
                alternating.back() = c;
        } else {
            alternating.push_back(c);
        }
    }
    const auto magnitude = [&](size_t k) { return std::fabs(err[alternating[k]]); };
    while (alternating.size() > nExt) {
        if (alternating.size() - nExt == 1) {
            if (magnitude(0) < magnitude(alternating.size() - 1))
                alternating.erase(alternating.begin());
            else
                alternating.pop_back();
            continue;
        }
        size_t k = 0;
        for (size_t m = 1; m < alternating.size(); ++m) {
            if (magnitude(m) < magnitude(k))
                k = m;
        }
        if (k == 0 || k + 1 == alternating.size()) {
            alternating.erase(alternating.begin() + static_cast<std::ptrdiff_t>(k));
            continue;
        }
        // Its two neighbours now have the same sign: the smaller goes too.
        const size_t other = magnitude(k - 1) < magnitude(k + 1) ? k - 1 : k + 1;
        alternating.erase(alternating.begin() + static_cast<std::ptrdiff_t>(std::max(k, other)));
        alternating.erase(alternating.begin() + static_cast<std::ptrdiff_t>(std::min(k, other)));
    }
    return alternating;
}

// The taps: the amplitude at f = m / N, then the inverse DFT of the
// linear-phase response (the amplitude's symmetry about f = 1/2 folds the
// sum onto 0 <= f <= 1/2).
void tapsFromAmplitude(const Shape& shape, const Interpolant& p, double* taps, int n)
{
    const int half = n / 2;
    std::vector<double> amp(static_cast<size_t>(half) + 1);
    for (int m = 0; m <= half; ++m) {
        const double f = static_cast<double>(m) / n;
        amp[static_cast<size_t>(m)] = shapeFactor(shape.evenSymmetry, shape.oddLength, f) * p(std::cos(kTwoPi * f));
    }
    const double centre = (n - 1) / 2.0;
    const int pairs = (n - 1) / 2;
    for (int k = 0; k < n; ++k) {
        const double t = k - centre;
        double sum = 0.0;
        if (shape.evenSymmetry) {
            sum = amp[0];
            for (int m = 1; m <= pairs; ++m)
                sum += 2.0 * amp[static_cast<size_t>(m)] * std::cos(kTwoPi * m * t / n);
            if (n % 2 == 0)
                sum += amp[static_cast<size_t>(half)] * std::cos(kPi * t);
        } else {
            for (int m = 1; m <= pairs; ++m)
                sum -= 2.0 * amp[static_cast<size_t>(m)] * std::sin(kTwoPi * m * t / n);
            if (n % 2 == 0)
                sum -= amp[static_cast<size_t>(half)] * std::sin(kPi * t);
        }
        taps[k] = sum / n;
    }
    // The symmetry holds analytically; make it hold to the last bit.
    const double sign = shape.evenSymmetry ? 1.0 : -1.0;
    for (int k = 0; k < half; ++k) {
        const double v = 0.5 * (taps[k] + sign * taps[n - 1 - k]);
        taps[k] = v;
        taps[n - 1 - k] = sign * v;
    }
    if (!shape.evenSymmetry && n % 2 == 1)
        taps[half] = 0.0;
}

} // namespace

RemezResult remezDesign(double* taps, int tapCount, int bandCount, const double* edges, const double* desired,
                        const double* weights, int type)
{
    if (!taps || tapCount < 1)
        return RemezResult::BadBands;
    std::fill(taps, taps + tapCount, 0.0);
    if (bandCount < 1 || !edges || !desired || !weights || !bandsAreValid(bandCount, edges, desired, weights))
        return RemezResult::BadBands;

    Shape shape{type == 1, tapCount % 2 == 1, 0};
    if (shape.evenSymmetry)
        shape.r = shape.oddLength ? (tapCount + 1) / 2 : tapCount / 2;
    else
        shape.r = shape.oddLength ? (tapCount - 1) / 2 : tapCount / 2;
    if (shape.r < 1)
        return RemezResult::BadBands;
    const Grid grid = denseGrid(shape, bandCount, edges, desired, weights);
    const size_t ngrid = grid.size();
    if (ngrid < static_cast<size_t>(shape.r) + 1)
        return RemezResult::BadBands;

    // The first set spreads evenly over the grid.
    const size_t nExt = static_cast<size_t>(shape.r) + 1;
    std::vector<size_t> ext(nExt);
    for (size_t j = 0; j < nExt; ++j)
        ext[j] = j * (ngrid - 1) / static_cast<size_t>(shape.r);

    Interpolant p;
    std::vector<double> err;
    RemezResult result = RemezResult::IterationLimit;
    for (int iteration = 0;; ++iteration) {
        const double delta = solveOnSet(grid, ext, p);
        if (iteration == kMaxIterations) {
            std::fputs("Reached maximum iteration count.\nResults may be bad.\n", stderr);
            break;
        }
        weightedError(grid, ext, delta, p, err);
        const std::vector<size_t> next = alternatingSet(extremaOfError(grid, err, delta, nExt), err, nExt);
        if (next.size() < nExt) {
            result = RemezResult::Stalled;
            break;
        }
        if (next == ext) {
            result = RemezResult::Converged;
            break;
        }
        ext = next;
    }
    tapsFromAmplitude(shape, p, taps, tapCount);
    return result;
}

bool bandsForFilter(FilterType type, double f1, double f2, double transition, double stopWeight, BandLayout& layout)
{
    switch (type) {
    case SoundTools::LowPass:
        layout.add(0.0, f1, 1.0, 1.0);
        layout.add(f1 + transition, 0.5, 0.0, stopWeight);
        return true;
    case SoundTools::BandPass:
        layout.add(0.0, f1 - transition, 0.0, stopWeight);
        layout.add(f1, f2, 1.0, 1.0);
        layout.add(f2 + transition, 0.5, 0.0, stopWeight);
        return true;
    case SoundTools::BandStop:
        layout.add(0.0, f1, 1.0, 1.0);
        layout.add(f1 + transition, f2 - transition, 0.0, stopWeight);
        layout.add(f2, 0.5, 1.0, 1.0);
        return true;
    case SoundTools::HighPass:
        layout.add(0.0, f1 - transition, 0.0, stopWeight);
        layout.add(f1, 0.5, 1.0, 1.0);
        return true;
    default:
        return false;
    }
}

bool tidyBands(BandLayout& layout)
{
    BandLayout tidy;
    for (int b = 0; b < layout.bandCount(); ++b) {
        double lo = layout.edges[2 * static_cast<size_t>(b)];
        double hi = layout.edges[2 * static_cast<size_t>(b) + 1];
        if (!finite(lo) || !finite(hi) || !finite(layout.desired[b]) || !finite(layout.weights[b]))
            return false;
        lo = std::min(std::max(lo, 0.0), 0.5);
        hi = std::min(std::max(hi, 0.0), 0.5);
        if (hi <= lo)
            continue;
        tidy.add(lo, hi, layout.desired[b], layout.weights[b]);
    }
    if (tidy.bandCount() == 0)
        return false;
    for (int b = 1; b < tidy.bandCount(); ++b) {
        if (tidy.edges[2 * static_cast<size_t>(b)] <= tidy.edges[2 * static_cast<size_t>(b) - 1])
            return false;
    }
    layout = tidy;
    return true;
}

} // namespace vexa::detail
