#include "SoundTrackFinder.h"

#include "SoundReader.h"
#include "detail/TrackAnalysis.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <ostream>

namespace {

constexpr double kHopSeconds = 0.01;

} // namespace

using vexa::detail::LevelCodes;

SoundTrackFinder::SoundTrackFinder()
    : mSettings()
{
}

SoundTrackFinder::SoundTrackFinder(const Settings& settings)
    : mSettings(settings)
{
}

double SoundTrackFinder::hopSeconds() const
{
    return mSampleRate > 0 ? static_cast<double>(mHop) / mSampleRate : kHopSeconds;
}

SoundTools::Status SoundTrackFinder::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mHop = std::max(1u, static_cast<unsigned int>(std::lround(ctx.sampleRate * kHopSeconds)));
    mSumL = mSumR = mSquaresL = mSquaresR = 0.0;
    mPrevMeanL = mPrevMeanR = 0.0;
    mHopCount = 0;
    mFrames = 0;
    mHopCodes.clear();
    mHopCodes.reserve(ctx.frameNbToProcess / mHop + 2);
    mOutcome = Outcome::None;
    mHasFloor = false;
    mFloorDb = -100.0;
    mTracks.clear();
    mGaps.clear();
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundTrackFinder::process()
{
    const unsigned int n = getOutFrameNb();
    const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    // Sums in locals, a hop at a time: no store per frame, no branch.
    for (unsigned int i = 0; i < n;) {
        const unsigned int take = std::min(n - i, mHop - mHopCount);
        double sumL = 0.0, sumR = 0.0, squaresL = 0.0, squaresR = 0.0;
        for (const SoundTools::StereoFrame<double>* f = in + i; f != in + i + take; ++f) {
            sumL += f->left;
            sumR += f->right;
            squaresL += f->left * f->left;
            squaresR += f->right * f->right;
        }
        mSumL += sumL;
        mSumR += sumR;
        mSquaresL += squaresL;
        mSquaresR += squaresR;
        mHopCount += take;
        i += take;
        if (mHopCount == mHop)
            closeHop();
    }
    mFrames += n;
    return SoundTools::StatusOk;
}

// The power of a hop without its DC: the variance inside the hop, plus what
// lies between the DC and the hop rate, from the change of the hop means
// (a first difference: 0 at DC, about unity gain from 15 to 50 Hz). Each
// hop stands alone: a click or the end of a track does not leak into the
// hops after it.
void SoundTrackFinder::closeHop()
{
    const double count = mHopCount;
    const double meanL = mSumL / count, meanR = mSumR / count;
    const double varL = std::max(0.0, mSquaresL / count - meanL * meanL);
    const double varR = std::max(0.0, mSquaresR / count - meanR * meanR);
    if (mHopCodes.empty()) {
        mPrevMeanL = meanL;
        mPrevMeanR = meanR;
    }
    const double lowL = meanL - mPrevMeanL, lowR = meanR - mPrevMeanR;
    mPrevMeanL = meanL;
    mPrevMeanR = meanR;
    const double power = 0.5 * (varL + varR) + 0.25 * (lowL * lowL + lowR * lowR);
    mHopCodes.push_back(LevelCodes::encode(10.0 * std::log10(power + 1e-30)));
    mSumL = mSumR = mSquaresL = mSquaresR = 0.0;
    mHopCount = 0;
}

void SoundTrackFinder::endProcess(int status, unsigned int frameNbProcessed)
{
    if (mHopCount > 0)
        closeHop();
    if (status == SoundTools::StatusOk || status == SoundTools::StatusFinished)
        analyse();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundTrackFinder::findInFile(const QString& fileName)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(fileName));
    if (!reader) {
        return failWith(QStringLiteral("not a recognised audio file name"), qPrintable(fileName));
    }
    if (reader->open(fileName) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    reader->rewind();
    const SoundTools::Status status = processAll(*reader, nullptr);
    if (status != SoundTools::StatusOk)
        return status;
    return SoundTools::StatusOk;
}

