#include "SoundAlgoStats.h"

#include "detail/Units.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>

namespace {

using Frame = SoundTools::StereoFrame<double>;

// Longest window accepted, in frames: far beyond any real use, and small
// enough that the frame arithmetic of the loop cannot overflow.
constexpr double kMaxWindowFrames = 1 << 28;

class SoundAlgoStatsJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    SoundAlgoStatsJSonBuilder() { SoundAlgo::declareBuilder(this); }
    SoundAlgo* build(QJsonObject& object) override { return SoundAlgoStats::createFromJSon(object); }
    QString getClassName() override { return QStringLiteral("SoundAlgoStats"); }
};

// Registered when the library is loaded.
SoundAlgoStatsJSonBuilder sSoundAlgoStatsBuilder;

} // namespace

// ---------------------------------------------------------------------------
// Band builder

SoundAlgoStats::FrequencyBuilder::FrequencyBuilder(double windowTime)
    : mWindowTime(windowTime)
{
}

SoundAlgoStats::FrequencyBuilder::FrequencyBuilder(const FrequencyBuilder& other) = default;

SoundAlgoStats::FrequencyBuilder& SoundAlgoStats::FrequencyBuilder::operator=(const FrequencyBuilder& other) = default;

SoundAlgoStats::FrequencyBuilder::~FrequencyBuilder() = default;

void SoundAlgoStats::FrequencyBuilder::buildAlgo(SoundAlgoComposite* composite, int /*band*/, const QString& name)
{
    auto* stats = new SoundAlgoStats(STATS_ONLY);
    mStats.push_back(stats);
    composite->pushAlgo(stats);
    stats->setId(name);
}

// ---------------------------------------------------------------------------
// Node

SoundAlgoStats::SoundAlgoStats(OutputType type, double windowTime)
    : mWindowTime(type == STATS_ONLY ? 0.0 : windowTime)
    , mType(type)
{
}

SoundAlgoStats::~SoundAlgoStats() = default;

unsigned int SoundAlgoStats::roundedWindow(unsigned int sampleRate) const
{
    const double frames = std::floor(mWindowTime * static_cast<double>(sampleRate) + 0.5);
    // A negative, NaN or absurd window time (from a damaged description)
    // must not turn into a garbage frame count.
    if (!(frames > 0.0))
        return 0;
    return static_cast<unsigned int>(std::min(frames, kMaxWindowFrames));
}

unsigned int SoundAlgoStats::getInOverlap(unsigned int sampleRate) const
{
    if (mType == STATS_ONLY)
        return 0;
    // Odd, so that each output frame sits at the centre of its window; a
    // window rounding to 0 frames is one frame wide.
    return roundedWindow(sampleRate) | 1u;
}

unsigned int SoundAlgoStats::getDelay(unsigned int sampleRate) const
{
    if (mType == STATS_ONLY)
        return 0;
    return roundedWindow(sampleRate) >> 1;
}

void SoundAlgoStats::getRMS(Frame& rms) const
{
    if (mCount == 0)
        return;
    const double n = static_cast<double>(mCount);
    rms.left = vexa::detail::amplitudeToDb(std::sqrt(mLeftSqr / n));
    rms.right = vexa::detail::amplitudeToDb(std::sqrt(mRightSqr / n));
}

void SoundAlgoStats::getMax(Frame& max) const
{
    max.left = vexa::detail::amplitudeToDb(mLeftMax);
    max.right = vexa::detail::amplitudeToDb(mRightMax);
}

double SoundAlgoStats::getFullRMS() const
{
    if (mCount == 0)
        return 0.0;
    return vexa::detail::amplitudeToDb(std::sqrt((mLeftSqr + mRightSqr) / (2.0 * static_cast<double>(mCount))));
}

void SoundAlgoStats::getGlobalStats(Frame& rms, double& fullRms, Frame& max) const
{
    if (mCount == 0)
        return;
    getRMS(rms);
    fullRms = getFullRMS();
    getMax(max);
}

