// File-to-file driver for timing the library beside the command-line tools
// people use today: one operation per call, reading and writing real files.
//
//   vexa_bench copy IN OUT      read and write, nothing done
//   vexa_bench eq10 IN OUT      10-band peaking equalizer, 31 Hz - 16 kHz,
//                               1 octave, alternately +3 and -3 dB
//   vexa_bench limit IN OUT     look-ahead limiter: +6 dB, ceiling 0.98,
//                               look-ahead 10 ms, release 100 ms
//   vexa_bench detect IN        track detection (step detector, default
//                               parameters), prints the regions found
//   vexa_bench split IN TEMPLATE  detection, then one file per track
//                               (30 s minimum), named after TEMPLATE
//   vexa_bench stats IN         whole-file RMS and peak levels
#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoStats.h"
#include "SoundReader.h"
#include "SoundWriter.h"
#include "SoundWriterMultiFile.h"

#include <QLoggingCategory>
#include <QString>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

std::unique_ptr<SoundReader> openReader(const char* name)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(QString::fromLocal8Bit(name)));
    if (!reader || reader->open(QString::fromLocal8Bit(name)) != SoundTools::StatusOk) {
        std::fprintf(stderr, "cannot read %s: %s\n", name, qPrintable(SoundDebuggableClass::getError()));
        return nullptr;
    }
    reader->rewind();
    return reader;
}

int run(SoundAlgo* node, const char* in, const char* out)
{
    std::unique_ptr<SoundReader> reader = openReader(in);
    if (!reader)
        return 1;
    std::unique_ptr<SoundWriter> writer(
        SoundWriter::getFromFilename(QString::fromLocal8Bit(out), reader->getSampleRate(), 192, SoundTools::PCM16));
    if (!writer || writer->open(QString::fromLocal8Bit(out)) != SoundTools::StatusOk) {
        std::fprintf(stderr, "cannot write %s: %s\n", out, qPrintable(SoundDebuggableClass::getError()));
        return 1;
    }
    writer->setRange(reader->getOffset(), INT_MAX);
    const SoundTools::Status s = node->processAll(*reader, writer.get());
    writer->close();
    node->release();
    if (s != SoundTools::StatusOk) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(SoundDebuggableClass::getError()));
        return 1;
    }
    return 0;
}

// Detection with the detector's default parameters; null on failure.
RMSStepDetector* detect(SoundReader& reader)
{
    auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
    if (detector->processAll(reader, nullptr) != SoundTools::StatusOk) {
        detector->release();
        return nullptr;
    }
    return detector;
}

int split(const char* in, const char* nameTemplate)
{
    std::unique_ptr<SoundReader> reader = openReader(in);
    RMSStepDetector* detector = reader ? detect(*reader) : nullptr;
    if (!detector)
        return 1;
    reader->rewind();
    SoundWriterMultiFile writer(detector, 30.0, reader->getSampleRate(), 2, 192, SoundTools::PCM16);
    detector->release(); // the writer holds its own reference
    if (writer.open(QString::fromLocal8Bit(nameTemplate)) != SoundTools::StatusOk)
        return 1;
    auto* pass = new SoundAlgoBypass();
    const SoundTools::Status s = pass->processAll(*reader, &writer);
    pass->release();
    writer.close();
    std::printf("%d files\n", writer.GetWrittenFiles());
    return s == SoundTools::StatusOk ? 0 : 1;
}

// Whole-file level statistics (RMS and peak per channel, RMS of both),
// printed like a report; nothing is written.
int stats(const char* in)
{
    std::unique_ptr<SoundReader> reader = openReader(in);
    if (!reader)
        return 1;
    auto* node = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
    const SoundTools::Status s = node->processAll(*reader, nullptr);
    SoundTools::StereoFrame<double> rms{-100.0, -100.0};
    SoundTools::StereoFrame<double> peak{-100.0, -100.0};
    double full = -100.0;
    node->getGlobalStats(rms, full, peak);
    std::printf("frames %u\nRMS dB %.2f (left %.2f, right %.2f)\nPeak dB left %.2f, right %.2f\n", node->getTotalCount(),
                full, rms.left, rms.right, peak.left, peak.right);
    node->release();
    return s == SoundTools::StatusOk ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const bool detectOnly = argc == 3 && std::strcmp(argv[1], "detect") == 0;
    const bool statsOnly = argc == 3 && std::strcmp(argv[1], "stats") == 0;
    if (argc != 4 && !detectOnly && !statsOnly) {
        std::fprintf(stderr, "usage: vexa_bench copy|eq10|limit IN OUT, vexa_bench split IN TEMPLATE, "
                             "vexa_bench detect|stats IN\n");
        return 2;
    }
    // Blocks of 64 k frames keep a cascade's working set in the cache.
    SoundBuffer::setDefaultSize(65536);
    if (statsOnly)
        return stats(argv[2]);
    if (detectOnly) {
        std::unique_ptr<SoundReader> reader = openReader(argv[2]);
        RMSStepDetector* detector = reader ? detect(*reader) : nullptr;
        if (!detector)
            return 1;
        std::printf("%d regions, %d tracks\n", detector->size(), detector->getSegmentsNumber());
        detector->release();
        return 0;
    }
    if (std::strcmp(argv[1], "copy") == 0)
        return run(new SoundAlgoBypass(), argv[2], argv[3]);
    if (std::strcmp(argv[1], "eq10") == 0) {
        auto* eq = new SoundAlgoFilterBiquad();
        const double freqs[10] = {31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
        for (int i = 0; i < 10; ++i)
            eq->pushFilter(SoundTools::BandEq, freqs[i], 1.0, i % 2 ? -3.0 : 3.0);
        return run(eq, argv[2], argv[3]);
    }
    if (std::strcmp(argv[1], "limit") == 0)
        return run(new SoundAlgoLimiter(6.0, 0.01, 0.1, nullptr), argv[2], argv[3]);
    if (std::strcmp(argv[1], "split") == 0)
        return split(argv[2], argv[3]);
    std::fprintf(stderr, "unknown operation %s\n", argv[1]);
    return 2;
}
