// The FIR equalizer node: lengths, the measured design, and its output
// through the processing loop against a direct convolution of its taps.
#include "../spectral/SpectralTestUtil.h"
#include "TestSignals.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFIR.h"

#include <gtest/gtest.h>

#include <QtGlobal>

#include <sstream>

using namespace spectraltest;

namespace {

const double kPassDev = (1.0 - std::pow(10.0, -0.025)) / 2.0;

// Keeps the taps of the run (released at its end).
class KeptFIR : public SoundAlgoEqFIR {
public:
    using SoundAlgoEqFIR::SoundAlgoEqFIR;
    std::vector<double> taps;

protected:
    void endProcess(int status, unsigned int frames) override
    {
        taps = getTaps();
        SoundAlgoEqFIR::endProcess(status, frames);
    }
};

QString gCritical;
void captureCritical(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg)
        gCritical = message;
}

double deviation(const std::vector<double>& h, double lo, double hi, double gain)
{
    double worst = 0.0;
    for (int i = 0; i <= 300; ++i)
        worst = std::max(worst, std::fabs(magnitude(h, lo + (hi - lo) * i / 300) - gain));
    return worst;
}

} // namespace

TEST(EqFIR, LengthsAndDelay)
{
    SoundAlgoEqFIR low(SoundTools::LowPass, 1000, 0), high(SoundTools::HighPass, 1000, 0);
    EXPECT_EQ(low.getLength(44100), 35u);
    EXPECT_EQ(low.getDelay(44100), 34u);
    EXPECT_EQ(low.getInOverlap(44100), 34u);
    EXPECT_EQ(high.getLength(44100), 137u);
    // The length follows the sample rate asked for.
    EXPECT_EQ(low.getLength(88200), 69u);
    // A high pass keeps an odd length: at 200 Hz the estimate is 682.
    SoundAlgoEqFIR high200(SoundTools::HighPass, 200, 0);
    EXPECT_EQ(high200.getLength(44100), 683u);
    // No filter: unsupported type, a first frequency of 0, or far too long.
    EXPECT_EQ(SoundAlgoEqFIR(SoundTools::BandEq, 1000, 0).getLength(44100), 0u);
    EXPECT_EQ(SoundAlgoEqFIR(SoundTools::LowPass, 0, 0).getLength(44100), 0u);
    EXPECT_EQ(SoundAlgoEqFIR(SoundTools::HighPass, 5, 0).getLength(44100), 0u);
    EXPECT_EQ(SoundAlgoEqFIR(SoundTools::HighPass, 5, 0).getDelay(44100), 0u);
}

// The output is the full causal convolution by the designed taps (length of
// the input plus N - 1), scaled by the output gain, at any block size and
// with short reads; long blocks go through the threaded path.
TEST(EqFIR, OutputIsTheConvolutionOfItsTaps)
{
    const Frames input = testsignals::noiseFrames(5000, 17);
    struct Case {
        SoundTools::FilterType type;
        double f1, f2;
        size_t taps;
    };
    for (const Case& c : {Case{SoundTools::HighPass, 1000, 0, 137}, Case{SoundTools::BandPass, 2000, 6000, 69},
                          Case{SoundTools::LowPass, 1000, 0, 35}}) {
        for (unsigned int block : {200u, 4096u}) {
            for (unsigned int chunk : {0u, 53u}) {
                SCOPED_TRACE(testing::Message() << "type " << c.type << " block " << block << " chunk " << chunk);
                auto* fir = new KeptFIR(c.type, c.f1, c.f2);
                fir->SetOutputGain(-6.0);
                SoundAlgoComposite top;
                top.pushAlgo(fir);
                const RunResult r = runNode(top, input, block, chunk);
                ASSERT_EQ(r.status, SoundTools::StatusOk);
                ASSERT_EQ(fir->taps.size(), c.taps);
                ASSERT_EQ(r.out.size(), input.size() + c.taps - 1);
                std::vector<double> scaled = fir->taps;
                for (double& v : scaled)
                    v *= std::pow(10.0, -6.0 / 20.0);
                EXPECT_LT(largestDifference(r.out, convolve(scaled, input, r.out.size())), 1e-12);
            }
        }
    }
}