SoundTools::Status SoundAlgoStats::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mCount = 0;
    mLeftSqr = 0.0;
    mRightSqr = 0.0;
    mLeftMax = 0.0;
    mRightMax = 0.0;
    mStreamEnd = ctx.frameNbToProcess > 0 ? static_cast<int64_t>(ctx.offset) + ctx.frameNbToProcess : INT64_MAX;
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoStats::accumulate(const Frame* in, unsigned int n)
{
    if (mType == RMS_ONLY || n == 0)
        return;
    // Two partial sums per channel shorten the dependency chain of the
    // additions.
    double l0 = 0.0, l1 = 0.0, r0 = 0.0, r1 = 0.0;
    double ml = mLeftMax, mr = mRightMax;
    unsigned int i = 0;
    for (; i + 1 < n; i += 2) {
        l0 += in[i].left * in[i].left;
        r0 += in[i].right * in[i].right;
        l1 += in[i + 1].left * in[i + 1].left;
        r1 += in[i + 1].right * in[i + 1].right;
        ml = std::max(ml, std::max(std::abs(in[i].left), std::abs(in[i + 1].left)));
        mr = std::max(mr, std::max(std::abs(in[i].right), std::abs(in[i + 1].right)));
    }
    for (; i < n; ++i) {
        l0 += in[i].left * in[i].left;
        r0 += in[i].right * in[i].right;
        ml = std::max(ml, std::abs(in[i].left));
        mr = std::max(mr, std::abs(in[i].right));
    }
    mLeftSqr += l0 + l1;
    mRightSqr += r0 + r1;
    mLeftMax = ml;
    mRightMax = mr;
    mCount += n;
}

SoundTools::Status SoundAlgoStats::process()
{
    const unsigned int w = getInOverlap(mSampleRate);
    const unsigned int available = getInFrameNb();
    // The loop delivers w frames of look-ahead beyond the output frames.
    const unsigned int nb = std::min(getOutFrameNb(), available > w ? available - w : 0u);
    if (nb == 0)
        return SoundTools::StatusOk;

    const int inOrigin = getInOrigin();
    const Frame* in = mInBuffers[0]->getStereoFrame(inOrigin);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());

    // in[i] is accumulated when it is the first frame of a window. Only
    // frames of the stream count: before the run's start lies the silence
    // the loop puts in front of a delayed graph, after the stream's end the
    // silence it feeds to flush the look-ahead of later nodes.
    const int64_t first = std::max<int64_t>(static_cast<int64_t>(getOffset()) - inOrigin, 0);
    const int64_t last = std::min<int64_t>(nb, mStreamEnd - inOrigin);
    if (first < last)
        accumulate(in + first, static_cast<unsigned int>(last - first));

    if (mType == STATS_ONLY) {
        if (out != in)
            std::copy(in, in + nb, out);
        return SoundTools::StatusOk;
    }

    // Sliding window sums, rebuilt at the start of every block so that
    // rounding drift never outlives a block.
    const double invW = 1.0 / static_cast<double>(w);
    double sL = 0.0;
    double sR = 0.0;
    for (unsigned int k = 0; k < w; ++k) {
        sL += in[k].left * in[k].left;
        sR += in[k].right * in[k].right;
    }
    for (unsigned int i = 0; i < nb; ++i) {
        if (i > 0) {
            const Frame& f = in[i + w - 1];
            sL += f.left * f.left;
            sR += f.right * f.right;
        }
        // After a loud passage the running sum of a silent window can round
        // to a tiny negative value: its root would be NaN.
        out[i].left = std::sqrt(std::max(sL, 0.0) * invW);
        out[i].right = std::sqrt(std::max(sR, 0.0) * invW);
        sL -= in[i].left * in[i].left;
        sR -= in[i].right * in[i].right;
    }
    return SoundTools::StatusOk;
}

