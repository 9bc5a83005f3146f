// The running sums of the step detector's scan, with its one window slide
// and its one step test, shared by the steady-frame loop and the per-frame
// path.
//
// The scan works on window sums of squares (N times the window's mean
// square) and on region sums of them, so that no frame needs a division:
// the window's mean square is window / N, the region's mean is
// region / (N count), and the step test compares both sides multiplied by
// N count.
#ifndef VEXA_DETAIL_STEPSCAN_H
#define VEXA_DETAIL_STEPSCAN_H

#include "SoundTools.h"

namespace vexa::detail {

struct StepScan {
    using Frame = SoundTools::StereoFrame<double>;

    double windowL = 0.0; // sum of squares over the window, left channel
    double windowR = 0.0;
    double regionL = 0.0; // sum of the window sums of the region being built
    double regionR = 0.0;
    // Windows measured in the region being built. A double, so that the
    // step test needs no conversion; counts convert exactly (far below 2^53).
    double count = 0.0;

    // Sums the window of the n frames from `first` afresh.
    void sumWindow(const Frame* first, int n)
    {
        windowL = 0.0;
        windowR = 0.0;
        for (int k = 0; k < n; ++k) {
            windowL += first[k].left * first[k].left;
            windowR += first[k].right * first[k].right;
        }
    }

    // Moves the window on by one frame: `enter` enters it, `leave` leaves it.
    void slide(const Frame& enter, const Frame& leave)
    {
        windowL += enter.left * enter.left - leave.left * leave.left;
        windowR += enter.right * enter.right - leave.right * leave.right;
    }

    // The window sums; the running sums drift by rounding, so they are kept
    // non-negative.
    double windowLeft() const { return windowL > 0.0 ? windowL : 0.0; }
    double windowRight() const { return windowR > 0.0 ? windowR : 0.0; }

    // True when the window (wL, wR: its sums, as windowLeft/windowRight give
    // them) steps more than `ratio` away from the region's mean, louder
    // channel against louder channel, either way. Written without branches:
    // the larger side beyond ratio times the smaller.
    bool isStep(double wL, double wR, double ratio) const
    {
        const double top = regionL > regionR ? regionL : regionR;
        const double c = (wL > wR ? wL : wR) * count;
        const double hi = c > top ? c : top;
        const double lo = c > top ? top : c;
        return hi > lo * ratio;
    }

    // Adds the window to the region being built.
    void add(double wL, double wR)
    {
        regionL += wL;
        regionR += wR;
        count += 1.0;
    }

    // Begins a new region with the window.
    void restart(double wL, double wR)
    {
        regionL = wL;
        regionR = wR;
        count = 1.0;
    }
};

// Scans frames i .. stop - 1 of a block of n-frame windows that need
// neither a slope feed, an output nor the leading-silence test: slides the
// window (except at frame noSlide, whose window is already summed), stops at
// the first step, otherwise adds the window to the region. Returns the frame
// where it stopped; `stepped` tells whether that was a step (its window is
// then slid already). Works on a copy of `scan` written back at the end, so
// that the sums stay in registers through the loop.
int scanSteady(const StepScan::Frame* in, int n, int i, int stop, int noSlide, double ratio, StepScan& scan,
               bool& stepped);

} // namespace vexa::detail

#endif
