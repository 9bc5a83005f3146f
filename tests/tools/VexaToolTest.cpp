#include "TestSignals.h"

#include "BiquadEqBuilder.h"
#include "SoundStatFile.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <cmath>
#include <complex>
#include <map>
#include <optional>
#include <random>

namespace {

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// How long a run of the tool may take: two minutes, times
// VEXA_TOOL_TIMEOUT_SCALE (set by the valgrind run, where everything is
// some 50 times slower).
int toolTimeoutMs()
{
    const int scale = qEnvironmentVariableIntValue("VEXA_TOOL_TIMEOUT_SCALE");
    return 120000 * std::max(1, scale);
}

ToolRun runTool(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(VEXA_TOOL), args);
    ToolRun r;
    if (!p.waitForFinished(toolTimeoutMs())) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("timed out");
        return r;
    }
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// A stereo float WAV of the given frames (mono: their left channel).
void writeWav(const QString& name, const std::vector<SoundTools::StereoFrame<double>>& frames, unsigned int rate,
              SoundTools::SoundFormat format = SoundTools::Float,
              SoundWriterSndfile::FileType type = SoundWriterSndfile::WAV, int channels = 2)
{
    SoundWriterSndfile w(rate, static_cast<unsigned int>(channels), format, type);
    ASSERT_EQ(w.open(name), SoundTools::StatusOk);
    auto b = SoundBuffer::createNew(rate);
    b->alloc(static_cast<unsigned int>(frames.size()), channels, 1, 1);
    b->setFrameNB(static_cast<unsigned int>(frames.size()));
    for (size_t i = 0; i < frames.size(); ++i) {
        double* f = b->getRelFrame(static_cast<int>(i));
        f[0] = frames[i].left;
        if (channels == 2)
            f[1] = frames[i].right;
    }
    ASSERT_FALSE(w.writeBuffer(b, 0));
    w.close();
}

std::vector<SoundTools::StereoFrame<double>> readWav(const QString& name)
{
    SoundReaderSndfile r;
    if (r.open(name) != SoundTools::StatusOk)
        return {};
    r.rewind();
    auto b = SoundBuffer::createNew(r.getSampleRate());
    b->alloc(4096, 2, 1, 1);
    std::vector<SoundTools::StereoFrame<double>> out;
    unsigned int n;
    while ((n = r.stereoRead(b, 0)) > 0) {
        for (unsigned int i = 0; i < n; ++i)
            out.push_back(*b->getRelStereoFrame(static_cast<int>(i)));
    }
    return out;
}

std::vector<SoundTools::StereoFrame<double>> sine(unsigned int frames, double freq, double amp, unsigned int rate,
                                                  double phase = 0.0)
{
    std::vector<SoundTools::StereoFrame<double>> f(frames);
    for (unsigned int i = 0; i < frames; ++i) {
        const double v = amp * std::sin(2 * M_PI * freq * i / rate + phase);
        f[i] = {v, -0.5 * v};
    }
    return f;
}

// Equal-amplitude sines at logarithmically spaced frequencies from 20 Hz to
// 20 kHz, random phases, independent channels: their power per band is
// proportional to the band's logarithmic width, as pink noise's is, times
// the tilt's power (amplitude multiplied by (f / 1 kHz)^tilt).
std::vector<SoundTools::StereoFrame<double>> logSines(unsigned int frames, unsigned int rate, double tilt)
{
    const int count = 600;
    std::mt19937 random(11);
    std::uniform_real_distribution<double> phase(0.0, 2 * M_PI);
    std::vector<SoundTools::StereoFrame<double>> x(frames, {0.0, 0.0});
    for (int k = 0; k < count; ++k) {
        const double f = 20.0 * std::pow(1000.0, (k + 0.5) / count);
        const double amp = 0.02 * std::pow(f / 1000.0, tilt);
        // Rotating phasors: one complex multiplication a sample.
        const std::complex<double> step = std::polar(1.0, 2 * M_PI * f / rate);
        std::complex<double> l = std::polar(amp, phase(random));
        std::complex<double> r = std::polar(amp, phase(random));
        for (unsigned int i = 0; i < frames; ++i) {
            x[i].left += l.imag();
            x[i].right += r.imag();
            l *= step;
            r *= step;
        }
    }
    return x;
}

