// Equiripple linear-phase FIR design by the Parks-McClellan algorithm (the
// Remez exchange on a dense frequency grid), shared by the FIR equalizer and
// the FFT filter. Internal to the library.
//
// Frequencies are fractions of the sample rate, 0.5 being the Nyquist
// frequency. Each band has a desired gain and a weight; the design minimises
// the largest weighted error max W(f) |D(f) - A(f)| over all bands, where
// A(f) is the real amplitude of the filter.
#ifndef VEXA_FILTERS_DETAIL_REMEZ_H
#define VEXA_FILTERS_DETAIL_REMEZ_H

#include "SoundTools.h"

#include <vector>

namespace vexa::detail {

using SoundTools::FilterType;

enum class RemezResult {
    Converged,      // the extremal set stopped changing
    IterationLimit, // stopped after the iteration limit; the taps are the last ones
    Stalled,        // fewer alternating extrema than needed: the taps are the last ones
    BadBands        // nothing designed (invalid bands or too few grid points)
};

// Designs `tapCount` taps into `taps`. `edges` holds two values per band
// (lower, upper), in increasing order, bands not overlapping; `desired` and
// `weights` one value per band (weights positive). type 1 gives an ordinary
// multiband filter with even symmetry (h[n] = h[N-1-n]); any other value
// gives odd symmetry (h[n] = -h[N-1-n]). The grid has density 16 (each band
// gets floor(32 r width + 0.5) points, r the number of cosine terms) and the
// exchange stops after at most 40 iterations; reaching that limit is
// reported on the standard error stream. On BadBands the taps are zeroed.
RemezResult remezDesign(double* taps, int tapCount, int bandCount, const double* edges, const double* desired,
                        const double* weights, int type);

// A band layout as the equalizers build it from their frequencies.
struct BandLayout {
    std::vector<double> edges; // two per band
    std::vector<double> desired;
    std::vector<double> weights;

    void add(double lower, double upper, double gain, double weight)
    {
        edges.push_back(lower);
        edges.push_back(upper);
        desired.push_back(gain);
        weights.push_back(weight);
    }
    int bandCount() const { return static_cast<int>(desired.size()); }
};

// The bands of a low, high, band pass or band stop design with edges f1 and
// f2 (normalised frequencies), a transition of the given width on the stop
// side of each edge, and stop bands weighted by stopWeight (pass bands 1).
// False for any other filter type.
bool bandsForFilter(FilterType type, double f1, double f2, double transition, double stopWeight, BandLayout& layout);

// Brings the band edges into [0, 0.5] and drops the bands left without
// width (a stop band pushed beyond the Nyquist frequency, a middle band whose
// edges crossed). False when no band remains, a value is not finite, or two
// remaining bands overlap.
bool tidyBands(BandLayout& layout);

} // namespace vexa::detail

#endif
