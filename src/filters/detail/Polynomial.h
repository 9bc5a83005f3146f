// Product of polynomials given by their coefficients (convolution).
#ifndef VEXA_FILTERS_DETAIL_POLYNOMIAL_H
#define VEXA_FILTERS_DETAIL_POLYNOMIAL_H

#include <algorithm>
#include <valarray>

namespace vexa::detail {

// r[k] = sum of p[i] q[k - i] over the valid i; P + Q - 1 values (none when
// either is empty).
inline std::valarray<double> convolve(const std::valarray<double>& p, const std::valarray<double>& q)
{
    if (p.size() == 0 || q.size() == 0)
        return std::valarray<double>();
    const size_t P = p.size();
    const size_t Q = q.size();
    std::valarray<double> r(0.0, P + Q - 1);
    for (size_t k = 0; k < P + Q - 1; ++k) {
        const size_t lo = k + 1 > Q ? k + 1 - Q : 0;
        const size_t hi = std::min(k, P - 1);
        double s = 0.0;
        for (size_t i = lo; i <= hi; ++i)
            s += p[i] * q[k - i];
        r[k] = s;
    }
    return r;
}

} // namespace vexa::detail

#endif
