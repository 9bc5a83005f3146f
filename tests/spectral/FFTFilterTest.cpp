// The FFT filter and the FFT equalizer: the designed FIR against its
// design targets, the overlap-add convolution against a direct one, tones.
#include "SpectralTestUtil.h"
#include "TestSignals.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <sstream>

using namespace spectraltest;

namespace {

const double kPassDev = (1.0 - std::pow(10.0, -0.025)) / 2.0;
const double kStopDev = 0.001;

struct Deleter {
    void operator()(SoundAlgoComposite* c) const { c->release(); }
};
using CompositePtr = std::unique_ptr<SoundAlgoComposite, Deleter>;

// The filter node of an equalizer.
const SoundAlgoFFTFilter* filterOf(const SoundAlgoComposite& eq)
{
    return dynamic_cast<const SoundAlgoFFTFilter*>(eq.getBranch(0)[1]);
}

// Runs only the initialisation of an equalizer (a run over one frame) and
// keeps its taps, which endProcess releases.
struct Design {
    SoundTools::Status status;
    std::vector<double> taps;
};

// A filter that keeps the taps and response it was given at the end of the
// run, for inspection.
class KeptFilter : public SoundAlgoFFTFilter {
public:
    using SoundAlgoFFTFilter::SoundAlgoFFTFilter;
    std::vector<double> taps;
    std::vector<double> response;

protected:
    void endProcess(int status, unsigned int frames) override
    {
        taps = getTaps();
        response = getResponse();
        SoundAlgoFFTFilter::endProcess(status, frames);
    }
};

Design design(SoundTools::FilterType type, double f1, double f2, unsigned int n, unsigned int rate = 44100,
              std::vector<double>* response = nullptr, double transitionHz = 0, double attenuationDb = 60)
{
    auto* filter = new KeptFilter(type, f1, f2);
    filter->setDesign(transitionHz, attenuationDb);
    CompositePtr c(new SoundAlgoComposite());
    c->pushAlgo(new SoundAlgoFFTDirectCompute(n, true, false));
    c->pushAlgo(filter);
    c->pushAlgo(new SoundAlgoFFTInverseCompute(false));
    const RunResult r = runNode(*c, testsignals::noiseFrames(16, 1), n, 0, rate);
    if (response)
        *response = filter->response;
    return {r.status, filter->taps};
}

// Largest deviation of |H| from `gain` over [lo, hi], on a dense grid.
double deviation(const std::vector<double>& h, double lo, double hi, double gain)
{
    double worst = 0.0;
    const int points = 400;
    for (int i = 0; i <= points; ++i) {
        const double f = lo + (hi - lo) * i / points;
        worst = std::max(worst, std::fabs(magnitude(h, f) - gain));
    }
    return worst;
}

Frames sine(double freq, unsigned int rate, size_t n, double amplitude = 0.5)
{
    Frames f(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = amplitude * std::sin(2.0 * M_PI * freq * static_cast<double>(i) / rate);
        f[i] = {v, -v};
    }
    return f;
}

double rms(const Frames& f, size_t from, size_t to)
{
    double s = 0.0;
    for (size_t i = from; i < to; ++i)
        s += f[i].left * f[i].left;
    return std::sqrt(s / static_cast<double>(to - from));
}

QtMsgType gLastType;
QString gLastMessage;
void captureMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtDebugMsg)
        return;
    gLastType = type;
    gLastMessage = message;
}

} // namespace