// The 1 kHz low pass measured: symmetric taps, equiripple, and the ripple
// within what 35 taps (Kaiser's estimate for such a wide transition) give.
TEST(EqFIR, DesignedResponse)
{
    auto* fir = new KeptFIR(SoundTools::LowPass, 1000, 0);
    SoundAlgoComposite top;
    top.pushAlgo(fir);
    ASSERT_EQ(runNode(top, testsignals::noiseFrames(100, 1), 256).status, SoundTools::StatusOk);
    const auto& h = fir->taps;
    ASSERT_EQ(h.size(), 35u);
    for (size_t k = 0; k < h.size(); ++k)
        ASSERT_EQ(h[k], h[h.size() - 1 - k]);
    const double a = 1000.0 / 44100;
    const double pass = deviation(h, 0, a, 1.0) / kPassDev;
    const double stop = deviation(h, 3 * a, 0.5, 0.0) / 0.01;
    EXPECT_NEAR(pass / stop, 1.0, 0.02);
    EXPECT_LT(pass, 2.0);
}

// A design asked for (a transition a tenth of the cut-off, at least 50 Hz,
// and 60 dB) holds at every cut-off up to 0.45 fs, low and high pass: the
// pass band within the ripple, the stop band below -60 dB from the end of
// the transition.
TEST(EqFIR, AskedDesignHoldsAtEveryCutOff)
{
    const double fs = 44100;
    for (const SoundTools::FilterType type : {SoundTools::LowPass, SoundTools::HighPass}) {
        for (const double f : {100.0, 1000.0, 5000.0, 8000.0, 15000.0, 0.45 * fs}) {
            auto* fir = new KeptFIR(type, f, 0);
            const double tw = std::max(f / 10, 50.0);
            fir->setDesign(tw, 60);
            SoundAlgoComposite top;
            top.pushAlgo(fir);
            ASSERT_EQ(runNode(top, testsignals::noiseFrames(100, 1), 4096).status, SoundTools::StatusOk) << f;
            const auto& h = fir->taps;
            const double a = f / fs, t = tw / fs;
            const bool low = type == SoundTools::LowPass;
            const double pass = low ? deviation(h, 0, a, 1.0) : deviation(h, a, 0.5, 1.0);
            const double stop = low ? (a + t < 0.5 ? deviation(h, a + t, 0.5, 0.0) : 0.0) : deviation(h, 0, a - t, 0.0);
            EXPECT_LT(pass, 2 * kPassDev) << (low ? "low " : "high ") << f << " Hz, " << h.size() << " taps";
            EXPECT_LT(20 * std::log10(stop + 1e-300), -60.0) << (low ? "low " : "high ") << f << " Hz, " << h.size() << " taps";
        }
    }
}

TEST(EqFIR, RefusedDesigns)
{
    const Frames input = testsignals::noiseFrames(100, 1);
    QtMessageHandler previous = qInstallMessageHandler(captureCritical);
    {
        SoundAlgoComposite top;
        top.pushAlgo(new SoundAlgoEqFIR(SoundTools::HighShelf, 1000, 0));
        EXPECT_EQ(runNode(top, input, 256).status, SoundTools::StatusError);
        EXPECT_EQ(gCritical, QStringLiteral("Unsupported FIR mode :6"));
    }
    qInstallMessageHandler(previous);
    {
        SoundAlgoComposite top;
        top.pushAlgo(new SoundAlgoEqFIR(SoundTools::LowPass, -3, 0));
        EXPECT_EQ(runNode(top, input, 256).status, SoundTools::StatusError);
        EXPECT_TRUE(SoundDebuggableClass::getError().startsWith("SoundAlgoEqFIR::initProcess : "));
    }
    {
        SoundAlgoComposite top;
        top.pushAlgo(new SoundAlgoEqFIR(SoundTools::HighPass, 2, 0));
        EXPECT_EQ(runNode(top, input, 256).status, SoundTools::StatusError);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains("taps"));
    }
    {
        // Band stop edges crossed: the pass bands overlap.
        SoundAlgoComposite top;
        top.pushAlgo(new SoundAlgoEqFIR(SoundTools::BandStop, 8000, 1000));
        EXPECT_EQ(runNode(top, input, 256).status, SoundTools::StatusError);
    }
}

TEST(EqFIR, DebugLineGivesTheLength)
{
    std::ostringstream diag;
    std::ostream* saved = &SoundDebuggableClass::getOStream();
    SoundDebuggableClass::setOStream(&diag);
    SoundDebuggableClass::setDebug(true);
    SoundAlgoComposite top;
    top.pushAlgo(new SoundAlgoEqFIR(SoundTools::LowPass, 1000, 0));
    runNode(top, testsignals::noiseFrames(10, 1), 256);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setOStream(saved);
    EXPECT_NE(diag.str().find("FIR lenght = 35\n"), std::string::npos);
}
