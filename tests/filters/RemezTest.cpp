// The equiripple design routine: designs measured on a dense grid
// (equiripple level, alternation, symmetry), against taps of an independent
// implementation, and its refusals.
#include "detail/Remez.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using vexa::detail::BandLayout;
using vexa::detail::RemezResult;
using vexa::detail::remezDesign;
using vexa::detail::tidyBands;

namespace {

const double kPassDev = (1.0 - std::pow(10.0, -0.025)) / 2.0;

struct Target {
    int taps;
    std::vector<double> edges, desired, weights;
    int type = 1;
};

std::vector<double> designOf(const Target& s, RemezResult* result = nullptr)
{
    std::vector<double> h(static_cast<size_t>(s.taps));
    const RemezResult r = remezDesign(h.data(), s.taps, static_cast<int>(s.desired.size()), s.edges.data(),
                                      s.desired.data(), s.weights.data(), s.type);
    if (result)
        *result = r;
    return h;
}

// Real amplitude of a linear-phase filter: the response with the linear
// phase of its centre removed (cosine sum for even symmetry, sine sum for
// odd symmetry).
double amplitude(const std::vector<double>& h, double f, bool even)
{
    const double c = (static_cast<double>(h.size()) - 1.0) / 2.0;
    long double a = 0;
    for (size_t n = 0; n < h.size(); ++n) {
        const long double arg = 2.0L * 3.14159265358979323846L * f * (c - static_cast<long double>(n));
        a += h[n] * (even ? std::cos(arg) : std::sin(arg));
    }
    return static_cast<double>(a);
}

struct Measure {
    std::vector<double> bandMax; // largest weighted error per band
    int alternations = 0;        // sign changes between points at the largest error
};

// The weighted error W (D - A) on 40 points per cosine term and band.
Measure measure(const std::vector<double>& h, const Target& s)
{
    Measure m;
    std::vector<double> errors;
    const int r = (s.taps + 1) / 2;
    for (size_t b = 0; b < s.desired.size(); ++b) {
        const double lo = s.edges[2 * b], hi = s.edges[2 * b + 1];
        const int points = std::max(40, static_cast<int>(80 * r * (hi - lo)));
        double worst = 0.0;
        for (int i = 0; i <= points; ++i) {
            const double f = lo + (hi - lo) * i / points;
            const double e = s.weights[b] * (s.desired[b] - amplitude(h, f, s.type == 1));
            errors.push_back(e);
            worst = std::max(worst, std::fabs(e));
        }
        m.bandMax.push_back(worst);
    }
    const double level = *std::max_element(m.bandMax.begin(), m.bandMax.end());
    int lastSign = 0;
    for (double e : errors) {
        if (std::fabs(e) < 0.98 * level)
            continue;
        const int sign = e > 0 ? 1 : -1;
        if (lastSign != 0 && sign != lastSign)
            ++m.alternations;
        lastSign = sign;
    }
    return m;
}

// Cosine terms of the design: r + 1 alternations prove it optimal.
int cosineTerms(int taps)
{
    return taps % 2 ? (taps + 1) / 2 : taps / 2;
}

} // namespace

// Low pass, high pass, band pass, band stop, odd and even lengths, short and
// long: equiripple across bands, at least r + 1 alternating extrema (the
// alternation theorem's proof of optimality), exact symmetry.
TEST(Remez, DesignsAreEquirippleAndOptimal)
{
    const double w40 = kPassDev / 0.01, w60 = kPassDev / 0.001;
    const double a = 1000.0 / 44100;
    const std::vector<Target> targets = {
        {35, {0, a, 3 * a, 0.5}, {1, 0}, {1, w40}},
        {137, {0, a / 2, a, 0.5}, {0, 1}, {w40, 1}},
        {61, {0, 0.1, 0.15, 0.25, 0.3, 0.5}, {0, 1, 0}, {w40, 1, w40}},
        {81, {0, 0.1, 0.13, 0.27, 0.3, 0.5}, {1, 0, 1}, {1, w40, 1}},
        {24, {0, 0.1, 0.2, 0.5}, {1, 0}, {1, 10}},
        {447, {0, a, a + 0.005, 0.5}, {1, 0}, {1, w60}},
    };
    for (const Target& s : targets) {
        SCOPED_TRACE(testing::Message() << s.taps << " taps, " << s.desired.size() << " bands");
        RemezResult result;
        const auto h = designOf(s, &result);
        EXPECT_EQ(result, RemezResult::Converged);
        for (size_t k = 0; k < h.size(); ++k)
            ASSERT_EQ(h[k], h[h.size() - 1 - k]);
        const Measure m = measure(h, s);
        const double level = *std::max_element(m.bandMax.begin(), m.bandMax.end());
        for (double band : m.bandMax)
            EXPECT_GT(band, 0.98 * level);
        EXPECT_GE(m.alternations + 1, cosineTerms(s.taps) + 1);
    }
}

