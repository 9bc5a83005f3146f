// Base class of every processing node.
//
// A node owns its output buffers and reads its input buffers (its own, or the
// outputs of the node before it). Each node answers four questions about
// itself, all in frames for a given sample rate:
//   delay D        its output is its input moved D frames later;
//   in overlap I   each input block repeats the last I frames of the previous
//                  one (look-back or look-ahead context);
//   out overlap O  the last O frames of each output block are unfinished and
//                  stay in the buffer for the next block;
//   sample shift S silent frames to feed after the stream so that the node
//                  delivers its last frames.
// From these the base class derives where its output starts, how many frames
// it produces per block, how large the buffers are and how the output is
// carried from block to block. The processing loop drives one top node.
#ifndef VEXA_SOUNDALGO_H
#define VEXA_SOUNDALGO_H

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundRefCounted.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <boost/noncopyable.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class SoundReader;
class SoundWriter;

class VEXA_EXPORT SoundAlgo : public QObject, public SoundDebuggableClass, public SoundRefCounted, private boost::noncopyable {
    Q_OBJECT

public:
    // State of one processing run, owned by the caller of the loop.
    struct VEXA_EXPORT LoopContext {
        uint32_t inOverlap = 0;
        uint32_t delay = 0;
        uint32_t outOverlap = 0;
        uint32_t sampleRate = 0;
        uint32_t frameNbToProcess = 0;
        uint32_t frameNbProcessed = 0;
        uint32_t channelNb = 2;
        int32_t offset = 0;
        // Frames by which the outputs advance before the next block: the
        // distance the input buffer's origin moved since the previous block.
        int32_t consumed = 0;
        // Silent frames still to feed after the end of the stream, before the
        // node's own sample shift: a lagging node's last frames
        // (processAllAligned).
        uint32_t tail = 0;
        std::shared_ptr<SoundBuffer> inBuffer;
        std::shared_ptr<SoundBuffer> outBuffer;
        SoundTools::Status status = SoundTools::StatusOk;

        LoopContext() = default;
        void reset();
    };

    // Builds nodes of one class from their JSON description.
    class VEXA_EXPORT SoundAlgoJSonBuilder {
    public:
        // Null when the object does not describe a node of the class.
        virtual SoundAlgo* build(QJsonObject& object) = 0;
        virtual QString getClassName() = 0;
    };

    SoundAlgo();
    explicit SoundAlgo(QString id);

    // Run-time class name, followed by "(id)" when the id is not empty.
    virtual QString getName();
    QString getId() const { return mId; }
    void setId(QString id) { mId = std::move(id); }

    virtual void writeToJSon(QJsonObject& object) const;

    virtual SoundTools::Status process() = 0;
    virtual unsigned int getInputNumber() const { return 1; }
    virtual unsigned int getOutputNumber() const { return 1; }
    virtual unsigned int getInFrameSize() const { return 1; }
    virtual unsigned int getOutFrameSize() const { return 1; }
    virtual unsigned int getInElementSize() const { return 1; }
    virtual unsigned int getOutElementSize() const { return 1; }
    virtual unsigned int getDelay(unsigned int /*sampleRate*/) const { return 0; }
    virtual unsigned int getSampleShift(unsigned int /*sampleRate*/) const { return 0; }
    virtual unsigned int getInOverlap(unsigned int /*sampleRate*/) const { return 0; }
    virtual unsigned int getOutOverlap(unsigned int /*sampleRate*/) const { return 0; }
    // Frames by which the node's output lags its input on the stream's time
    // line as a side effect of the processing (the centre of a linear-phase
    // filter, a gate's look-ahead window), as opposed to a delay that is the
    // node's purpose. processAllAligned takes it back.
    virtual unsigned int getLatency(unsigned int /*sampleRate*/) const { return 0; }

    unsigned int getSampleRate() const { return mSampleRate; }
    std::shared_ptr<SoundBuffer> getInBuffer(unsigned int i) const { return mInBuffers[i]; }
    std::shared_ptr<SoundBuffer> getOutBuffer(unsigned int i) const { return mOutBuffers[i]; }

    // The processing loop: prepare, process block by block, end. processAll
    // runs the three steps over the whole stream. The reader must be open and
    // positioned; the writer (optional) open with its range set.
    SoundTools::Status initProcessLoop(SoundReader& reader, LoopContext& ctx);
    SoundTools::Status singleProcessLoop(SoundReader& reader, LoopContext& ctx, SoundWriter* writer);
    int endProcessLoop(LoopContext& ctx);
    SoundTools::Status processAll(SoundReader& reader, SoundWriter* writer);
    // processAll with the node's latency taken back: the writer's range is
    // set to the stream from the reader's position, moved by getLatency, and
    // as many silent frames follow the stream, so that the output has the
    // input's length and lines up with it, its last frames included.
    SoundTools::Status processAllAligned(SoundReader& reader, SoundWriter* writer);

    // JSON registry: nodes rebuilt by class name. The caller owns the nodes.
    static void declareBuilder(SoundAlgoJSonBuilder* builder);
    static SoundAlgo* createFromJSon(QJsonObject& object);
    static std::vector<SoundAlgo*> createFromJSon(QJsonArray& array);

public slots:
    // Ends a running loop after the current block. Safe from any thread.
    void pleaseStop();

signals:
    void notifyBegin(unsigned int aFrameNBToProcess);
    void notifyInProgress(unsigned int aFrameNBProcessed, unsigned int aFrameNBToProcess);
    void notifyEnd(int aStatus);

protected:
    // Nodes are released through their reference count (or deleted through
    // a concrete class).
    ~SoundAlgo() override;

    virtual void debugBuffers();
    virtual bool readFromJSon(QJsonObject& object);

    // Frames the output buffer keeps for the next block: the node's own out
    // overlap plus the look-back of the node reading it.
    virtual unsigned int getOutBufferOverlap(unsigned int sampleRate) const;
    virtual SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next);
    virtual SoundTools::Status initInputBuffer(const LoopContext& ctx);
    virtual SoundTools::Status initOutputBuffer(const LoopContext& ctx);
    virtual void setOutOrigin();
    virtual void updateOutput(unsigned int consumed);
    virtual unsigned int getPreferredBufferSize(unsigned int sampleRate) const;
    virtual void endProcess(int status, unsigned int frameNbProcessed);
    virtual int getOutOrigin() const;

    int getOffset() const { return mOffset; }
    std::shared_ptr<SoundBuffer> getOutPort(unsigned int i) const { return getOutBuffer(mOutPortOffset + i); }
    unsigned int getOutPortNumber() const { return getOutputNumber() - mOutPortOffset; }
    void setOutPortOffset(unsigned int offset) { mOutPortOffset = offset; }

    int getInOrigin() const;
    unsigned int getInFrameNb() const;
    unsigned int getOutFrameNb() const;

    SoundTools::Status useInputs(SoundAlgo* other);

    std::vector<std::shared_ptr<SoundBuffer>> mInBuffers;
    std::vector<std::shared_ptr<SoundBuffer>> mOutBuffers;
    unsigned int mOutPortOffset = 0;
    unsigned int mSampleRate = 0;
    SoundAlgo* mPrevAlgo = nullptr;
    SoundAlgo* mNextAlgo = nullptr;
    int mOffset = 0;

private:
    friend class SoundAlgoComposite;

    std::atomic<bool> mStopRequest{false};
    QString mId;

    static QHash<QString, SoundAlgoJSonBuilder*> sJsonBuilders;
};

#endif
