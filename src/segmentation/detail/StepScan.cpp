#include "StepScan.h"

namespace vexa::detail {

// Kept out of line (even under link-time optimisation), so that the loop is
// compiled on its own with the sums of its local copy in registers.
__attribute__((noinline)) int scanSteady(const StepScan::Frame* in, int n, int i, int stop, int noSlide,
                                         double ratio, StepScan& scan, bool& stepped)
{
    StepScan local = scan;
    stepped = false;
    for (; i < stop; ++i) {
        if (i != noSlide)
            local.slide(in[i + n - 1], in[i - 1]);
        const double wL = local.windowLeft();
        const double wR = local.windowRight();
        if (local.isStep(wL, wR, ratio)) {
            stepped = true;
            break;
        }
        local.add(wL, wR);
    }
    scan = local;
    return i;
}

} // namespace vexa::detail
