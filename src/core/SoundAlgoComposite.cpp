#include "SoundAlgoComposite.h"

#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoFilterSplit.h"

#include "detail/AdaptiveParallel.h"

#include <algorithm>
#include <climits>
#include <ostream>

SoundAlgoComposite::SoundAlgoComposite(QString id, bool sharedInput)
    : SoundAlgo(std::move(id))
    , mSharedInput(sharedInput)
    , mSchedule(std::make_unique<vexa::detail::AdaptiveParallel>())
{
}

SoundAlgoComposite::~SoundAlgoComposite()
{
    for (auto& branch : mBranches) {
        for (SoundAlgo* node : branch)
            node->release();
    }
}

void SoundAlgoComposite::addNewBranch()
{
    if (!mWritable)
        return;
    mBranches.emplace_back();
}

void SoundAlgoComposite::pushAlgo(SoundAlgo* algo)
{
    if (!mWritable || !algo)
        return;
    if (mBranches.empty())
        addNewBranch();
    mBranches.back().push_back(algo);
}

void SoundAlgoComposite::pushBranch(std::vector<SoundAlgo*>& branch)
{
    if (mWritable)
        pushBranchUnlocked(branch);
}

void SoundAlgoComposite::pushBranchUnlocked(std::vector<SoundAlgo*>& branch)
{
    std::vector<SoundAlgo*> nodes;
    for (SoundAlgo* node : branch) {
        if (node)
            nodes.push_back(node);
    }
    mBranches.push_back(std::move(nodes));
}

// ---------------------------------------------------------------------------
// Multiband trees

void SoundAlgoComposite::buildMultibandTree(const std::vector<double>& freqs, FrequencyAlgoBuilder& builder, bool biquad)
{
    if (freqs.empty()) {
        builder.buildAlgo(this, 0, QStringLiteral("[0-22050]"));
        return;
    }
    recursiveBuildMultibandTree(freqs, 0, builder, biquad);
}

void SoundAlgoComposite::recursiveBuildMultibandTree(const std::vector<double>& freqs, int index,
                                                     FrequencyAlgoBuilder& builder, bool biquad)
{
    const size_t i = static_cast<size_t>(index);
    const int f = static_cast<int>(freqs[i]);
    const int fPrev = index == 0 ? 0 : static_cast<int>(freqs[i - 1]);
    const QString name = QStringLiteral("[%1-%2]").arg(fPrev).arg(f);

    std::shared_ptr<SoundTools::FilterBuilder> lowPass;
    if (biquad)
        lowPass = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::LowPass, freqs[i], 1.0, 0.0);
    else
        lowPass = std::make_shared<SoundTools::Order1FilterBuilder>(SoundTools::LowPass, freqs[i]);

    // The split's output 0 (below f) feeds branch 0 of the band pair, its
    // output 1 (the rest) branch 1; the pair is summed back.
    auto* sub = new SoundAlgoComposite(name, false);
    pushAlgo(new SoundAlgoFilterSplit(lowPass));
    pushAlgo(sub);
    pushAlgo(new SoundAlgoAdd(2, true, nullptr));

    builder.buildAlgo(sub, index, name);
    sub->addNewBranch();
    if (i + 1 < freqs.size())
        sub->recursiveBuildMultibandTree(freqs, index + 1, builder, biquad);
    else
        builder.buildAlgo(sub, index + 1, QStringLiteral("[%1-%2]").arg(f).arg(22050));
}

// ---------------------------------------------------------------------------
// Graph answers

unsigned int SoundAlgoComposite::getInputNumber() const
{
    if (mBranches.empty())
        return 0;
    if (mSharedInput)
        return mBranches[0].empty() ? 0u : mBranches[0].front()->getInputNumber();
    unsigned int n = 0;
    for (const auto& branch : mBranches) {
        if (!branch.empty())
            n += branch.front()->getInputNumber();
    }
    return n;
}

unsigned int SoundAlgoComposite::getOutputNumber() const
{
    unsigned int n = 0;
    for (const auto& branch : mBranches) {
        if (!branch.empty())
            n += branch.back()->getOutputNumber();
    }
    return n;
}

unsigned int SoundAlgoComposite::getInFrameSize() const
{
    return mBranches.empty() || mBranches[0].empty() ? 0u : mBranches[0].front()->getInFrameSize();
}