// Taps computed once with SciPy 1.10.1, scipy.signal.remez(numtaps, bands,
// desired, weight=..., fs=1.0) (default grid density 16). The grids differ
// slightly, so the taps agree to about 1e-5 and the ripple to a fraction of
// a percent.
TEST(Remez, AgreesWithAnIndependentImplementation)
{
    struct Golden {
        Target target;
        std::vector<double> taps;
    };
    const std::vector<Golden> golden = {
        {{35, {0, 1000.0 / 44100, 3000.0 / 44100, 0.5}, {1, 0}, {1, kPassDev / 0.01}},
         {-0.012032897959995686, -0.0063175869704287331, -0.0068608840970384348, -0.006458264972999915,
          -0.0047953701352604636, -0.0016420340025092627, 0.0031819706947526843, 0.0096761812230548791,
          0.017761637771849772, 0.027169018401364105, 0.037498960421932105, 0.048271849675818108,
          0.05887088027302332, 0.068663271129648901, 0.077039480898933255, 0.083465680087084312,
          0.087510849448894951, 0.08888963458504355, 0.087510849448894951, 0.083465680087084312,
          0.077039480898933255, 0.068663271129648901, 0.05887088027302332, 0.048271849675818108,
          0.037498960421932105, 0.027169018401364105, 0.017761637771849772, 0.0096761812230548791,
          0.0031819706947526843, -0.0016420340025092627, -0.0047953701352604636, -0.006458264972999915,
          -0.0068608840970384348, -0.0063175869704287331, -0.012032897959995686}},
        {{24, {0, 0.1, 0.2, 0.5}, {1, 0}, {1, 10}},
         {-0.00055138622557572624, 0.0041279019750751229, 0.011242453551957602, 0.015534765234567652,
          0.0076623683110872707, -0.015277390080900084, -0.040810865615790982, -0.042820783653392286,
          0.0022828611110203567, 0.094449026185133872, 0.20146682813989913, 0.27353051165623327,
          0.27353051165623327, 0.20146682813989913, 0.094449026185133872, 0.0022828611110203567,
          -0.042820783653392286, -0.040810865615790982, -0.015277390080900084, 0.0076623683110872707,
          0.015534765234567652, 0.011242453551957602, 0.0041279019750751229, -0.00055138622557572624}},
        {{31, {0, 0.1, 0.15, 0.25, 0.3, 0.5}, {0, 1, 0}, {5, 1, 5}},
         {0.00052987335240398288, -0.0024081838894478695, 0.015104231437499525, 0.026081158611398401,
          -0.013630846124279637, -0.043782749680728705, -0.01374477319616115, 0.022423017866835756,
          -0.0016761082165142828, 0.013496872163635674, 0.091476564917022787, 0.045863790709767843,
          -0.16238704047436758, -0.19746309373161666, 0.084328098304396401, 0.28480693914153937,
          0.084328098304396401, -0.19746309373161666, -0.16238704047436758, 0.045863790709767843,
          0.091476564917022787, 0.013496872163635674, -0.0016761082165142828, 0.022423017866835756,
          -0.01374477319616115, -0.043782749680728705, -0.013630846124279637, 0.026081158611398401,
          0.015104231437499525, -0.0024081838894478695, 0.00052987335240398288}},
    };
    for (const Golden& g : golden) {
        SCOPED_TRACE(g.target.taps);
        const auto h = designOf(g.target);
        ASSERT_EQ(h.size(), g.taps.size());
        for (size_t k = 0; k < h.size(); ++k)
            EXPECT_NEAR(h[k], g.taps[k], 1e-4) << k;
        const Measure ours = measure(h, g.target), theirs = measure(g.taps, g.target);
        const double a = *std::max_element(ours.bandMax.begin(), ours.bandMax.end());
        const double b = *std::max_element(theirs.bandMax.begin(), theirs.bandMax.end());
        EXPECT_NEAR(a / b, 1.0, 0.01);
    }
}

