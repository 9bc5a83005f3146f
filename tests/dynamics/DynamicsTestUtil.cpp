#include "DynamicsTestUtil.h"

#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "TestSignals.h"

#include <algorithm>
#include <cmath>

namespace dyntest {

double peakOf(const Frame& f)
{
    return std::max(std::fabs(f.left), std::fabs(f.right));
}

double peakOf(const Frames& frames, size_t from, size_t to)
{
    double peak = 0.0;
    for (size_t i = from; i < std::min(to, frames.size()); ++i)
        peak = std::max(peak, peakOf(frames[i]));
    return peak;
}

Frames sine(unsigned int count, double freq, double amplitude, unsigned int sampleRate, double phase)
{
    Frames f(count);
    const double w = 2.0 * M_PI * freq / sampleRate;
    for (unsigned int i = 0; i < count; ++i)
        f[i] = {amplitude * std::sin(w * i + phase), amplitude * std::sin(w * i + phase + 0.3)};
    return f;
}

Frames constant(unsigned int count, double left, double right)
{
    return Frames(count, Frame{left, right});
}

Frames mix(const Frames& a, const Frames& b)
{
    Frames out(std::max(a.size(), b.size()), Frame{0.0, 0.0});
    for (size_t i = 0; i < a.size(); ++i)
        out[i] = a[i];
    for (size_t i = 0; i < b.size(); ++i) {
        out[i].left += b[i].left;
        out[i].right += b[i].right;
    }
    return out;
}

Frames concat(const std::vector<Frames>& parts)
{
    Frames out;
    for (const Frames& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Frames bursts(unsigned int count, unsigned int burstFrames, unsigned int periodFrames, double freq, double amplitude,
              unsigned int sampleRate)
{
    Frames f(count, Frame{0.0, 0.0});
    const double w = 2.0 * M_PI * freq / sampleRate;
    for (unsigned int i = 0; i < count; ++i) {
        if (i % periodFrames < burstFrames)
            f[i] = {amplitude * std::sin(w * i), -amplitude * std::sin(w * i)};
    }
    return f;
}

Frames clicks(unsigned int count, unsigned int spacing, double amplitude)
{
    Frames f(count, Frame{0.0, 0.0});
    for (unsigned int i = spacing; i < count; i += spacing)
        f[i] = {amplitude, -0.5 * amplitude};
    return f;
}

Frames noise(unsigned int count, uint32_t seed, double amplitude)
{
    return testsignals::noiseFrames(count, seed, amplitude);
}

Frames musicLike(unsigned int count, double peak, unsigned int sampleRate)
{
    Frames f(count);
    const double partials[4] = {220.0, 330.0, 440.0, 1320.0};
    const Frames hiss = testsignals::noiseFrames(count, 7u, 1.0);
    for (unsigned int i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        double l = 0.0;
        double r = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double a = 1.0 / (k + 1);
            l += a * std::sin(2.0 * M_PI * partials[k] * t);
            r += a * std::sin(2.0 * M_PI * partials[k] * t + 0.4 * k);
        }
        const double tremolo = 0.6 + 0.4 * std::sin(2.0 * M_PI * 0.7 * t);
        const double bass = 0.8 * std::sin(2.0 * M_PI * 55.0 * t) * (std::fmod(t, 0.5) < 0.25 ? 1.0 : 0.3);
        l = tremolo * l + bass + 0.05 * hiss[i].left;
        r = tremolo * r + bass + 0.05 * hiss[i].right;
        f[i] = {l, r};
    }
    const double p = peakOf(f);
    for (Frame& x : f) {
        x.left *= peak / p;
        x.right *= peak / p;
    }
    return f;
}

} // namespace dyntest