// The designs meet their targets when measured: 447 taps (capped at
// N/2), symmetric, pass band within the ripple and stop band below the
// attenuation, each within the excess the length estimate leaves.
TEST(FFTFilterDesign, MeasuredResponsesMeetTheTargets)
{
    struct Case {
        SoundTools::FilterType type;
        double f1, f2;
        unsigned int n;
        size_t taps;
        // pass bands and stop bands, fractions of the sample rate
        std::vector<std::pair<double, double>> pass, stop;
    };
    const double a = 1000.0 / 44100, b = 5000.0 / 44100;
    const std::vector<Case> cases = {
        {SoundTools::LowPass, 1000, 0, 8192, 447, {{0, a}}, {{a + 0.005, 0.5}}},
        {SoundTools::LowPass, 1000, 0, 1024, 447, {{0, a}}, {{a + 0.005, 0.5}}},
        {SoundTools::HighPass, 1000, 0, 8192, 447, {{a, 0.5}}, {{0, a - 0.005}}},
        {SoundTools::BandPass, 1000, 5000, 8192, 447, {{a, b}}, {{0, a - 0.005}, {b + 0.005, 0.5}}},
        {SoundTools::BandStop, 1000, 5000, 8192, 447, {{0, a}, {b, 0.5}}, {{a + 0.005, b - 0.005}}},
        // Capped at N/2 = 256, even: fine for a low pass...
        {SoundTools::LowPass, 5000, 0, 512, 256, {{0, b}}, {{b + 0.005, 0.5}}},
        // ...but a high pass must keep an odd count to pass the Nyquist frequency.
        {SoundTools::HighPass, 5000, 0, 512, 255, {{b, 0.5}}, {{0, b - 0.005}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " " << c.f1 << "-" << c.f2 << " N " << c.n);
        std::vector<double> response;
        const Design d = design(c.type, c.f1, c.f2, c.n, 44100, &response);
        ASSERT_EQ(d.status, SoundTools::StatusOk);
        ASSERT_EQ(d.taps.size(), c.taps);
        for (size_t k = 0; k < d.taps.size(); ++k)
            ASSERT_EQ(d.taps[k], d.taps[d.taps.size() - 1 - k]);
        // Equiripple: every band reaches the same weighted error, which is
        // the target up to the excess the length estimate leaves (the capped
        // designs have far fewer taps than the estimate asks for).
        std::vector<double> weighted;
        for (const auto& band : c.pass)
            weighted.push_back(deviation(d.taps, band.first, band.second, 1.0) / kPassDev);
        for (const auto& band : c.stop)
            weighted.push_back(deviation(d.taps, band.first, band.second, 0.0) / kStopDev);
        const double level = *std::max_element(weighted.begin(), weighted.end());
        EXPECT_LT(level, c.taps == 447 ? 1.25 : 6.0);
        for (double w : weighted)
            EXPECT_GT(w, 0.97 * level);
        // The response is the DFT of the taps zero-padded to N.
        ASSERT_EQ(response.size(), 2 * (c.n / 2 + 1));
        for (unsigned int k = 0; k <= c.n / 2; k += 37) {
            std::complex<long double> s = 0;
            for (size_t t = 0; t < d.taps.size(); ++t) {
                const long double ang = -2.0L * 3.14159265358979323846L * static_cast<long double>(k * t % c.n) / c.n;
                s += static_cast<long double>(d.taps[t]) * std::complex<long double>(std::cos(ang), std::sin(ang));
            }
            EXPECT_NEAR(response[2 * k], static_cast<double>(s.real()), 1e-12);
            EXPECT_NEAR(response[2 * k + 1], static_cast<double>(s.imag()), 1e-12);
        }
    }
}

// A design asked for (a transition a tenth of the cut-off, at least 50 Hz,
// and 60 dB; 80 dB from 1 kHz) holds at every cut-off up to 0.45 fs, low and high pass,
// with a transform twice the design's length: the pass band within the
// ripple, the stop band below the attenuation from the transition's end.
TEST(FFTFilterDesign, AskedDesignHoldsAtEveryCutOff)
{
    const double fs = 44100;
    for (const double attenuation : {60.0, 80.0}) {
        for (const SoundTools::FilterType type : {SoundTools::LowPass, SoundTools::HighPass}) {
            for (const double f : {100.0, 1000.0, 5000.0, 8000.0, 15000.0, 0.45 * fs}) {
                if (attenuation > 60 && f < 1000)
                    continue;
                const double tw = std::max(f / 10, 50.0);
                SoundAlgoFFTFilter probe(type, f, 0);
                probe.setDesign(tw, attenuation);
                unsigned int n = 8192;
                while (n / 2 < probe.getTapCount(0, 44100))
                    n *= 2;
                const Design d = design(type, f, 0, n, 44100, nullptr, tw, attenuation);
                ASSERT_EQ(d.status, SoundTools::StatusOk) << f;
                const double a = f / fs, t = tw / fs;
                const bool low = type == SoundTools::LowPass;
                const double pass = low ? deviation(d.taps, 0, a, 1.0) : deviation(d.taps, a, 0.5, 1.0);
                const double stop = low ? (a + t < 0.5 ? deviation(d.taps, a + t, 0.5, 0.0) : 0.0)
                                        : deviation(d.taps, 0, a - t, 0.0);
                SCOPED_TRACE(testing::Message() << (low ? "low " : "high ") << f << " Hz, " << attenuation << " dB, "
                                                << d.taps.size() << " taps");
                EXPECT_LT(pass, 2 * kPassDev);
                EXPECT_LT(20 * std::log10(stop + 1e-300), -attenuation);
            }
        }
    }
}

TEST(FFTFilterDesign, OutOfRangeFrequencies)
{
    // A low pass at the Nyquist frequency has no stop band left: it passes
    // everything (delayed by the taps' centre).
    const Design all = design(SoundTools::LowPass, 30000, 0, 1024);
    ASSERT_EQ(all.status, SoundTools::StatusOk);
    EXPECT_LT(deviation(all.taps, 0.0, 0.5, 1.0), 1e-6);
    // A high pass below 0.005 fs is raised to it: its stop band vanishes too.
    const Design low = design(SoundTools::HighPass, 10, 0, 1024);
    ASSERT_EQ(low.status, SoundTools::StatusOk);
    EXPECT_LT(deviation(low.taps, 0.005, 0.5, 1.0), 1e-6);
    // A band pass whose edges cross has overlapping stop bands: refused.
    EXPECT_EQ(design(SoundTools::BandPass, 8000, 1000, 1024).status, SoundTools::StatusError);
}

TEST(FFTFilterDesign, UnsupportedTypeIsReportedAndFails)
{
    QtMessageHandler previous = qInstallMessageHandler(captureMessages);
    gLastMessage.clear();
    const Design d = design(SoundTools::BandEq, 1000, 0, 1024);
    qInstallMessageHandler(previous);
    EXPECT_EQ(d.status, SoundTools::StatusError);
    EXPECT_EQ(gLastType, QtCriticalMsg);
    EXPECT_EQ(gLastMessage, QStringLiteral("Unsupported FFT Eq mode :5"));
}

TEST(FFTFilterDesign, DebugLinesOnlyWithTheDebugSwitch)
{
    std::ostringstream diag;
    std::ostream* saved = &SoundDebuggableClass::getOStream();
    SoundDebuggableClass::setOStream(&diag);
    SoundDebuggableClass::setVerbose(true);
    design(SoundTools::BandPass, 1000, 5000, 1024, 40000);
    EXPECT_EQ(diag.str(), "");
    SoundDebuggableClass::setVerbose(false);
    SoundDebuggableClass::setDebug(true);
    design(SoundTools::BandPass, 1000, 5000, 1024, 40000);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setOStream(saved);
    EXPECT_EQ(diag.str(), "FillFilter Low Freq1000;0.025 40000\nFillFilter Hi Freq5000;0.125 40000\n");
}

// The equalizer is a convolution by its taps: compared with a direct
// convolution at block sizes that are not multiples of the hop and with
// short reads, over the whole stream.
TEST(EqFFT, EqualsTheDirectConvolutionOfItsTaps)
{
    const Frames input = testsignals::noiseFrames(6000, 21);
    std::vector<double> taps;
    for (unsigned int block : {1024u, 1500u, 8192u}) {
        for (unsigned int chunk : {0u, 333u}) {
            SCOPED_TRACE(testing::Message() << "block " << block << " chunk " << chunk);
            auto* filter = new KeptFilter(SoundTools::BandPass, 2000, 6000);
            CompositePtr c(new SoundAlgoComposite());
            c->pushAlgo(new SoundAlgoFFTDirectCompute(1024, true, false));
            c->pushAlgo(filter);
            c->pushAlgo(new SoundAlgoFFTInverseCompute(false));
            const RunResult r = runNode(*c, input, block, chunk);
            ASSERT_EQ(r.status, SoundTools::StatusOk);
            ASSERT_EQ(filter->taps.size(), 447u);
            if (taps.empty())
                taps = filter->taps;
            ASSERT_EQ(r.out.size(), input.size());
            EXPECT_LT(largestDifference(r.out, convolve(taps, input, input.size())), 1e-12);
        }
    }
}

// 200 Hz passes within the ripple, 223 frames late; 5 kHz is attenuated by
// more than 55 dB.
TEST(EqFFT, LowPassTones)
{
    const unsigned int rate = 44100;
    const size_t n = 3 * rate / 2;
    CompositePtr eq(new SoundAlgoEqFFT(SoundTools::LowPass, 1000, 0, 8192));
    const Frames low = sine(200, rate, n);
    const RunResult passed = runNode(*eq, low, 1 << 15);
    ASSERT_EQ(passed.status, SoundTools::StatusOk);
    ASSERT_EQ(passed.out.size(), n);
    // Past the filter's start-up, the output is the input 223 frames late.
    double worst = 0.0;
    for (size_t i = 2000; i < n; ++i) {
        worst = std::max(worst, std::fabs(passed.out[i].left - low[i - 223].left));
        ASSERT_NEAR(passed.out[i].right, -passed.out[i].left, 1e-15);
    }
    EXPECT_LT(worst, 0.5 * kPassDev);

    const RunResult stopped = runNode(*eq, sine(5000, rate, n), 1 << 15);
    ASSERT_EQ(stopped.status, SoundTools::StatusOk);
    const double ratio = rms(stopped.out, 2000, n) / rms(sine(5000, rate, n), 2000, n);
    EXPECT_LT(20.0 * std::log10(ratio), -55.0);
}

TEST(EqFFT, IsClosed)
{
    CompositePtr eq(new SoundAlgoEqFFT(SoundTools::HighPass, 500, 0, 2048));
    auto* extra = new SoundAlgoFFTInverseCompute(false);
    eq->pushAlgo(extra);
    std::vector<SoundAlgo*> branch;
    eq->pushBranch(branch);
    EXPECT_EQ(eq->getBranchNumber(), 1u);
    EXPECT_EQ(eq->getBranch(0).size(), 3u);
    extra->release();
    // Delay 0, look-ahead of half a frame.
    EXPECT_EQ(eq->getDelay(44100), 0u);
    EXPECT_EQ(eq->getInOverlap(44100), 1024u);
    ASSERT_NE(filterOf(*eq), nullptr);
}
