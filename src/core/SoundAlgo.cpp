#include "SoundAlgo.h"

#include "SoundReader.h"
#include "SoundWriter.h"

#include <QDebug>
#include <QMessageLogger>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cxxabi.h>
#include <ostream>
#include <typeinfo>

QHash<QString, SoundAlgo::SoundAlgoJSonBuilder*> SoundAlgo::sJsonBuilders;

void SoundAlgo::LoopContext::reset()
{
    inOverlap = 0;
    delay = 0;
    outOverlap = 0;
    sampleRate = 0;
    frameNbToProcess = 0;
    frameNbProcessed = 0;
    channelNb = 2;
    offset = 0;
    consumed = 0;
    tail = 0;
    inBuffer.reset();
    outBuffer.reset();
    status = SoundTools::StatusOk;
}

SoundAlgo::SoundAlgo() = default;

SoundAlgo::SoundAlgo(QString id)
    : mId(std::move(id))
{
}

SoundAlgo::~SoundAlgo()
{
    mInBuffers.clear();
    mOutBuffers.clear();
    mPrevAlgo = nullptr;
    mNextAlgo = nullptr;
}

QString SoundAlgo::getName()
{
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    QString name = QString::fromLatin1(status == 0 && demangled ? demangled : mangled);
    std::free(demangled);
    if (!mId.isEmpty())
        name += QLatin1Char('(') + mId + QLatin1Char(')');
    return name;
}

void SoundAlgo::writeToJSon(QJsonObject& object) const
{
    object.insert(QStringLiteral("Id"), mId);
}

bool SoundAlgo::readFromJSon(QJsonObject& object)
{
    const QJsonValue id = object.value(QStringLiteral("Id"));
    if (id.isString())
        mId = id.toString();
    return true;
}

void SoundAlgo::pleaseStop()
{
    mStopRequest.store(true);
}

// ---------------------------------------------------------------------------
// Frame bookkeeping

int SoundAlgo::getInOrigin() const
{
    if (mInBuffers.empty())
        return 0;
    int origin = mInBuffers[0]->getOrigin();
    for (size_t i = 1; i < mInBuffers.size(); ++i)
        origin = std::max(origin, mInBuffers[i]->getOrigin());
    return origin;
}

unsigned int SoundAlgo::getInFrameNb() const
{
    if (mInBuffers.empty())
        return 0;
    const int origin = getInOrigin();
    int frames = INT_MAX;
    for (const auto& b : mInBuffers)
        frames = std::min(frames, b->getFrameNB(origin));
    if (mPrevAlgo)
        frames -= static_cast<int>(mPrevAlgo->getOutOverlap(mSampleRate));
    return frames > 0 ? static_cast<unsigned int>(frames) : 0u;
}

int SoundAlgo::getOutOrigin() const
{
    return getInOrigin() - static_cast<int>(getOutOverlap(mSampleRate)) + static_cast<int>(getDelay(mSampleRate));
}

unsigned int SoundAlgo::getOutFrameNb() const
{
    const int origin = getOutOrigin();
    int frames = INT_MAX;
    for (const auto& b : mOutBuffers)
        frames = std::min(frames, b->getFrameNB(origin));
    return frames > 0 ? static_cast<unsigned int>(frames) : 0u;
}

unsigned int SoundAlgo::getOutBufferOverlap(unsigned int sampleRate) const
{
    unsigned int overlap = getOutOverlap(sampleRate);
    if (mNextAlgo)
        overlap += mNextAlgo->getInOverlap(sampleRate);
    return overlap;
}

unsigned int SoundAlgo::getPreferredBufferSize(unsigned int sampleRate) const
{
    return std::max({SoundBuffer::getDefaultSize(),
                     getOutBufferOverlap(sampleRate) + getSampleShift(sampleRate),
                     getInOverlap(sampleRate)});
}

