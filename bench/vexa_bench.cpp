// File-to-file driver for timing the library beside the command-line tools
// people use today: one operation per call, reading and writing real files.
//
//   vexa_bench copy IN OUT      read and write, nothing done
//   vexa_bench eq10 IN OUT      10-band peaking equalizer, 31 Hz - 16 kHz,
//                               1 octave, alternately +3 and -3 dB
//   vexa_bench detect IN        track detection (step detector, default
//                               parameters), prints the regions found
//   vexa_bench split IN TEMPLATE  detection, then one file per track
//                               (30 s minimum), named after TEMPLATE
//   vexa_bench limit IN OUT     look-ahead limiter: +6 dB, ceiling 0.98,
//                               look-ahead 10 ms, release 100 ms
#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoLimiter.h"
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

int run(SoundAlgo* node, const char* in, const char* out)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(QString::fromLocal8Bit(in)));
    if (!reader || reader->open(QString::fromLocal8Bit(in)) != SoundTools::StatusOk) {
        std::fprintf(stderr, "cannot read %s: %s\n", in, qPrintable(SoundDebuggableClass::getError()));
        return 1;
    }
    reader->rewind();
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

} // namespace

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (argc < 3 || (argc != 4 && std::strcmp(argv[1], "detect") != 0)) {
        std::fprintf(stderr, "usage: vexa_bench copy|eq10|limit IN OUT, vexa_bench detect IN\n");
        return 2;
    }
    // Blocks of 64 k frames keep a cascade's working set in the cache.
    SoundBuffer::setDefaultSize(65536);
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
    if (std::strcmp(argv[1], "split") == 0) {
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(QString::fromLocal8Bit(argv[2])));
        if (!reader || reader->open(QString::fromLocal8Bit(argv[2])) != SoundTools::StatusOk) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[2], qPrintable(SoundDebuggableClass::getError()));
            return 1;
        }
        reader->rewind();
        auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
        if (detector->processAll(*reader, nullptr) != SoundTools::StatusOk)
            return 1;
        reader->rewind();
        int files = 0;
        SoundTools::Status s;
        {
            SoundWriterMultiFile writer(detector, 30.0, reader->getSampleRate(), 2, 192, SoundTools::PCM16);
            detector->release();
            if (writer.open(QString::fromLocal8Bit(argv[3])) != SoundTools::StatusOk)
                return 1;
            auto* pass = new SoundAlgoBypass();
            s = pass->processAll(*reader, &writer);
            pass->release();
            writer.close();
            files = writer.GetWrittenFiles();
        }
        std::printf("%d files\n", files);
        return s == SoundTools::StatusOk ? 0 : 1;
    }
    if (std::strcmp(argv[1], "detect") == 0) {
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(QString::fromLocal8Bit(argv[2])));
        if (!reader || reader->open(QString::fromLocal8Bit(argv[2])) != SoundTools::StatusOk) {
            std::fprintf(stderr, "cannot read %s: %s\n", argv[2], qPrintable(SoundDebuggableClass::getError()));
            return 1;
        }
        reader->rewind();
        auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
        const SoundTools::Status s = detector->processAll(*reader, nullptr);
        std::printf("%d regions, %d tracks\n", detector->size(), detector->getSegmentsNumber());
        detector->release();
        return s == SoundTools::StatusOk ? 0 : 1;
    }
    std::fprintf(stderr, "unknown operation %s\n", argv[1]);
    return 2;
}