unsigned int SoundAlgoComposite::getOutFrameSize() const
{
    return mBranches.empty() || mBranches[0].empty() ? 0u : mBranches[0].back()->getOutFrameSize();
}

unsigned int SoundAlgoComposite::getInElementSize() const
{
    return mBranches.empty() || mBranches[0].empty() ? 0u : mBranches[0].front()->getInElementSize();
}

unsigned int SoundAlgoComposite::getOutElementSize() const
{
    return mBranches.empty() || mBranches[0].empty() ? 0u : mBranches[0].back()->getOutElementSize();
}

unsigned int SoundAlgoComposite::getBranchDelay(unsigned int sampleRate, unsigned int b) const
{
    unsigned int d = 0;
    for (const SoundAlgo* node : mBranches[b])
        d += node->getDelay(sampleRate);
    return d;
}

unsigned int SoundAlgoComposite::getBranchShift(unsigned int sampleRate, unsigned int b) const
{
    const auto& branch = mBranches[b];
    unsigned int s = 0;
    for (size_t j = 0; j < branch.size(); ++j) {
        s += branch[j]->getSampleShift(sampleRate);
        if (j > 0)
            s += branch[j]->getInOverlap(sampleRate);
    }
    return s;
}

unsigned int SoundAlgoComposite::getBranchOutOverlap(unsigned int sampleRate, unsigned int b) const
{
    unsigned int o = 0;
    for (const SoundAlgo* node : mBranches[b])
        o += node->getOutBufferOverlap(sampleRate);
    return o;
}

unsigned int SoundAlgoComposite::getBranchInOverlap(unsigned int sampleRate, unsigned int b) const
{
    return mBranches[b].front()->getInOverlap(sampleRate);
}

unsigned int SoundAlgoComposite::getDelay(unsigned int sampleRate) const
{
    unsigned int d = 0;
    for (unsigned int b = 0; b < mBranches.size(); ++b)
        d = std::max(d, getBranchDelay(sampleRate, b));
    return d;
}

unsigned int SoundAlgoComposite::getLatency(unsigned int sampleRate) const
{
    unsigned int latency = 0;
    for (const auto& branch : mBranches) {
        unsigned int sum = 0;
        for (const SoundAlgo* node : branch)
            sum += node->getLatency(sampleRate);
        latency = std::max(latency, sum);
    }
    return latency;
}

unsigned int SoundAlgoComposite::getSampleShift(unsigned int sampleRate) const
{
    unsigned int s = 0;
    for (unsigned int b = 0; b < mBranches.size(); ++b)
        s = std::max(s, getBranchShift(sampleRate, b));
    return s;
}

unsigned int SoundAlgoComposite::getOutBufferOverlap(unsigned int sampleRate) const
{
    unsigned int o = 0;
    for (unsigned int b = 0; b < mBranches.size(); ++b)
        o = std::max(o, getBranchOutOverlap(sampleRate, b));
    return o;
}

unsigned int SoundAlgoComposite::getInOverlap(unsigned int sampleRate) const
{
    unsigned int i = 0;
    for (const auto& branch : mBranches) {
        if (!branch.empty())
            i = std::max(i, branch.front()->getInOverlap(sampleRate));
    }
    return i;
}

unsigned int SoundAlgoComposite::getOutOverlap(unsigned int sampleRate) const
{
    unsigned int o = 0;
    for (const auto& branch : mBranches) {
        if (!branch.empty())
            o = std::max(o, branch.back()->getOutOverlap(sampleRate));
    }
    return o;
}

unsigned int SoundAlgoComposite::getPreferredBufferSize(unsigned int sampleRate) const
{
    unsigned int size = SoundBuffer::getDefaultSize();
    for (const auto& branch : mBranches) {
        for (const SoundAlgo* node : branch) {
            const unsigned int preferred = node->getPreferredBufferSize(sampleRate);
            while (preferred > size && size < 0x80000000u)
                size *= 2;
        }
    }
    return size;
}

unsigned int SoundAlgoComposite::nodeLag(const SoundAlgo* node, unsigned int sampleRate)
{
    if (const auto* composite = dynamic_cast<const SoundAlgoComposite*>(node)) {
        unsigned int lag = 0;
        for (size_t b = 0; b < composite->mBranches.size(); ++b)
            lag = std::max(lag, composite->branchLag(sampleRate, b));
        return lag;
    }
    return node->getInOverlap(sampleRate) + node->getOutOverlap(sampleRate);
}