// Files a run left in a folder besides the expected ones.
QStringList leftovers(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

TEST(VexaTool, HelpAndVersion)
{
    ToolRun r = runTool({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.startsWith("vexa "));
    for (const char* command : {"info", "process", "split", "analyze", "tag", "match", "play", "demo"}) {
        r = runTool({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(r.out.contains("usage: vexa")) << command;
        EXPECT_TRUE(r.out.contains("examples:")) << command;
    }
    r = runTool({});
    EXPECT_EQ(r.status, 2);
    r = runTool({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.startsWith("vexa: error: unknown command"));
}

TEST(VexaTool, InfoReportsTheFile)
{
    QTemporaryDir dir;
    const QString wav = dir.filePath("tone.wav");
    writeWav(wav, sine(22050, 440, 0.5, 11025), 11025, SoundTools::PCM24);
    ToolRun r = runTool({"info", "--json", wav});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonArray files = QJsonDocument::fromJson(r.out.toUtf8()).array();
    ASSERT_EQ(files.size(), 1);
    const QJsonObject o = files[0].toObject();
    EXPECT_EQ(o.value("sample_rate").toInt(), 11025);
    EXPECT_EQ(o.value("frames").toInt(), 22050);
    EXPECT_EQ(o.value("sample_format").toString(), "pcm24");
    EXPECT_EQ(o.value("length").toString(), "00:00:02.000");

    r = runTool({"info", wav});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.contains("00:00:02.000"));

    // A lossy file names its codec and has no sample format.
    const QString ogg = dir.filePath("tone.ogg");
    writeWav(ogg, sine(22050, 440, 0.5, 11025), 11025, SoundTools::PCM16, SoundWriterSndfile::OGG);
    r = runTool({"info", "--json", ogg});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonObject v = QJsonDocument::fromJson(r.out.toUtf8()).array()[0].toObject();
    EXPECT_EQ(v.value("codec").toString(), "Vorbis");
    EXPECT_FALSE(v.contains("sample_format"));
}

// What cannot be done is refused before anything is written: filters at or
// beyond the Nyquist frequency, a start past the end, a format vexa does
// not write.
TEST(VexaTool, ProcessRefusesWhatItCannotDo)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.wav");
    writeWav(in, sine(44 * 8000, 440, 0.3, 8000), 8000);
    const struct {
        QStringList args;
        const char* said;
    } cases[] = {
        {{"--low-pass", "5000"}, "Nyquist frequency"},
        {{"--fir-band-pass", "100:4000"}, "Nyquist frequency"},
        {{"--start", "100"}, "is only 44.0 s long"},
        {{"--gain", "0", "--out-name", "out.aiff"}, "not .aiff"},
    };
    for (const auto& c : cases) {
        QStringList args = c.args;
        QString out = dir.filePath("out.wav");
        if (args.contains("--out-name")) {
            out = dir.filePath(args.last());
            args = args.mid(0, args.indexOf("--out-name"));
        }
        const ToolRun r = runTool(QStringList({"process", in, out}) + args + QStringList({"--quiet"}));
        EXPECT_EQ(r.status, 2) << qPrintable(c.args.join(' '));
        EXPECT_TRUE(r.err.contains(QLatin1String(c.said))) << qPrintable(r.err);
        EXPECT_FALSE(QFile::exists(out)) << qPrintable(c.args.join(' '));
    }
}

// A cut file: info gives the length that can be read and says the file is
// damaged; process writes what can be read and warns.
TEST(VexaTool, CutFilesAreMeasuredAndReported)
{
    QTemporaryDir dir;
    const unsigned int rate = 8000;
    for (const auto& [ext, type] : {std::pair<const char*, SoundWriterSndfile::FileType>{"flac", SoundWriterSndfile::FLAC},
                                    {"ogg", SoundWriterSndfile::OGG}}) {
        const QString whole = dir.filePath(QStringLiteral("whole.%1").arg(ext));
        writeWav(whole, sine(30 * rate, 440, 0.3, rate), rate, SoundTools::PCM16, type);
        QFile in(whole);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly));
        const QString cut = dir.filePath(QStringLiteral("cut.%1").arg(ext));
        QFile out(cut);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(in.read(in.size() * 2 / 5));
        out.close();

        ToolRun r = runTool({"info", "--json", cut});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).array()[0].toObject();
        EXPECT_TRUE(o.value("damaged").toBool()) << ext;
        const double frames = o.value("frames").toDouble();
        EXPECT_GT(frames, 6.0 * rate) << ext;
        EXPECT_LT(frames, 18.0 * rate) << ext;

        const QString wav = dir.filePath(QStringLiteral("from-%1.wav").arg(ext));
        r = runTool({"process", cut, wav, "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_TRUE(r.err.contains("warning") && r.err.contains("a cut or damaged file")) << qPrintable(r.err);
        EXPECT_EQ(static_cast<double>(readWav(wav).size()), frames) << ext;
    }
}

// Samples beyond full scale written to an integer format are counted and
// reported; a float file keeps them.
TEST(VexaTool, ClippingIsReported)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.wav");
    const auto x = sine(8000, 440, 0.3, 8000);
    writeWav(in, x, 8000);
    size_t beyond = 0; // samples of both channels above full scale after +12 dB
    const double g = std::pow(10.0, 12.0 / 20.0);
    for (const auto& f : x)
        beyond += (std::fabs(static_cast<float>(f.left) * g) > 1.0) + (std::fabs(static_cast<float>(f.right) * g) > 1.0);
    ASSERT_GT(beyond, 0u);
    const struct {
        const char* format;
        bool reported;
    } cases[] = {{"pcm16", true}, {"pcm24", true}, {"float", false}};
    for (const auto& c : cases) {
        const ToolRun r = runTool({"process", in, dir.filePath("out.wav"), "--gain", "12", "--format", c.format, "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_EQ(r.err.contains(QStringLiteral(": %1 samples beyond full scale were clipped").arg(beyond)), c.reported)
            << c.format << ": " << qPrintable(r.err);
    }
    // The tracks of split, from a float file whose level moves like music.
    std::vector<SoundTools::StereoFrame<double>> loud(20 * 8000);
    size_t over = 0;
    for (size_t i = 0; i < loud.size(); ++i) {
        const double v = 1.5 * (0.55 + 0.45 * std::sin(2 * M_PI * 0.5 * i / 8000.0)) * std::sin(2 * M_PI * 440.0 * i / 8000.0);
        loud[i] = {v, v};
        over += 2 * (std::fabs(static_cast<float>(v)) > 1.0);
    }
    writeWav(dir.filePath("loud.wav"), loud, 8000);
    const ToolRun r = runTool({"split", dir.filePath("loud.wav"), dir.filePath("tracks/t.wav"), "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains(QStringLiteral("%1 samples beyond full scale were clipped in the tracks").arg(over))) << qPrintable(r.err);
}

// FFT band levels come from windowed frames: a pure tone stays in its band
// (an unwindowed frame leaks it to -37 dB two bands away).
TEST(VexaTool, FftBandsKeepATone)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("tone.wav");
    // Not a whole number of frames: the cut last frame must not spread the tone.
    writeWav(in, sine(8192 * 40 + 3000, 300, 0.5, 44100), 44100);
    const ToolRun r = runTool({"analyze", in, "--fft", "8192", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonArray bands = QJsonDocument::fromJson(r.out.toUtf8()).object().value("bands").toArray();
    ASSERT_EQ(bands.size(), 10);
    EXPECT_DOUBLE_EQ(bands[1].toObject().value("relative_db").toDouble(), 0.0); // 250-500 Hz holds the tone
    for (int b = 3; b < 10; ++b) // two bands away and beyond
        EXPECT_LT(bands[b].toObject().value("relative_db").toDouble(), -90.0) << b;
}

// The chain of options gives the same samples as the library's own nodes.
TEST(VexaTool, ProcessRunsTheChainInOrder)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.wav");
    const QString out = dir.filePath("out.wav");
    const auto x = testsignals::noiseFrames(30000, 3, 0.25);
    writeWav(in, x, 44100);
    ToolRun r = runTool({"process", in, out, "--eq", "1000:6:0.5", "--gain", "-6", "--format", "float", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);

    auto band = SoundTools::BiquadEqBuilder(SoundTools::BandEq, 1000, 0.5, 6).buildFilter(44100);
    std::vector<SoundTools::StereoFrame<double>> want(x.begin(), x.end());
    for (auto& f : want) // the input as the float file holds it
        f = {static_cast<float>(f.left), static_cast<float>(f.right)};
    band->filter(want.data(), want.data(), static_cast<unsigned int>(want.size()));
    const auto got = readWav(out);
    ASSERT_EQ(got.size(), want.size());
    const double g = std::pow(10.0, -6.0 / 20.0);
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(got[i].left, want[i].left * g, 1e-6) << i;
    EXPECT_EQ(leftovers(dir.path()), QStringList({"in.wav", "out.wav"}));
}

// Every processing option, alone and chained, and the matching equalizer:
// the output has the input's length, lines up with it (the lag of the best
// cross-correlation is 0; a minimum-phase IIR filter peaks one frame late)
// and keeps its last frames.
TEST(VexaTool, OutputsKeepLengthAndAlignment)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.wav");
    const unsigned int frames = 44100 + 4567;
    auto x = testsignals::noiseFrames(frames, 5, 0.2);
    for (unsigned int i = 20000; i < 24000; ++i) // a loud stretch for the limiter
        x[i] = {4 * x[i].left, 4 * x[i].right};
    writeWav(in, x, 44100);
    const struct {
        QStringList options;
        int maxLag;
    } cases[] = {
        {{"--gain", "-3"}, 0},
        {{"--eq", "1000:3"}, 0},
        {{"--low-shelf", "100:3", "--high-shelf", "8000:-3"}, 0},
        {{"--low-pass", "8000"}, 1},
        {{"--high-pass", "100"}, 0},
        {{"--a-weight"}, 1},
        {{"--preset", "Rock"}, 0},
        {{"--fir-low-pass", "8000"}, 0},
        {{"--fir-high-pass", "200"}, 0},
        {{"--fir-band-pass", "300:3000"}, 0},
        {{"--fft-low-pass", "8000"}, 0},
        {{"--fft-high-pass", "200", "--transition", "100"}, 0},
        {{"--fft-band-pass", "300:3000"}, 0},
        {{"--gate", "-50"}, 0},
        {{"--limit", "6"}, 0},
        {{"--level", "-20"}, 0},
        {{"--level", "-20", "--multiband", "200,2000"}, 0},
        {{"--gate", "-50", "--fft-low-pass", "8000", "--fir-high-pass", "200", "--limit", "0"}, 0},
        {{"--start", "0.25", "--fft-low-pass", "8000", "--gate", "-50"}, 0},
        {{"match"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qPrintable(c.options.join(' ')));
        const QString out = dir.filePath("out.wav");
        QFile::remove(out);
        const bool match = c.options.front() == QLatin1String("match");
        const ToolRun r = match ? runTool({"match", in, "--reference", "speech", "--apply", out, "--format", "float", "--quiet"})
                                : runTool(QStringList{"process", in, out, "--format", "float", "--quiet"} + c.options);
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        const auto y = readWav(out);
        const int start = c.options.contains("--start") ? 11025 : 0;
        ASSERT_EQ(y.size(), frames - start);

        // The lag of the best correlation over a stretch of 8192 frames.
        int best = 0;
        double bestCorr = -1;
        for (int lag = -300; lag <= 300; ++lag) {
            double sum = 0;
            for (int i = 10000; i < 18192; ++i)
                sum += x[start + i].left * y[i + lag].left;
            if (std::abs(sum) > bestCorr) {
                bestCorr = std::abs(sum);
                best = lag;
            }
        }
        EXPECT_GE(best, 0);
        EXPECT_LE(best, c.maxLag);

        // The last 256 frames carry as much as the middle of the output.
        const auto rms = [&y](size_t from, size_t n) {
            double e = 0;
            for (size_t i = from; i < from + n; ++i)
                e += y[i].left * y[i].left + y[i].right * y[i].right;
            return std::sqrt(e / n);
        };
        EXPECT_NEAR(20 * std::log10(rms(y.size() - 256, 256) / rms(30000, 8192)), 0.0, 6.0);
    }
}

// Several files at once: each output as a single run writes it, one line per
// file, and a file that fails does not stop the others but sets the status.
TEST(VexaTool, SeveralFilesRunSideBySide)
{
    QTemporaryDir dir;
    QStringList inputs;
    for (int i = 0; i < 3; ++i) {
        inputs << dir.filePath(QStringLiteral("in%1.wav").arg(i));
        writeWav(inputs.back(), testsignals::noiseFrames(20000 + 1000 * i, 10 + i, 0.2), 44100);
    }
    const QString bad = dir.filePath("bad.wav");
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not audio");
    f.close();

    const QString outDir = dir.filePath("out");
    ToolRun r = runTool(QStringList{"process"} + inputs + QStringList{bad, "--output-dir", outDir, "--gain", "-6",
                                                                   "--format", "float", "--jobs", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.count(QStringLiteral("ok ")), 3) << qPrintable(r.out);
    EXPECT_TRUE(r.out.contains(QStringLiteral("failed %1: ").arg(bad))) << qPrintable(r.out);
    for (const QString& in : inputs) {
        const QString single = dir.filePath("single.wav");
        ASSERT_EQ(runTool({"process", in, single, "--gain", "-6", "--format", "float", "--quiet"}).status, 0);
        const auto want = readWav(single);
        const auto got = readWav(QDir(outDir).filePath(QFileInfo(in).fileName()));
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(got[i].left, want[i].left) << i;
    }

    r = runTool(QStringList{"analyze"} + inputs + QStringList{"--bands", "none", "--json"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    QStringList files;
    for (const QString& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        files << o.value("file").toString();
        EXPECT_EQ(o.value("status").toInt(), 0);
        EXPECT_LT(o.value("result").toObject().value("rms_db").toDouble(), -10.0);
    }
    files.sort();
    EXPECT_EQ(files, inputs);
}

TEST(VexaTool, ErrorsAreOneLineWithTheFileAndNoHalfFiles)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("in.wav");
    writeWav(in, sine(4410, 440, 0.5, 44100), 44100);

    ToolRun r = runTool({"info", dir.filePath("missing.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.startsWith("vexa: error: ")) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains("missing.wav"));
    EXPECT_EQ(r.err.count('\n'), 1);

    r = runTool({"process", in, dir.filePath("o.wav"), "--bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("unknown option --bogus"));
    r = runTool({"process", in, dir.filePath("o.wav"), "--eq", "loud"});
    EXPECT_EQ(r.status, 2);
    r = runTool({"process", in, dir.filePath("o.wav"), "--preset", "Nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("Classical")) << qPrintable(r.err);

    r = runTool({"process", in, dir.filePath("no/such/dir/o.wav"), "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("no/such/dir/o.wav")) << qPrintable(r.err);

    // Random bytes named .wav.
    const QString bad = dir.filePath("bad.wav");
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(5000, '\x5a'));
    f.close();
    r = runTool({"process", bad, dir.filePath("o.wav"), "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("bad.wav")) << qPrintable(r.err);

    // A target that is a directory: the finished file cannot take its place,
    // and nothing is left behind.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.wav"));
    r = runTool({"process", in, dir.filePath("taken.wav"), "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(leftovers(dir.path()), QStringList({"bad.wav", "in.wav"}));
}

// Tracks given as saved regions: one file per track, the list as JSON, an
// Audacity label track and a CUE sheet.
TEST(VexaTool, SplitWritesOneFilePerTrack)
{
    QTemporaryDir dir;
    const unsigned int rate = 8000;
    const QString in = dir.filePath("side.wav");
    std::vector<SoundTools::StereoFrame<double>> side;
    for (int t = 0; t < 3; ++t) {
        const auto s = sine(40 * rate, 200 + 100 * t, 0.3, rate, 1.0); // no leading zero frame
        side.insert(side.end(), s.begin(), s.end());
        side.resize(side.size() + 5 * rate, {0.0, 0.0});
    }
    writeWav(in, side, rate);
    QJsonObject o{{"Class", "RMSStepDetector"}, {"NoiseThreshold", -40.0}, {"RMSTime", 0.2}, {"MinSlopeTime", 1.0},
                  {"OutputMode", 2},           {"RealTimeMode", false},    {"SampleRate", static_cast<int>(rate)}};
    QJsonArray regions;
    for (int t = 0; t < 3; ++t) {
        for (bool noise : {false, true}) {
            const int begin = static_cast<int>((t * 45 + (noise ? 40 : 0)) * rate);
            const int length = static_cast<int>((noise ? 5 : 40) * rate);
            regions.append(QJsonObject{{"BeginSample", begin}, {"SampleNb", length}, {"RMSSqrValue0", noise ? 0.0 : 0.045},
                                       {"RMSSqrValue1", noise ? 0.0 : 0.011}, {"MeanSmpl", 100}, {"IsNoise", noise}});
        }
    }
    o.insert("Regions", regions);
    const QString saved = dir.filePath("regions.json");
    QFile f(saved);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QJsonDocument(o).toJson());
    f.close();

    QDir(dir.path()).mkdir("out");
    ToolRun r = runTool({"split", in, dir.filePath("out/t.flac"), "--load-regions", saved, "--json", "--labels",
                  dir.filePath("t.txt"), "--cue", dir.filePath("t.cue"), "--album", "Side", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonObject result = QJsonDocument::fromJson(r.out.toUtf8()).object();
    ASSERT_EQ(result.value("tracks").toArray().size(), 3);
    EXPECT_DOUBLE_EQ(result.value("tracks").toArray()[1].toObject().value("start_s").toDouble(), 45.0);
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden),
              QStringList({"001-t.flac", "002-t.flac", "003-t.flac"}));
    for (int t = 0; t < 3; ++t) {
        const auto track = readWav(dir.filePath(QStringLiteral("out/00%1-t.flac").arg(t + 1)));
        ASSERT_EQ(track.size(), 40u * rate);
        EXPECT_NEAR(track[1000].left, side[static_cast<size_t>(t * 45 * rate) + 1000].left, 1.0 / 32768);
    }
    QFile labels(dir.filePath("t.txt"));
    ASSERT_TRUE(labels.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(labels.readAll()).split('\n').value(1), "45.000000\t85.000000\tTrack 2");
    QFile cue(dir.filePath("t.cue"));
    ASSERT_TRUE(cue.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(cue.readAll()).contains("TRACK 03 AUDIO\n    TITLE \"Track 3\"\n    INDEX 01 01:30:00"));

    // Tracks shorter than the minimum join their neighbours, and the tool
    // says so; a single track shorter than the minimum is refused. The
    // output folder is created.
    r = runTool({"split", in, dir.filePath("new/u.wav"), "--load-regions", saved, "--min-track", "60", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    EXPECT_EQ(r.err.count("joined to the one"), 2) << qPrintable(r.err);
    EXPECT_EQ(readWav(dir.filePath("new/001-u.wav")).size(), 130u * rate);
    EXPECT_FALSE(QFile::exists(dir.filePath("new/002-u.wav")));
    r = runTool({"split", in, dir.filePath("out/u.wav"), "--load-regions", saved, "--min-track", "200", "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("shorter than --min-track 200 s; nothing written")) << qPrintable(r.err);
    EXPECT_FALSE(QFile::exists(dir.filePath("out/001-u.wav")));
}

// The default split finds tracks separated by low-level noise, and ends a
// fading track where its fade meets the noise floor.
TEST(VexaTool, SplitFindsTracksBetweenNoiseGaps)
{
    QTemporaryDir dir;
    const unsigned int rate = 8000;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double noiseAmp = std::pow(10.0, -60.0 / 20.0) * std::sqrt(3.0);
    std::vector<SoundTools::StereoFrame<double>> side;
    const auto gap = [&](double seconds) {
        for (int i = 0; i < static_cast<int>(seconds * rate); ++i)
            side.push_back({noiseAmp * noise(rng), noiseAmp * noise(rng)});
    };
    struct Piece {
        double seconds, db, fade;
    };
    const Piece pieces[] = {{40, -14, 0}, {35, -22, 0}, {45, -12, 5}};
    std::vector<std::pair<double, double>> truth;
    gap(1.5);
    for (const Piece& piece : pieces) {
        const double start = static_cast<double>(side.size()) / rate;
        double end = start; // where the music falls to the floor's level
        const int frames = static_cast<int>(piece.seconds * rate);
        for (int i = 0; i < frames; ++i) {
            double db = piece.db + 3.0 * std::sin(2 * M_PI * 0.3 * i / rate); // a level that moves
            const double toEnd = static_cast<double>(frames - i) / rate;
            if (piece.fade > 0 && toEnd < piece.fade)
                db -= 60.0 * (1.0 - toEnd / piece.fade);
            const double v = std::pow(10.0, db / 20.0) * std::sqrt(2.0) * std::sin(2 * M_PI * 330 * i / rate);
            side.push_back({v, 0.9 * v});
            if (db >= -60.0)
                end = start + static_cast<double>(i + 1) / rate;
        }
        truth.emplace_back(start, end);
        gap(3.0);
    }
    const QString in = dir.filePath("side.wav");
    writeWav(in, side, rate);

    ToolRun r = runTool({"split", in, "--dry-run", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonArray tracks = QJsonDocument::fromJson(r.out.toUtf8()).object().value("tracks").toArray();
    ASSERT_EQ(tracks.size(), 3);
    for (int t = 0; t < 3; ++t) {
        const QJsonObject o = tracks[t].toObject();
        EXPECT_NEAR(o.value("start_s").toDouble(), truth[static_cast<size_t>(t)].first, 0.1) << t;
        EXPECT_NEAR(o.value("end_s").toDouble(), truth[static_cast<size_t>(t)].second, t == 2 ? 0.5 : 0.1) << t;
    }

    // The picture: well-formed SVG with one shaded, numbered band per track,
    // in order, as wide as the track is long, and the level envelope.
    const QString svg = dir.filePath("side.svg");
    r = runTool({"split", in, "--dry-run", "--plot", svg, "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    QFile file(svg);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    std::vector<std::pair<double, double>> bands; // x, width of the track bands
    QStringList labels;
    int envelopes = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes a = xml.attributes();
        if (xml.name() == QLatin1String("rect") && (a.value("fill") == QLatin1String("#cfe3f7") ||
                                                     a.value("fill") == QLatin1String("#f7e3c7")))
            bands.emplace_back(a.value("x").toDouble(), a.value("width").toDouble());
        else if (xml.name() == QLatin1String("polygon"))
            envelopes += a.value("points").split(QLatin1Char(' ')).size() > 100;
        else if (xml.name() == QLatin1String("text"))
            labels << xml.readElementText();
    }
    ASSERT_FALSE(xml.hasError()) << qPrintable(xml.errorString());
    EXPECT_EQ(envelopes, 1);
    ASSERT_EQ(bands.size(), 3u);
    for (const char* n : {"1", "2", "3"})
        EXPECT_TRUE(labels.contains(QLatin1String(n))) << n;
    const double pixelsPerSecond = bands[0].second / tracks[0].toObject().value("length_s").toDouble();
    for (int t = 0; t < 3; ++t) {
        if (t > 0) {
            EXPECT_GT(bands[static_cast<size_t>(t)].first, bands[static_cast<size_t>(t) - 1].first);
        }
        EXPECT_NEAR(bands[static_cast<size_t>(t)].second,
                    pixelsPerSecond * tracks[t].toObject().value("length_s").toDouble(), 1.0)
            << t;
    }
    // The disk fills while track 3 is written (a file-size limit of
    // 1300 KiB: tracks 1 and 2 take 1.28 and 1.12 MB as 8 kHz WAV, track 3
    // 1.44 MB): the error names track 3, tracks 1 and 2 stay complete, and
    // nothing else is left.
    ASSERT_TRUE(QDir(dir.path()).mkdir("tracks"));
    QProcess limited;
    limited.start("bash", {"-c", "ulimit -f 1300 && exec \"$0\" \"$@\"", QStringLiteral(VEXA_TOOL), "split", in,
                           dir.filePath("tracks/t.wav"), "--quiet"});
    ASSERT_TRUE(limited.waitForFinished(toolTimeoutMs()));
    const QString err = QString::fromUtf8(limited.readAllStandardError());
    EXPECT_EQ(limited.exitCode(), 1) << qPrintable(err);
    EXPECT_TRUE(err.startsWith("vexa: error: splitting " + in + " failed at track 3")) << qPrintable(err);
    EXPECT_TRUE(err.contains("tracks 1 to 2 were written")) << qPrintable(err);
    const QString tracksDir = dir.filePath("tracks");
    EXPECT_EQ(QDir(tracksDir).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"001-t.wav", "002-t.wav"}));
    for (int t = 0; t < 2; ++t) {
        const auto frames = readWav(QStringLiteral("%1/00%2-t.wav").arg(tracksDir).arg(t + 1));
        EXPECT_NEAR(static_cast<double>(frames.size()) / rate, tracks[t].toObject().value("length_s").toDouble(), 0.01) << t;
    }
}

// The main job on its own recording, shortened.
TEST(VexaTool, DemoSplitsItsSide)
{
    QTemporaryDir dir;
    ToolRun r = runTool({"demo", dir.path(), "--duration", "120", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.out) << qPrintable(r.err);
    EXPECT_TRUE(r.out.contains("6 of 6 tracks written"));
    for (int t = 1; t <= 6; ++t)
        EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("00%1-track.flac").arg(t)))) << t;
}

// Levels of a known signal, and the statistics file beside the input.
TEST(VexaTool, AnalyzeMeasuresAndStores)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("tone.wav");
    writeWav(in, sine(44100 * 3, 1000, 0.5, 44100), 44100);
    ToolRun r = runTool({"analyze", in, "--bands", "200,5000", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    // Left: amplitude 0.5, RMS 0.5/sqrt 2; right half of it.
    EXPECT_NEAR(o.value("rms_left_db").toDouble(), 20 * std::log10(0.5 / std::sqrt(2.0)), 0.02);
    EXPECT_NEAR(o.value("peak_left_db").toDouble(), 20 * std::log10(0.5), 0.02);
    const QJsonArray bands = o.value("bands").toArray();
    ASSERT_EQ(bands.size(), 3);
    EXPECT_DOUBLE_EQ(bands[1].toObject().value("relative_db").toDouble(), 0.0); // 1 kHz is in the middle band
    EXPECT_LT(bands[0].toObject().value("relative_db").toDouble(), -20.0);

    SoundStatFile file;
    ASSERT_TRUE(file.readJSonFile(dir.filePath("tone.ssf")));
    EXPECT_EQ(file.getFrequencies(), std::vector<double>({200, 5000}));
    EXPECT_NE(file.getStepDetector(), nullptr);
    EXPECT_EQ(leftovers(dir.path()), QStringList({"tone.ssf", "tone.wav"}));

    // The band picture: one bar per band on a logarithmic frequency axis
    // (20 Hz at the left), the loudest band the tallest.
    const QString svg = dir.filePath("bands.svg");
    r = runTool({"analyze", in, "--bands", "200,5000", "--plot", svg, "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    QFile picture(svg);
    ASSERT_TRUE(picture.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&picture);
    struct Bar {
        double x, y, width;
    };
    std::vector<Bar> bars;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("rect") &&
            xml.attributes().value("fill") == QLatin1String("#1f4e9c"))
            bars.push_back({xml.attributes().value("x").toDouble(), xml.attributes().value("y").toDouble(),
                            xml.attributes().value("width").toDouble()});
    }
    ASSERT_FALSE(xml.hasError()) << qPrintable(xml.errorString());
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_LT(bars[1].y, bars[0].y);
    EXPECT_LT(bars[1].y, bars[2].y);
    EXPECT_NEAR(bars[1].width / bars[0].width, std::log(5000.0 / 200.0) / std::log(200.0 / 20.0), 0.01);
    EXPECT_NEAR(bars[2].width / bars[0].width, std::log(22050.0 / 5000.0) / std::log(200.0 / 20.0), 0.01);

    r = runTool({"analyze", in, "--bands", "5000,200"});
    EXPECT_EQ(r.status, 2);

    // Whole-file levels only: the same levels, no band.
    r = runTool({"analyze", in, "--bands", "none", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QJsonObject levels = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(levels.value("bands").toArray().size(), 0);
    EXPECT_EQ(levels.value("rms_left_db").toDouble(), o.value("rms_left_db").toDouble());
}

// Pink noise matches the built-in pink noise reference, whose levels are
// the analytic ones; a tilted spectrum corrected with --apply comes out
// closer to the reference than it went in.
TEST(VexaTool, MatchComparesWithTheReferenceAndCorrects)
{
    QTemporaryDir dir;
    const QString pink = dir.filePath("pink.wav");
    writeWav(pink, logSines(44100 * 4, 44100, 0.0), 44100);
    ToolRun r = runTool({"match", pink, "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(o.value("reference").toString(), "pink noise");
    EXPECT_EQ(o.value("chosen").toString(), "nearest");
    EXPECT_EQ(o.value("catalog").toString(), "built-in catalog");
    const std::vector<double> edges = {20, 250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000, 20000};
    QJsonArray bands = o.value("bands").toArray();
    ASSERT_EQ(bands.size(), 10);
    for (int b = 0; b < 10; ++b) {
        const QJsonObject band = bands[b].toObject();
        const double analytic = 10 * std::log10(std::log(edges[b + 1] / edges[b]) / std::log(250.0 / 20.0));
        EXPECT_NEAR(band.value("reference_db").toDouble(), analytic, 0.006) << b;
        EXPECT_NEAR(band.value("relative_db").toDouble(), analytic, 0.15) << b;
        EXPECT_NEAR(band.value("correction_db").toDouble(), 0.0, 0.2) << b;
    }

    const QString tilted = dir.filePath("tilted.wav");
    const QString corrected = dir.filePath("corrected.wav");
    writeWav(tilted, logSines(44100 * 4, 44100, 0.1), 44100); // +2 dB a decade
    const auto pinkDistance = [](const QString& json) {
        for (const QJsonValue& c : QJsonDocument::fromJson(json.toUtf8()).object().value("candidates").toArray()) {
            if (c.toObject().value("name").toString() == "pink noise")
                return c.toObject().value("rms_difference_db").toDouble();
        }
        return -1.0;
    };
    r = runTool({"match", tilted, "--reference", "pink noise", "--apply", corrected, "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const double before = pinkDistance(r.out);
    r = runTool({"match", corrected, "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const double after = pinkDistance(r.out);
    EXPECT_GT(before, 2.5);
    EXPECT_LT(after, before / 2);
    EXPECT_EQ(leftovers(dir.path()), QStringList({"corrected.wav", "pink.wav", "tilted.wav"}));

    // The picture: the recording's bars, the reference and the correction.
    const QString svg = dir.filePath("match.svg");
    r = runTool({"match", tilted, "--plot", svg, "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.out.contains("pink noise (nearest)"));
    QFile picture(svg);
    ASSERT_TRUE(picture.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&picture);
    int lines = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("polyline")) {
            EXPECT_EQ(xml.attributes().value("points").toString().split(' ').size(), 20) << lines; // two per band
            ++lines;
        }
    }
    ASSERT_FALSE(xml.hasError()) << qPrintable(xml.errorString());
    EXPECT_EQ(lines, 2);

    // A catalog of its own, for two bands split at 1 kHz: the named
    // reference sets the bands measured.
    const QString catalog = dir.filePath("mine.json");
    QFile text(catalog);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write(R"([{"Class": "SoundStatReference", "Name": "dark", "Version": "1",
                    "Frequency": [1000, 4000], "RelativeLevel": [0, -10]},
                   {"Class": "SoundStatReference", "Name": "broken", "Version": "1",
                    "Frequency": [1000, 4000], "RelativeLevel": [0]}])");
    text.close();
    r = runTool({"match", pink, "--catalog", catalog, "--reference", "dark", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    bands = QJsonDocument::fromJson(r.out.toUtf8()).object().value("bands").toArray();
    ASSERT_EQ(bands.size(), 2);
    EXPECT_NEAR(bands[1].toObject().value("relative_db").toDouble(),
                10 * std::log10(std::log(20000.0 / 1000.0) / std::log(1000.0 / 20.0)), 0.15);

    // Errors: no such reference (the names listed), an incomplete one, no
    // reference for the default bands, a catalog that is not one.
    r = runTool({"match", pink, "--catalog", catalog, "--reference", "bright"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("broken, dark")) << qPrintable(r.err);
    r = runTool({"match", pink, "--catalog", catalog, "--reference", "broken"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("incomplete")) << qPrintable(r.err);
    r = runTool({"match", pink, "--catalog", catalog});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("no reference for the bands")) << qPrintable(r.err);
    r = runTool({"match", pink, "--catalog", pink});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.startsWith("vexa: error: " + pink)) << qPrintable(r.err);

    // Recordings that cannot be matched: digital silence, and a sample rate
    // whose Nyquist frequency lies below the reference's bands.
    const QString silent = dir.filePath("silent.wav");
    writeWav(silent, std::vector<SoundTools::StereoFrame<double>>(44100, {0.0, 0.0}), 44100);
    r = runTool({"match", silent, "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("digital silence")) << qPrintable(r.err);
    const QString narrow = dir.filePath("narrow.wav");
    writeWav(narrow, sine(16000, 1000, 0.5, 16000), 16000);
    r = runTool({"match", narrow, "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("beyond the Nyquist frequency")) << qPrintable(r.err);
}

// A 1 kHz tone of equal amplitude in both channels: BS.1770's K-weighting
// has a gain of +0.691 dB at 1 kHz, which its -0.691 dB offset cancels, so
// its loudness is 20 log10(amplitude) LUFS (stereo), 3.01 dB less as mono.
std::vector<SoundTools::StereoFrame<double>> tone(double seconds, double levelDb, unsigned int rate)
{
    std::vector<SoundTools::StereoFrame<double>> f = sine(static_cast<unsigned int>(seconds * rate), 1000,
                                                          std::pow(10.0, levelDb / 20), rate, 0.3);
    for (auto& x : f)
        x.right = x.left;
    return f;
}

QJsonObject jsonOf(const ToolRun& r)
{
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

// The ReplayGain tags of a file as the usual tools read them (upper-case
// names); nullopt when the tool for its format is not installed.
std::optional<std::map<QString, QString>> replayGainTags(const QString& file)
{
    const QString ext = QFileInfo(file).suffix();
    const QString program = ext == "flac" ? "metaflac" : ext == "ogg" ? "vorbiscomment" : "ffprobe";
    if (QStandardPaths::findExecutable(program).isEmpty())
        return std::nullopt;
    const QStringList args = ext == "flac" ? QStringList{"--export-tags-to=-", file}
        : ext == "ogg" ? QStringList{"-l", file}
                       : QStringList{"-v", "error", "-show_entries", "format_tags", "-of", "default=noprint_wrappers=1", file};
    QProcess p;
    p.start(program, args);
    p.waitForFinished();
    std::map<QString, QString> tags;
    for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const QString name = line.section('=', 0, 0).remove("TAG:").toUpper();
        if (name.startsWith("REPLAYGAIN_"))
            tags[name] = line.section('=', 1);
    }
    return tags;
}

// Stereo, mono and silence measured by analyze, in the text and the JSON and
// kept in the statistics file.
TEST(VexaToolLoudness, AnalyzeMeasuresLoudness)
{
    QTemporaryDir dir;
    const double nan = std::nan("");
    const struct {
        const char* name;
        int channels;
        double levelDb; // NaN: silence
        double lufs;    // NaN: none
    } cases[] = {
        {"stereo", 2, -23.0, -23.0},
        {"mono", 1, -23.0, -23.0 - 3.0103},
        {"silence", 2, nan, nan},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString in = dir.filePath(QStringLiteral("%1.wav").arg(c.name));
        auto frames = tone(20, std::isnan(c.levelDb) ? -200 : c.levelDb, 48000);
        if (std::isnan(c.levelDb))
            std::fill(frames.begin(), frames.end(), SoundTools::StereoFrame<double>{0.0, 0.0});
        writeWav(in, frames, 48000, SoundTools::Float, SoundWriterSndfile::WAV, c.channels);
        ToolRun r = runTool({"analyze", in, "--bands", "none", "--json", "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        const QJsonObject o = jsonOf(r);
        SoundStatFile file;
        ASSERT_TRUE(file.readJSonFile(dir.filePath(QStringLiteral("%1.ssf").arg(c.name))));
        ASSERT_TRUE(file.hasLoudnessResults());
        if (std::isnan(c.lufs)) {
            EXPECT_TRUE(o.value("loudness_lufs").isNull());
            EXPECT_TRUE(o.value("true_peak_dbtp").isNull());
            EXPECT_TRUE(std::isinf(file.getLoudness().integratedLufs));
            r = runTool({"analyze", in, "--bands", "none", "--quiet"});
            EXPECT_TRUE(r.out.contains("-inf LUFS")) << qPrintable(r.out);
            continue;
        }
        EXPECT_NEAR(o.value("loudness_lufs").toDouble(), c.lufs, 0.1);
        EXPECT_NEAR(o.value("true_peak_dbtp").toDouble(), c.levelDb, 0.1);
        EXPECT_NEAR(o.value("loudness_range_lu").toDouble(), 0.0, 0.1);
        EXPECT_NEAR(file.getLoudness().integratedLufs, c.lufs, 0.1);
    }
}

// --loudness brings the output to the target, within 0.2 LU as measured on
// the file written, with no true peak above the ceiling: a plain gain for a
// tone, the limiter where clicks would pass the ceiling (also through lossy
// encoders, whose peaks move). The tone's amplitude after a plain gain is
// checked on the samples.
TEST(VexaToolLoudness, ProcessBringsTheOutputToTheTarget)
{
    QTemporaryDir dir;
    const unsigned int rate = 48000;
    const QString plain = dir.filePath("tone.wav");
    writeWav(plain, tone(20, -23, rate), rate);
    auto clicked = tone(20, -26, rate);
    for (unsigned int s = 0; s < 20; ++s) {
        for (unsigned int i = 0; i < 96; ++i) // 2 ms at 3 kHz, half of full scale
            clicked[s * rate + rate / 2 + i].left = clicked[s * rate + rate / 2 + i].right =
                0.5 * std::sin(2 * M_PI * 3000.0 * i / rate);
    }
    const QString clicks = dir.filePath("clicks.wav");
    writeWav(clicks, clicked, rate);
    const struct {
        QString in;
        const char* out;
        double target;
        double ceiling;
        bool limited;
    } cases[] = {
        {plain, "tone16.wav", -16, -1, false},
        {clicks, "clicks16.flac", -16, -1, true},
        {clicks, "clicks14.mp3", -14, -2, true},
        {clicks, "clicks14.ogg", -14, -2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const QString out = dir.filePath(c.out);
        ToolRun r = runTool({"process", c.in, out, "--loudness", QString::number(c.target), "--true-peak",
                          QString::number(c.ceiling), "--json", "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_EQ(jsonOf(r).value("limited").toBool(), c.limited);
        r = runTool({"analyze", out, "--bands", "none", "--json", "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_NEAR(jsonOf(r).value("loudness_lufs").toDouble(), c.target, 0.2);
        EXPECT_LE(jsonOf(r).value("true_peak_dbtp").toDouble(), c.ceiling);
        if (!c.limited) {
            double peak = 0;
            for (const auto& f : readWav(out))
                peak = std::max(peak, std::fabs(f.left));
            EXPECT_NEAR(20 * std::log10(peak), c.target, 0.2);
        }
    }

    const QString silent = dir.filePath("silent.wav");
    writeWav(silent, std::vector<SoundTools::StereoFrame<double>>(rate, {0.0, 0.0}), rate);
    const struct {
        QStringList args;
        int status;
        const char* says;
    } refused[] = {
        {{plain, dir.filePath("o.wav"), "--loudness", "5"}, 2, "-70 to 0"},
        {{plain, dir.filePath("o.wav"), "--loudness", "-75"}, 2, "-70 to 0"},
        {{plain, dir.filePath("o.wav"), "--true-peak", "-1"}, 2, "goes with --loudness"},
        {{silent, dir.filePath("o.wav"), "--loudness", "-16"}, 1, "silent"},
    };
    for (const auto& c : refused) {
        const ToolRun r = runTool(QStringList{"process"} + c.args + QStringList{"--quiet"});
        EXPECT_EQ(r.status, c.status) << qPrintable(c.args.join(' '));
        EXPECT_TRUE(r.err.contains(c.says)) << qPrintable(r.err);
        EXPECT_FALSE(QFile::exists(dir.filePath("o.wav")));
    }
}

// Three tones of known loudness as a side: each track's gain is -18 LUFS
// less its level, the album's from the mean power of the three (equal
// lengths, none under the relative gate), the peaks the tones' amplitudes;
// the tags read back by the format's own tools.
TEST(VexaToolLoudness, SplitAndTagWriteReplayGain)
{
    QTemporaryDir dir;
    const unsigned int rate = 44100;
    const double levels[] = {-20, -26, -14};
    std::vector<SoundTools::StereoFrame<double>> side(rate, {0.0, 0.0});
    double power = 0;
    for (double level : levels) {
        const auto t = tone(12, level, rate);
        side.insert(side.end(), t.begin(), t.end());
        side.resize(side.size() + 2 * rate, {0.0, 0.0});
        power += std::pow(10.0, level / 10) / 3;
    }
    const double albumGain = -18 - 10 * std::log10(power);
    const QString in = dir.filePath("side.wav");
    writeWav(in, side, rate);
    // The lossy encoders change the level a little.
    for (const auto& [ext, tolerance] : {std::pair<QString, double>{"flac", 0.05}, {"ogg", 0.1}, {"mp3", 0.8}}) {
        SCOPED_TRACE(qPrintable(ext));
        ToolRun r = runTool({"split", in, dir.filePath("out/s." + ext), "--replaygain", "--quiet"});
        ASSERT_EQ(r.status, 0) << qPrintable(r.err);
        for (int t = 0; t < 3; ++t) {
            const auto tags = replayGainTags(dir.filePath(QStringLiteral("out/00%1-s.%2").arg(t + 1).arg(ext)));
            if (!tags)
                GTEST_SKIP() << "no tool to read the tags of ." << qPrintable(ext);
            ASSERT_EQ(tags->size(), 4u);
            EXPECT_TRUE(tags->at("REPLAYGAIN_TRACK_GAIN").endsWith(" dB"));
            EXPECT_NEAR(tags->at("REPLAYGAIN_TRACK_GAIN").section(' ', 0, 0).toDouble(), -18 - levels[t], tolerance);
            EXPECT_NEAR(tags->at("REPLAYGAIN_ALBUM_GAIN").section(' ', 0, 0).toDouble(), albumGain, tolerance);
            EXPECT_NEAR(20 * std::log10(tags->at("REPLAYGAIN_TRACK_PEAK").toDouble()), levels[t], tolerance + 0.3);
            EXPECT_NEAR(20 * std::log10(tags->at("REPLAYGAIN_ALBUM_PEAK").toDouble()), -14, tolerance + 0.3);
        }
    }

    // tag: a read-only file stops the run before anything is written; a
    // silent file is not tagged.
    const QString a = dir.filePath("a.flac");
    const QString b = dir.filePath("b.flac");
    writeWav(a, tone(5, -20, rate), rate, SoundTools::PCM16, SoundWriterSndfile::FLAC);
    writeWav(b, tone(5, -20, rate), rate, SoundTools::PCM16, SoundWriterSndfile::FLAC);
    QFile::setPermissions(b, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    QFile original(b);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    original.close();
    ToolRun r = runTool({"tag", a, b, "--album", "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("b.flac") && r.err.contains("read-only")) << qPrintable(r.err);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    EXPECT_EQ(original.readAll(), bytes);
    EXPECT_EQ(leftovers(dir.path()), QStringList({"a.flac", "b.flac", "side.wav"}));
    const auto untouched = replayGainTags(a);
    if (untouched) {
        EXPECT_TRUE(untouched->empty());
    }

    const QString silent = dir.filePath("silent.flac");
    writeWav(silent, std::vector<SoundTools::StereoFrame<double>>(rate, {0.0, 0.0}), rate, SoundTools::PCM16,
             SoundWriterSndfile::FLAC);
    r = runTool({"tag", a, silent, "--quiet"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains("silent.flac is silent")) << qPrintable(r.err);
    const auto tagged = replayGainTags(a);
    const auto none = replayGainTags(silent);
    if (tagged && none) {
        EXPECT_NEAR(tagged->at("REPLAYGAIN_TRACK_GAIN").section(' ', 0, 0).toDouble(), 2.0, 0.05);
        EXPECT_TRUE(none->empty());
    }
}

// Playback through the audio server the test suite starts (PULSE_SERVER):
// two files one after the other, to the end; an unknown preset lists them.
TEST(VexaToolPlay, PlaysFilesToTheEnd)
{
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
        GTEST_SKIP() << "no audio server for this run";
    QTemporaryDir dir;
    const QString a = dir.filePath("a.wav");
    const QString b = dir.filePath("b.wav");
    writeWav(a, sine(22050, 440, 0.3, 44100), 44100, SoundTools::PCM16);
    writeWav(b, sine(22050, 660, 0.3, 44100), 44100, SoundTools::PCM16);
    ToolRun r = runTool({"play", a, b, "--preset", "Rock", "--bass-boost", "--amp", "3", "--quiet"});
    EXPECT_EQ(r.status, 0) << qPrintable(r.err);

    r = runTool({"play", a, "--preset", "Nope"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("Rock")) << qPrintable(r.err);
}