void SoundAlgoStats::endProcess(int status, unsigned int frameNbProcessed)
{
    if (isVerbose() && status == SoundTools::StatusOk && mType != RMS_ONLY) {
        std::ostream& os = getOStream();
        if (mCount == 0) {
            os << "Stats : no frame" << std::endl;
        } else {
            Frame rms{0.0, 0.0};
            Frame max{0.0, 0.0};
            double full = 0.0;
            getGlobalStats(rms, full, max);
            const std::ios_base::fmtflags flags = os.flags();
            const std::streamsize precision = os.precision();
            os << std::fixed << std::setprecision(2) << "Stats :\n\tRMS\t= " << full << " dB\n \tRMS Left\t= " << rms.left
               << " dB\n\tRMS Right\t= " << rms.right << " dB\n\tMax Left\t= " << max.left
               << " dB\n\tMax Right\t= " << max.right << " dB" << std::endl;
            os.flags(flags);
            os.precision(precision);
        }
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// ---------------------------------------------------------------------------
// JSON

void SoundAlgoStats::writeToJSon(QJsonObject& object) const
{
    object.insert(QStringLiteral("Class"), QStringLiteral("SoundAlgoStats"));
    object.insert(QStringLiteral("OutputType"), static_cast<int>(mType));
    object.insert(QStringLiteral("WindowTime"), mWindowTime);
    // Counts are stored as 32-bit signed integers: above 2^31 - 1 the value
    // is negative and reads back to the same unsigned count.
    object.insert(QStringLiteral("TotalCount"), static_cast<int>(static_cast<int32_t>(mCount)));
    object.insert(QStringLiteral("LeftSqr"), mLeftSqr);
    object.insert(QStringLiteral("RightSqr"), mRightSqr);
    object.insert(QStringLiteral("LeftMax"), mLeftMax);
    object.insert(QStringLiteral("RightMax"), mRightMax);
    object.insert(QStringLiteral("SampleRate"), static_cast<int>(getSampleRate()));
}

SoundAlgoStats* SoundAlgoStats::createFromJSon(QJsonObject& object)
{
    const QJsonValue cls = object.value(QStringLiteral("Class"));
    const QJsonValue type = object.value(QStringLiteral("OutputType"));
    const QJsonValue window = object.value(QStringLiteral("WindowTime"));
    if (!cls.isString() || cls.toString() != QStringLiteral("SoundAlgoStats") || !type.isDouble() || !window.isDouble())
        return nullptr;
    const int t = type.toInt(-1);
    if (t < RMS_WITH_STATS || t > STATS_ONLY) {
        setError(QStringLiteral("Unknown output type %1").arg(type.toDouble()), "SoundAlgoStats::createFromJSon");
        return nullptr;
    }
    auto* stats = new SoundAlgoStats(static_cast<OutputType>(t), window.toDouble());
    stats->readFromJSon(object);
    return stats;
}

namespace {

// A whole number within [lo, hi], or false.
bool wholeNumber(const QJsonValue& v, double lo, double hi, double& out)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (!(d >= lo && d <= hi) || d != std::floor(d))
        return false;
    out = d;
    return true;
}

void readDouble(const QJsonObject& object, const char* key, double& field)
{
    const QJsonValue v = object.value(QLatin1String(key));
    if (v.isDouble())
        field = v.toDouble();
}

} // namespace

bool SoundAlgoStats::readFromJSon(QJsonObject& object)
{
    SoundAlgo::readFromJSon(object);
    double d = 0.0;
    // The count is written as a signed 32-bit value; an unsigned one is
    // accepted as well. Anything else leaves the count as it was.
    if (wholeNumber(object.value(QStringLiteral("TotalCount")), -2147483648.0, 4294967295.0, d))
        mCount = static_cast<uint32_t>(d < 0 ? d + 4294967296.0 : d);
    readDouble(object, "LeftSqr", mLeftSqr);
    readDouble(object, "RightSqr", mRightSqr);
    readDouble(object, "LeftMax", mLeftMax);
    readDouble(object, "RightMax", mRightMax);
    if (wholeNumber(object.value(QStringLiteral("SampleRate")), 0.0, 4294967295.0, d))
        mSampleRate = static_cast<unsigned int>(d);
    return true;
}