unsigned int SoundAlgoComposite::branchLag(unsigned int sampleRate, size_t b) const
{
    unsigned int lag = 0;
    for (const SoundAlgo* node : mBranches[b])
        lag += nodeLag(node, sampleRate);
    return lag;
}

// ---------------------------------------------------------------------------
// Initialisation

SoundTools::Status SoundAlgoComposite::initInputBuffer(const LoopContext& ctx)
{
    // Alignment may add bypass nodes, which must then be initialised and
    // linked like the others: repeat until the branches line up.
    for (;;) {
        if (linkBranches(ctx) != SoundTools::StatusOk)
            return SoundTools::StatusError;
        if (!alignBranches())
            return SoundTools::StatusOk;
    }
}

SoundTools::Status SoundAlgoComposite::linkBranches(const LoopContext& ctx)
{
    const unsigned int nIn = getInputNumber();
    bool inputsSet = false;
    const unsigned int portBase = mPrevAlgo ? mPrevAlgo->mOutPortOffset : 0;
    if (mPrevAlgo) {
        if (mPrevAlgo->getOutPortNumber() != nIn)
            return SoundTools::StatusError;
        for (unsigned int i = 0; i < nIn; ++i)
            mInBuffers[i] = mPrevAlgo->getOutPort(i);
        inputsSet = true;
    }

    SoundTools::Status status = SoundTools::StatusOk;
    unsigned int k = 0;
    for (auto& branch : mBranches) {
        if (branch.empty())
            continue;
        if (mPrevAlgo && !mSharedInput)
            mPrevAlgo->mOutPortOffset = portBase + k;
        for (size_t j = 0; j < branch.size() && status == SoundTools::StatusOk; ++j) {
            SoundAlgo* prev = j == 0 ? mPrevAlgo : branch[j - 1];
            SoundAlgo* next = j + 1 == branch.size() ? mNextAlgo : branch[j + 1];
            if (branch[j]->initProcess(ctx, prev, next) != SoundTools::StatusOk) {
                status = SoundTools::StatusError;
                break;
            }
            if (j != 0)
                continue;
            SoundAlgo* head = branch[0];
            const unsigned int count = head->getInputNumber();
            if (!inputsSet) {
                for (unsigned int i = 0; i < count && k + i < mInBuffers.size(); ++i)
                    mInBuffers[k + i] = head->mInBuffers[i];
                if (mSharedInput)
                    inputsSet = true;
            } else if (mSharedInput && !mPrevAlgo) {
                if (head->useInputs(this) != SoundTools::StatusOk)
                    status = SoundTools::StatusError;
            }
            if (!mSharedInput)
                k += count;
        }
        if (status != SoundTools::StatusOk)
            break;
    }
    if (mPrevAlgo)
        mPrevAlgo->mOutPortOffset = portBase;
    return status;
}