SoundTools::Status SoundAlgo::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mSampleRate = ctx.sampleRate;
    mPrevAlgo = prev;
    mNextAlgo = next;
    mOffset = ctx.offset;
    if (!prev) {
        const unsigned int preferred = getPreferredBufferSize(mSampleRate);
        if (preferred != 0)
            SoundBuffer::setDefaultSize(preferred);
    }
    if (ctx.channelNb != 2)
        return SoundTools::StatusError;
    const unsigned int nIn = getInputNumber();
    const unsigned int nOut = getOutputNumber();
    if (nIn == 0 || nOut == 0)
        return SoundTools::StatusError;
    mInBuffers.resize(nIn);
    if (initInputBuffer(ctx) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    mOutBuffers.resize(nOut);
    if (initOutputBuffer(ctx) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::initInputBuffer(const LoopContext& ctx)
{
    const unsigned int nIn = getInputNumber();
    if (!mPrevAlgo) {
        const unsigned int frames = SoundBuffer::getDefaultSize() + getInOverlap(mSampleRate);
        for (unsigned int i = 0; i < nIn; ++i) {
            auto buffer = SoundBuffer::createNew(ctx.sampleRate);
            buffer->alloc(frames, static_cast<int>(ctx.channelNb), getInFrameSize(), getInElementSize());
            mInBuffers[i] = buffer;
        }
        return SoundTools::StatusOk;
    }
    if (mPrevAlgo->getOutputNumber() < mPrevAlgo->mOutPortOffset + nIn
        || mPrevAlgo->getOutElementSize() != getInElementSize()
        || mPrevAlgo->getOutFrameSize() != getInFrameSize())
        return SoundTools::StatusError;
    for (unsigned int i = 0; i < nIn; ++i)
        mInBuffers[i] = mPrevAlgo->getOutPort(i);
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::initOutputBuffer(const LoopContext& ctx)
{
    if (mInBuffers.empty() || !mInBuffers[0])
        return SoundTools::StatusError;
    const unsigned int frames = mInBuffers[0]->getFrameNBAllocated() + getOutBufferOverlap(mSampleRate);
    for (auto& out : mOutBuffers) {
        out = SoundBuffer::createNew(ctx.sampleRate);
        out->alloc(frames, 2, getOutFrameSize(), getOutElementSize());
    }
    return SoundTools::StatusOk;
}

void SoundAlgo::setOutOrigin()
{
    const int origin = getInOrigin() - static_cast<int>(getOutBufferOverlap(mSampleRate)) + static_cast<int>(getDelay(mSampleRate));
    for (auto& out : mOutBuffers)
        out->setOrigin(origin);
}

void SoundAlgo::updateOutput(unsigned int consumed)
{
    const int frames = static_cast<int>(getOutBufferOverlap(mSampleRate)) + static_cast<int>(getInFrameNb())
        - static_cast<int>(getInOverlap(mSampleRate));
    for (auto& out : mOutBuffers) {
        if (consumed != 0)
            out->rotate(consumed);
        out->setFrameNB(frames > 0 ? static_cast<unsigned int>(frames) : 0u);
    }
}

void SoundAlgo::endProcess(int /*status*/, unsigned int /*frameNbProcessed*/)
{
    mInBuffers.clear();
    mOutBuffers.clear();
    mPrevAlgo = nullptr;
    mNextAlgo = nullptr;
}

SoundTools::Status SoundAlgo::useInputs(SoundAlgo* other)
{
    const unsigned int n = getInputNumber();
    const unsigned int m = other->getInputNumber();
    auto refuse = [](const QString& message) {
        QMessageLogger().critical("%s", qUtf8Printable(message));
        return SoundTools::StatusError;
    };
    if (m < n) {
        return refuse(QStringLiteral("Error in sharing inputs : %1 has %2 inputs whereas %3 has %4 inputs.")
                          .arg(other->getName())
                          .arg(m)
                          .arg(getName())
                          .arg(n));
    }
    if (other->getInElementSize() != getInElementSize()) {
        return refuse(QStringLiteral("Error in sharing inputs : %1 has elements of size %2 whereas %3 has elements of size %4")
                          .arg(other->getName())
                          .arg(other->getInElementSize())
                          .arg(getName())
                          .arg(getInElementSize()));
    }
    if (other->getInFrameSize() != getInFrameSize()) {
        return refuse(QStringLiteral("Error in sharing inputs : %1 has frames of size %2 whereas %3 has frames of size %4")
                          .arg(other->getName())
                          .arg(other->getInFrameSize())
                          .arg(getName())
                          .arg(getInFrameSize()));
    }
    for (unsigned int i = 0; i < n; ++i) {
        if (mInBuffers[i] != other->mInBuffers[i])
            mInBuffers[i] = other->mInBuffers[i];
    }
    return SoundTools::StatusOk;
}

void SoundAlgo::debugBuffers()
{
    std::ostream& os = getOStream();
    const unsigned int sr = mSampleRate;
    os << "=================================\n";
    os << getName().toStdString() << " :\n";
    if (mInBuffers.empty() || mOutBuffers.empty() || !mInBuffers[0] || !mOutBuffers[0]) {
        os << std::endl;
        return;
    }
    const SoundBuffer& in = *mInBuffers[0];
    const SoundBuffer& out = *mOutBuffers[0];
    os << "InBuffer.getOrigin :" << in.getOrigin() << " InBuffer.getEnd : " << in.getEnd()
       << " InBuffer.getFrameNB :" << in.getFrameNB() << "\n";
    os << "OutBuffer.getOrigin :" << out.getOrigin() << " OutBuffer.getEnd : " << out.getEnd()
       << " OutBuffer.getFrameNB :" << out.getFrameNB() << "\n";
    os << "getInOverlap :" << getInOverlap(sr) << " getOutOverlap :" << getOutOverlap(sr)
       << " getOutBufferOverlap :" << getOutBufferOverlap(sr) << "\n";
    const int inOrigin = getInOrigin();
    const unsigned int inFrames = getInFrameNb();
    os << "getInOrigin :" << inOrigin << " getInFrameNb :" << inFrames
       << " getInEnd :" << inOrigin + static_cast<int>(inFrames) - 1 << "\n";
    const int outOrigin = getOutOrigin();
    const unsigned int outFrames = getOutFrameNb();
    os << "getOutOrigin :" << outOrigin << " getOutFrameNb :" << outFrames
       << " getOutEnd :" << outOrigin + static_cast<int>(outFrames) - 1 << "\n";
    os << "getDelay :" << getDelay(sr) << "\n";
    os << std::endl;
}

// ---------------------------------------------------------------------------
// Processing loop

SoundTools::Status SoundAlgo::initProcessLoop(SoundReader& reader, LoopContext& ctx)
{
    ctx.reset();
    if (getInputNumber() != 1 || getOutputNumber() != 1)
        return SoundTools::StatusError;
    mStopRequest.store(false);

    ctx.sampleRate = reader.getSampleRate();
    const int64_t remaining = static_cast<int64_t>(reader.getFrameNB()) - reader.getOffset();
    ctx.frameNbToProcess = remaining > 0 ? static_cast<uint32_t>(remaining) : 0u;
    ctx.frameNbProcessed = 0;
    ctx.status = SoundTools::StatusOk;
    ctx.offset = reader.getOffset();
    ctx.channelNb = 2;

    if (initProcess(ctx, nullptr, nullptr) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    emit notifyBegin(ctx.frameNbToProcess);

    ctx.inOverlap = getInOverlap(ctx.sampleRate);
    ctx.delay = getDelay(ctx.sampleRate);
    ctx.outOverlap = getOutOverlap(ctx.sampleRate);

    ctx.inBuffer = getInBuffer(0);
    // The first block holds the delay's silent lead-in, the look-back and at
    // least one new frame: make room when the delay exceeds the block size.
    const unsigned int needed = ctx.delay + ctx.inOverlap + 1;
    if (ctx.inBuffer->getFrameNBAllocated() < needed) {
        ctx.inBuffer->alloc(needed + SoundBuffer::getDefaultSize(), static_cast<int>(ctx.inBuffer->getChannelNum()),
                            ctx.inBuffer->getFrameSize(), ctx.inBuffer->getElementSize());
    }
    ctx.inBuffer->setOrigin(ctx.offset);
    ctx.inBuffer->setInitialDelay(ctx.delay);
    setOutOrigin();
    ctx.consumed = 0;
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgo::singleProcessLoop(SoundReader& reader, LoopContext& ctx, SoundWriter* writer)
{
    ctx.status = SoundTools::StatusOk;
    SoundTools::Status result = SoundTools::StatusOk;

    const int originBefore = ctx.inBuffer->getOrigin();
    const unsigned int n = reader.stereoRead(ctx.inBuffer, ctx.inOverlap);
    if (n == 0 && ctx.tail > 0) {
        // Silence after the stream, a block at most at a time, as if read.
        const unsigned int kept = ctx.inBuffer->getFrameNB();
        const unsigned int room = ctx.inBuffer->getFrameNBAllocated() > kept
            ? ctx.inBuffer->getFrameNBAllocated() - kept
            : 1u;
        const unsigned int silent = std::min(ctx.tail, room);
        ctx.inBuffer->appendMargin(silent);
        ctx.tail -= silent;
    } else if (n == 0) {
        const unsigned int shift = getSampleShift(ctx.sampleRate);
        if (ctx.inOverlap == 0 && shift == 0)
            return SoundTools::StatusFinished;
        ctx.inBuffer->appendMargin(shift);
        ctx.frameNbProcessed += shift;
        result = SoundTools::StatusFinished;
    } else {
        ctx.frameNbProcessed += n;
    }

    // The outputs follow the input: they drop as many frames as the input
    // buffer's origin moved (the frames read plus, after the first block,
    // the delay's silent lead-in, less the look-back kept).
    ctx.consumed = ctx.inBuffer->getOrigin() - originBefore;
    updateOutput(ctx.consumed > 0 ? static_cast<unsigned int>(ctx.consumed) : 0u);

    ctx.status = process();
    if (ctx.status != SoundTools::StatusOk) {
        ctx.outBuffer.reset();
        return ctx.status;
    }
    ctx.outBuffer = getOutBuffer(0);

    if (writer && ctx.status == SoundTools::StatusOk) {
        if (writer->writeBuffer(ctx.outBuffer, ctx.outOverlap)) {
            setError(getError(), nullptr);
            ctx.status = SoundTools::StatusError;
        }
    }
    emit notifyInProgress(ctx.frameNbProcessed, ctx.frameNbToProcess);
    if (mStopRequest.load())
        ctx.status = SoundTools::StatusStopped;
    return ctx.status != SoundTools::StatusOk ? ctx.status : result;
}

int SoundAlgo::endProcessLoop(LoopContext& ctx)
{
    emit notifyEnd(ctx.status);
    endProcess(ctx.status, ctx.frameNbProcessed);
    return 0;
}

SoundTools::Status SoundAlgo::processAll(SoundReader& reader, SoundWriter* writer)
{
    LoopContext ctx;
    if (initProcessLoop(reader, ctx) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    while (singleProcessLoop(reader, ctx, writer) == SoundTools::StatusOk) {
    }
    endProcessLoop(ctx);
    return ctx.status;
}

SoundTools::Status SoundAlgo::processAllAligned(SoundReader& reader, SoundWriter* writer)
{
    LoopContext ctx;
    if (initProcessLoop(reader, ctx) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    const unsigned int latency = getLatency(ctx.sampleRate);
    ctx.tail = latency;
    if (writer) {
        const int64_t begin = static_cast<int64_t>(ctx.offset) + latency;
        // An unknown length (0) leaves the end open: the run ends with the
        // stream and its tail.
        const int64_t end = ctx.frameNbToProcess > 0 ? begin + ctx.frameNbToProcess : INT_MAX;
        writer->setRange(static_cast<int>(std::min<int64_t>(begin, INT_MAX)),
                         static_cast<int>(std::min<int64_t>(end, INT_MAX)));
    }
    while (singleProcessLoop(reader, ctx, writer) == SoundTools::StatusOk) {
    }
    endProcessLoop(ctx);
    return ctx.status;
}

// ---------------------------------------------------------------------------
// JSON registry

void SoundAlgo::declareBuilder(SoundAlgoJSonBuilder* builder)
{
    if (builder)
        sJsonBuilders.insert(builder->getClassName(), builder);
}

SoundAlgo* SoundAlgo::createFromJSon(QJsonObject& object)
{
    const QJsonValue cls = object.value(QStringLiteral("Class"));
    if (!cls.isString())
        return nullptr;
    const QString name = cls.toString();
    SoundAlgoJSonBuilder* builder = sJsonBuilders.value(name, nullptr);
    if (!builder) {
        setError(QStringLiteral("Unknown class ") + name, "SoundAlgo::createFromJSon");
        return nullptr;
    }
    SoundAlgo* algo = builder->build(object);
    if (!algo)
        setError(QStringLiteral("Unable to build ") + name, "SoundAlgo::createFromJSon");
    return algo;
}

std::vector<SoundAlgo*> SoundAlgo::createFromJSon(QJsonArray& array)
{
    std::vector<SoundAlgo*> result;
    result.reserve(static_cast<size_t>(array.size()));
    for (const QJsonValue& value : array) {
        if (!value.isObject())
            continue;
        QJsonObject object = value.toObject();
        if (SoundAlgo* algo = createFromJSon(object))
            result.push_back(algo);
    }
    return result;
}