// Odd symmetry (type 2 or any value but 1): antisymmetric taps, zero centre
// tap for an odd length, and the amplitude follows the band within the
// ripple of the design.
TEST(Remez, OddSymmetry)
{
    for (int taps : {31, 32}) {
        SCOPED_TRACE(taps);
        const Target s{taps, {0.05, 0.45}, {1}, {1}, 3};
        RemezResult result;
        const auto h = designOf(s, &result);
        EXPECT_NE(result, RemezResult::BadBands);
        for (size_t k = 0; k < h.size(); ++k)
            ASSERT_EQ(h[k], -h[h.size() - 1 - k]);
        const Measure m = measure(h, s);
        EXPECT_LT(m.bandMax[0], 0.05);
        EXPECT_GT(std::fabs(amplitude(h, 0.25, false)), 0.95);
    }
}

TEST(Remez, RefusesBadBandsAndClearsTheTaps)
{
    std::vector<double> h(21, 7.0);
    const double desired[] = {1, 0}, weights[] = {1, 10}, badWeights[] = {1, 0};
    const double overlapping[] = {0, 0.3, 0.2, 0.5};
    const double beyond[] = {0, 0.2, 0.3, 0.6};
    const double reversed[] = {0, 0.2, 0.4, 0.3};
    const double fine[] = {0, 0.2, 0.3, 0.5};
    EXPECT_EQ(remezDesign(h.data(), 21, 2, overlapping, desired, weights, 1), RemezResult::BadBands);
    EXPECT_TRUE(std::all_of(h.begin(), h.end(), [](double v) { return v == 0.0; }));
    EXPECT_EQ(remezDesign(h.data(), 21, 2, beyond, desired, weights, 1), RemezResult::BadBands);
    EXPECT_EQ(remezDesign(h.data(), 21, 2, reversed, desired, weights, 1), RemezResult::BadBands);
    EXPECT_EQ(remezDesign(h.data(), 21, 2, fine, desired, badWeights, 1), RemezResult::BadBands);
    EXPECT_EQ(remezDesign(h.data(), 21, 0, fine, desired, weights, 1), RemezResult::BadBands);
    EXPECT_EQ(remezDesign(h.data(), 21, 2, fine, desired, weights, 1), RemezResult::Converged);
    // One tap of odd symmetry has no free coefficient.
    EXPECT_EQ(remezDesign(h.data(), 1, 2, fine, desired, weights, 3), RemezResult::BadBands);
}

TEST(Remez, TidyBands)
{
    // A stop band pushed past the Nyquist frequency disappears.
    BandLayout low;
    low.add(0, 0.3, 1, 1);
    low.add(0.6, 0.5, 0, 10);
    ASSERT_TRUE(tidyBands(low));
    EXPECT_EQ(low.bandCount(), 1);
    EXPECT_EQ(low.edges, (std::vector<double>{0, 0.3}));
    // Edges are brought into [0, 0.5].
    BandLayout clamp;
    clamp.add(-0.1, 0.2, 0, 10);
    clamp.add(0.3, 0.7, 1, 1);
    ASSERT_TRUE(tidyBands(clamp));
    EXPECT_EQ(clamp.edges, (std::vector<double>{0, 0.2, 0.3, 0.5}));
    // Overlapping bands, no band at all, or a value that is not a number.
    BandLayout overlap;
    overlap.add(0, 0.3, 1, 1);
    overlap.add(0.2, 0.5, 0, 1);
    EXPECT_FALSE(tidyBands(overlap));
    BandLayout empty;
    empty.add(0.6, 0.7, 1, 1);
    EXPECT_FALSE(tidyBands(empty));
    BandLayout nan;
    nan.add(0, std::nan(""), 1, 1);
    EXPECT_FALSE(tidyBands(nan));
}