bool SoundAlgoComposite::alignBranches()
{
    const unsigned int sr = mSampleRate;
    const QString name = getName();

    // Every node reading the shared input must take exactly the look-ahead
    // kept in it, or it would see some frames twice (a stateful node would
    // process them twice). A branch whose head takes less gets a bypass of
    // the full look-ahead in front; its head then finds its own look-ahead
    // in the bypass's output, and the tail alignment below absorbs the lag.
    unsigned int inOverlap = 0;
    for (const auto& branch : mBranches) {
        if (!branch.empty())
            inOverlap = std::max(inOverlap, branch.front()->getInOverlap(sr));
    }
    bool added = false;
    for (size_t b = 0; b < mBranches.size(); ++b) {
        if (mBranches[b].empty() || mBranches[b].front()->getInOverlap(sr) == inOverlap)
            continue;
        auto* bypass = new SoundAlgoBypass(inOverlap, 0, 0);
        bypass->setId(QStringLiteral("In %2 [%1]").arg(b).arg(name));
        mBranches[b].insert(mBranches[b].begin(), bypass);
        added = true;
    }
    if (added)
        return true;

    // The tails: every branch gets the same delay and the same lag (the
    // look-ahead and unfinished frames along its chain), so that all branch
    // outputs cover the same absolute frames; a bypass appended to a branch
    // adds what it lacks. A padded branch ends without an unfinished tail, so
    // when tails differ, or one is padded while another ends unfinished,
    // every branch is padded and all of them end final.
    unsigned int delay = 0;
    unsigned int lagMax = 0;
    unsigned int tailMin = UINT_MAX;
    unsigned int tailMax = 0;
    std::vector<unsigned int> lag(mBranches.size(), 0);
    std::vector<unsigned int> branchDelay(mBranches.size(), 0);
    for (size_t b = 0; b < mBranches.size(); ++b) {
        if (mBranches[b].empty())
            continue;
        branchDelay[b] = getBranchDelay(sr, static_cast<unsigned int>(b));
        lag[b] = branchLag(sr, b);
        delay = std::max(delay, branchDelay[b]);
        lagMax = std::max(lagMax, lag[b]);
        const unsigned int tail = mBranches[b].back()->getOutOverlap(sr);
        tailMin = std::min(tailMin, tail);
        tailMax = std::max(tailMax, tail);
    }
    std::vector<bool> needs(mBranches.size(), false);
    bool anyNeeds = false;
    for (size_t b = 0; b < mBranches.size(); ++b) {
        needs[b] = !mBranches[b].empty() && (branchDelay[b] < delay || lag[b] < lagMax);
        anyNeeds = anyNeeds || needs[b];
    }
    if (tailMax > 0 && (tailMin != tailMax || anyNeeds)) {
        for (size_t b = 0; b < mBranches.size(); ++b)
            needs[b] = !mBranches[b].empty();
    }
    for (size_t b = 0; b < mBranches.size(); ++b) {
        if (!needs[b])
            continue;
        auto* bypass = new SoundAlgoBypass(lagMax - lag[b], delay - branchDelay[b], 0);
        bypass->setId(QStringLiteral("Out %2 [%1]").arg(b).arg(name));
        mBranches[b].push_back(bypass);
        added = true;
    }
    return added;
}

SoundTools::Status SoundAlgoComposite::initOutputBuffer(const LoopContext&)
{
    size_t o = 0;
    for (const auto& branch : mBranches) {
        if (branch.empty())
            continue;
        const SoundAlgo* last = branch.back();
        for (unsigned int i = 0; i < last->getOutputNumber() && o < mOutBuffers.size(); ++i)
            mOutBuffers[o++] = last->getOutBuffer(i);
    }
    return SoundTools::StatusOk;
}

void SoundAlgoComposite::setOutOrigin()
{
    for (auto& branch : mBranches) {
        for (SoundAlgo* node : branch)
            node->setOutOrigin();
    }
}

void SoundAlgoComposite::updateOutput(unsigned int consumed)
{
    for (auto& branch : mBranches) {
        for (SoundAlgo* node : branch)
            node->updateOutput(consumed);
    }
}

void SoundAlgoComposite::endProcess(int status, unsigned int frameNbProcessed)
{
    for (auto& branch : mBranches) {
        for (SoundAlgo* node : branch)
            node->endProcess(status, frameNbProcessed);
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// ---------------------------------------------------------------------------
// Processing

int SoundAlgoComposite::processOneLoop(int b)
{
    for (SoundAlgo* node : mBranches[static_cast<size_t>(b)]) {
        const SoundTools::Status s = node->process();
        if (s != SoundTools::StatusOk)
            return s;
    }
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoComposite::process()
{
    const int branches = static_cast<int>(mBranches.size());
    int s = 0;
    if (branches == 0)
        return SoundTools::StatusOk;
    if (branches == 1) {
        s = processOneLoop(0);
    } else {
        mSchedule->run(getOutFrameNb(), [this, branches, &s](bool parallel) {
#pragma omp parallel for schedule(static) reduction(| : s) if (parallel)
            for (int b = 0; b < branches; ++b)
                s |= processOneLoop(b);
        });
    }
    if (s == 0)
        return SoundTools::StatusOk;
    if (s == 1)
        return SoundTools::StatusError;
    return SoundTools::StatusStopped;
}

void SoundAlgoComposite::debugBuffers()
{
    SoundAlgo::debugBuffers();
    std::ostream& os = getOStream();
    const std::string line(46, '=');
    const std::string name = getName().toStdString();
    for (size_t b = 0; b < mBranches.size(); ++b) {
        os << line << std::endl;
        os << "Branch " << b << " " << name << std::endl;
        for (SoundAlgo* node : mBranches[b])
            node->debugBuffers();
        os << "End Branch " << b << " " << name << std::endl;
        os << line << std::endl;
    }
}
