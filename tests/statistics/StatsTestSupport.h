// Helpers shared by the statistics tests: running a node over frames held
// in memory, capturing Qt log messages, building statistics nodes with
// chosen accumulators.
#ifndef VEXA_TESTS_STATSTESTSUPPORT_H
#define VEXA_TESTS_STATSTESTSUPPORT_H

#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "SoundAlgoStats.h"
#include "StreamRun.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QLoggingCategory>
#include <QStringList>
#include <QtGlobal>

#include <cmath>
#include <vector>

namespace statstest {

using SoundTools::StereoFrame;
using Frames = std::vector<StereoFrame<double>>;

inline double db(double x)
{
    return x > 1e-20 ? 20.0 * std::log10(x) : -100.0;
}

// Keeps the default block size of the test's runs local to the test.
using StatsTest = DefaultSizeTest;

// Runs a whole stream through a node at the given rate; returns the frames
// written.
inline Frames runStreamAt(SoundAlgo& node, const Frames& input, unsigned int sampleRate, unsigned int blockSize = 1048576,
                        unsigned int maxChunk = 0)
{
    return ::runStream(node, input, blockSize, sampleRate, maxChunk);
}

// A node holding the given accumulators, as a statistics file would give it.
inline SoundAlgoStats* makeStats(int count, double leftSqr, double rightSqr, double leftMax = 0.0,
                                 double rightMax = 0.0, int sampleRate = 44100)
{
    QJsonObject o{{"Class", "SoundAlgoStats"}, {"OutputType", 2},       {"WindowTime", 0.0},
                  {"TotalCount", count},       {"LeftSqr", leftSqr},    {"RightSqr", rightSqr},
                  {"LeftMax", leftMax},        {"RightMax", rightMax},  {"SampleRate", sampleRate}};
    return SoundAlgoStats::createFromJSon(o);
}

// A node whose full RMS level is `levelDb` (one frame, both channels).
inline SoundAlgoStats* statsAtLevel(double levelDb)
{
    const double ms = std::pow(10.0, levelDb / 10.0);
    return makeStats(1, ms, ms);
}

// Collects the Qt messages of a scope (debug messages included).
class LogCapture {
public:
    LogCapture()
    {
        sCurrent = this;
        mPrevious = qInstallMessageHandler(&LogCapture::handler);
        // The test environment turns debug messages off; a category filter
        // has the last word.
        sPreviousFilter = QLoggingCategory::installFilter(&LogCapture::enableDebug);
    }
    ~LogCapture()
    {
        QLoggingCategory::installFilter(sPreviousFilter);
        qInstallMessageHandler(mPrevious);
        sCurrent = nullptr;
    }
    QStringList critical;
    QStringList debug;
    QStringList warning;

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (!sCurrent)
            return;
        if (type == QtCriticalMsg)
            sCurrent->critical.append(text);
        else if (type == QtDebugMsg)
            sCurrent->debug.append(text);
        else if (type == QtWarningMsg)
            sCurrent->warning.append(text);
    }
    static void enableDebug(QLoggingCategory* category)
    {
        if (sPreviousFilter)
            sPreviousFilter(category);
        if (qstrcmp(category->categoryName(), "default") == 0)
            category->setEnabled(QtDebugMsg, true);
    }
    static inline LogCapture* sCurrent = nullptr;
    static inline QLoggingCategory::CategoryFilter sPreviousFilter = nullptr;
    QtMessageHandler mPrevious = nullptr;
};

} // namespace statstest

#endif