void SoundTrackFinder::analyse()
{
    vexa::detail::TrackAnalysis analysis(mSettings, mHopCodes, hopSeconds());
    const vexa::detail::TrackSearch found = analysis.run(isDebug() ? &getOStream() : nullptr);
    mOutcome = found.outcome;
    mHasFloor = found.hasFloor;
    mFloorDb = found.floorDb;
    const int hops = static_cast<int>(mHopCodes.size());
    const auto frameOf = [&](int hop) {
        return static_cast<int>(std::min<long long>(static_cast<long long>(hop) * mHop, mFrames));
    };
    double powerOf[256];
    for (int c = 0; c < 256; ++c)
        powerOf[c] = std::pow(10.0, LevelCodes::decode(c) / 10.0);
    for (size_t t = 0; t < found.tracks.size(); ++t) {
        const vexa::detail::HopRun& r = found.tracks[t];
        double energy = 0.0;
        for (int k = r.begin; k < r.end; ++k)
            energy += powerOf[mHopCodes[static_cast<size_t>(k)]];
        Track track;
        track.begin = frameOf(r.begin);
        track.frames = frameOf(r.end) - track.begin;
        track.levelDb = 10.0 * std::log10(energy / std::max(1, r.end - r.begin) + 1e-30);
        track.peakLevelDb = found.trackTopDb[t];
        mTracks.push_back(track);
    }
    for (size_t t = 0; t < found.gapDb.size(); ++t) {
        const int begin = t == 0 ? 0 : found.tracks[t - 1].end;
        const int end = t == found.tracks.size() ? hops : found.tracks[t].begin;
        Gap gap;
        gap.begin = frameOf(begin);
        gap.frames = frameOf(end) - gap.begin;
        gap.floorDb = found.gapDb[t];
        const std::vector<double>& top = found.trackTopDb;
        const double music = t == 0 ? top[0] : t == top.size() ? top[t - 1] : std::min(top[t - 1], top[t]);
        gap.depthDb = music - gap.floorDb;
        gap.silent = found.gapSilent[t] != 0;
        mGaps.push_back(gap);
    }
}

std::vector<float> SoundTrackFinder::levelsDb() const
{
    std::vector<float> levels(mHopCodes.size());
    for (size_t k = 0; k < levels.size(); ++k)
        levels[k] = static_cast<float>(LevelCodes::decode(vexa::detail::TrackAnalysis::medianLevel(mHopCodes, static_cast<int>(k))));
    return levels;
}

std::vector<RMSStepDetector::Region> SoundTrackFinder::regions() const
{
    std::vector<RMSStepDetector::Region> out;
    const double hopSec = hopSeconds();
    const auto add = [&](int begin, int frames, double levelDb, bool noise) {
        if (frames <= 0)
            return;
        RMSStepDetector::Region r;
        r.BeginSample = begin;
        r.SampleNb = frames;
        r.RMSSqrValue0 = r.RMSSqrValue1 = std::pow(10.0, levelDb / 10.0);
        r.MeanSmpl = std::max(1, static_cast<int>(std::lround(frames / std::max(1.0, hopSec * mSampleRate))));
        r.IsNoise = noise;
        out.push_back(r);
    };
    for (size_t t = 0; t < mTracks.size(); ++t) {
        add(mGaps[t].begin, mGaps[t].frames, mGaps[t].floorDb, true);
        add(mTracks[t].begin, mTracks[t].frames, mTracks[t].levelDb, false);
    }
    if (!mTracks.empty())
        add(mGaps.back().begin, mGaps.back().frames, mGaps.back().floorDb, true);
    return out;
}

RMSStepDetector* SoundTrackFinder::createStepDetector() const
{
    if (mTracks.empty())
        return nullptr;
    QJsonArray list;
    for (const RMSStepDetector::Region& r : regions()) {
        list.append(QJsonObject{{"BeginSample", r.BeginSample},
                                {"SampleNb", r.SampleNb},
                                {"RMSSqrValue0", r.RMSSqrValue0},
                                {"RMSSqrValue1", r.RMSSqrValue1},
                                {"MeanSmpl", r.MeanSmpl},
                                {"IsNoise", r.IsNoise}});
    }
    QJsonObject object{{"Class", "RMSStepDetector"},
                       {"NoiseThreshold", mFloorDb + mSettings.floorMarginDb},
                       {"RMSTime", hopSeconds()},
                       {"MinSlopeTime", 1.0},
                       {"OutputMode", static_cast<int>(RMSStepDetector::NoOutput)},
                       {"RealTimeMode", false},
                       {"SampleRate", static_cast<int>(mSampleRate)},
                       {"Regions", list}};
    return RMSStepDetector::createFromJSon(object);
}
