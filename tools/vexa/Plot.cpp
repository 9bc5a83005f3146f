#include "Plot.h"

#include "SvgChart.h"

#include <algorithm>
#include <cmath>

namespace {

using C = SvgChart;
constexpr double kFloorDb = -90.0;

double xOf(double seconds, double totalSeconds)
{
    return C::kLeft + C::kPlotWidth * (totalSeconds > 0.0 ? seconds / totalSeconds : 0.0);
}

double yOf(double db)
{
    const double clamped = std::min(0.0, std::max(kFloorDb, db));
    return C::kTop + C::kPlotHeight * (clamped / kFloorDb);
}

QString num(double v)
{
    return SvgChart::num(v);
}

// The RMS level in dB of the louder channel over consecutive steps.
class LevelNode : public SoundAlgo {
public:
    explicit LevelNode(unsigned int stepFrames) : mStep(stepFrames) {}

    SoundTools::Status process() override
    {
        const unsigned int n = getOutFrameNb();
        const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(getInOrigin());
        for (unsigned int i = 0; i < n; ++i) {
            mLeft += in[i].left * in[i].left;
            mRight += in[i].right * in[i].right;
            if (++mCount == mStep)
                push();
        }
        return SoundTools::StatusOk;
    }

    // Adds the last, partial step.
    void finish()
    {
        if (mCount > 0)
            push();
    }

    std::vector<double> levelsDb;

private:
    void push()
    {
        const double meanSquare = std::max(mLeft, mRight) / mCount;
        levelsDb.push_back(meanSquare > 1e-10 ? 10.0 * std::log10(meanSquare) : -100.0);
        mLeft = mRight = 0.0;
        mCount = 0;
    }

    unsigned int mStep;
    double mLeft = 0.0;
    double mRight = 0.0;
    unsigned int mCount = 0;
};

} // namespace

bool levelEnvelope(const QString& fileName, double stepSeconds, std::vector<double>& levelsDb, QString& error)
{
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return false;
    const unsigned int step = std::max(1u, static_cast<unsigned int>(std::lround(stepSeconds * reader->getSampleRate())));
    SoundRef<LevelNode> node(new LevelNode(step));
    if (node->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("level envelope of %1 failed").arg(fileName);
        return false;
    }
    node->finish();
    levelsDb = node->levelsDb;
    return true;
}

namespace {

// Regions: noise grey, the rest light; tracks shaded and numbered.
QString regionShades(const RMSStepDetector& detector, const std::vector<Track>& tracks, unsigned int sampleRate,
                     double total)
{
    QString svg;
    const int regions = detector.size(false);
    for (int i = 0; i < regions; ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i, false);
        if (!r.IsNoise)
            continue;
        const double x0 = xOf(static_cast<double>(r.BeginSample) / sampleRate, total);
        const double x1 = xOf(static_cast<double>(r.BeginSample + r.SampleNb) / sampleRate, total);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#d0d0d0\"/>\n")
                   .arg(num(x0), num(C::kTop), num(std::max(0.5, x1 - x0)), num(C::kPlotHeight));
    }
    static const char* const kColours[] = {"#cfe3f7", "#f7e3c7"};
    for (size_t k = 0; k < tracks.size(); ++k) {
        const Track& t = tracks[k];
        const double x0 = xOf(static_cast<double>(t.begin) / sampleRate, total);
        const double x1 = xOf(static_cast<double>(t.begin + t.frames) / sampleRate, total);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n")
                   .arg(num(x0), num(C::kTop), num(std::max(0.5, x1 - x0)), num(C::kPlotHeight), kColours[k % 2]);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                   .arg(num((x0 + x1) / 2.0), num(C::kTop + 14.0))
                   .arg(t.number);
    }
    return svg;
}

// Time ticks at a round step, labelled min:s.
std::vector<std::pair<double, QString>> timeTicks(double total)
{
    double tick = 1.0;
    for (double candidate : {1.0, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0, 3600.0}) {
        tick = candidate;
        if (total / candidate <= 12.0)
            break;
    }
    std::vector<std::pair<double, QString>> ticks;
    for (double s = 0.0; s <= total; s += tick) {
        const int secs = static_cast<int>(std::lround(s));
        ticks.emplace_back(xOf(s, total), QStringLiteral("%1:%2").arg(secs / 60).arg(secs % 60, 2, 10, QLatin1Char('0')));
    }
    return ticks;
}

// The envelope, reduced to one column per two pixels holding the loudest
// and the quietest step of it, drawn as the band between them: a long file
// stays a light picture and short gaps still show.
QString envelopeBand(const std::vector<double>& levelsDb, double stepSeconds, double total)
{
    const size_t columns = std::max<size_t>(1, static_cast<size_t>(C::kPlotWidth / 2.0));
    const size_t per = std::max<size_t>(1, (levelsDb.size() + columns - 1) / columns);
    QString upper;
    QString lower;
    for (size_t i = 0; i < levelsDb.size(); i += per) {
        const size_t end = std::min(levelsDb.size(), i + per);
        const auto range = std::minmax_element(levelsDb.begin() + static_cast<std::ptrdiff_t>(i),
                                               levelsDb.begin() + static_cast<std::ptrdiff_t>(end));
        const QString x = num(xOf((i + end) / 2.0 * stepSeconds, total));
        upper += QStringLiteral("%1,%2 ").arg(x, num(yOf(*range.second)));
        lower.prepend(QStringLiteral("%1,%2 ").arg(x, num(yOf(*range.first))));
    }
    return QStringLiteral("<polygon fill=\"#1f4e9c\" fill-opacity=\"0.6\" stroke=\"#1f4e9c\" stroke-width=\"0.8\" "
                          "points=\"%1\"/>\n")
        .arg((upper + lower).trimmed());
}

} // namespace

QByteArray splitPlot(const std::vector<double>& levelsDb, double stepSeconds, const RMSStepDetector& detector,
                     const std::vector<Track>& tracks, unsigned int sampleRate, const QString& title)
{
    const double total = static_cast<double>(levelsDb.size()) * stepSeconds;
    SvgChart chart(title);
    chart.add(regionShades(detector, tracks, sampleRate, total));
    chart.levelGrid(kFloorDb, yOf, QStringLiteral("level (dBFS)"));
    chart.ticks(timeTicks(total), QStringLiteral("time (min:s)"));
    chart.add(envelopeBand(levelsDb, stepSeconds, total));
    return chart.finish();
}

namespace {

// The axes of the band picture: frequency on a logarithmic scale from
// 20 Hz to the Nyquist frequency, level from 0 dB down to the floor.
struct BandAxes {
    double lowest = 20.0;
    double highest;
    double floorDb;
    double x(double hz) const
    {
        return C::kLeft + C::kPlotWidth * std::log(std::max(lowest, hz) / lowest) / std::log(highest / lowest);
    }
    double y(double db) const { return C::kTop + C::kPlotHeight * std::min(1.0, std::max(0.0, db / floorDb)); }
    // Band b spans crossovers[b - 1] to crossovers[b].
    double low(const std::vector<double>& crossovers, size_t b) const { return b == 0 ? lowest : crossovers[b - 1]; }
    double high(const std::vector<double>& crossovers, size_t b) const
    {
        return b < crossovers.size() ? crossovers[b] : highest;
    }
};

QString bandBars(const BandAxes& a, const std::vector<double>& crossovers, const std::vector<double>& relativeDb)
{
    QString svg;
    for (size_t b = 0; b < relativeDb.size(); ++b) {
        const double low = a.low(crossovers, b);
        const double high = a.high(crossovers, b);
        const double top = a.y(relativeDb[b]);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#1f4e9c\" fill-opacity=\"0.6\" "
                              "stroke=\"#1f4e9c\"><title>%5</title></rect>\n")
                   .arg(num(a.x(low)), num(top), num(std::max(0.5, a.x(high) - a.x(low))), num(C::kTop + C::kPlotHeight - top))
                   .arg(QStringLiteral("%1-%2 Hz: %3 dB").arg(low).arg(high).arg(relativeDb[b], 0, 'f', 2));
    }
    return svg;
}

// Each curve as a step line: level across each band, joined at the
// crossovers.
QString bandCurves(const BandAxes& a, const std::vector<double>& crossovers, size_t bands,
                   const std::vector<BandCurve>& curves)
{
    QString svg;
    for (const BandCurve& c : curves) {
        QString points;
        for (size_t b = 0; b < c.db.size() && b < bands; ++b) {
            points += QStringLiteral("%1,%3 %2,%3 ")
                          .arg(num(a.x(a.low(crossovers, b))), num(a.x(a.high(crossovers, b))), num(a.y(c.db[b])));
        }
        svg += QStringLiteral("<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"2.5\" points=\"%2\"/>\n")
                   .arg(QLatin1String(c.colour), points.trimmed());
    }
    return svg;
}

// The legend names the bars and the curves, in one row right of the title
// (text widths estimated at 7 px a character).
QString legend(const std::vector<BandCurve>& curves)
{
    if (curves.empty())
        return QString();
    double legendX = C::kWidth - 16.0;
    for (const BandCurve& c : curves)
        legendX -= 18.0 + 7.0 * c.label.size() + 14.0;
    legendX -= 18.0 + 7.0 * 9;
    QString svg = QStringLiteral("<rect x=\"%1\" y=\"13\" width=\"12\" height=\"10\" fill=\"#1f4e9c\" fill-opacity=\"0.6\"/>"
                                 "<text x=\"%2\" y=\"22\">recording</text>\n")
                      .arg(num(legendX), num(legendX + 18.0));
    legendX += 18.0 + 7.0 * 9 + 14.0;
    for (const BandCurve& c : curves) {
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"18\" y2=\"18\" stroke=\"%3\" stroke-width=\"2.5\"/>"
                              "<text x=\"%4\" y=\"22\">%5</text>\n")
                   .arg(num(legendX), num(legendX + 12.0), QLatin1String(c.colour), num(legendX + 18.0))
                   .arg(c.label.toHtmlEscaped());
        legendX += 18.0 + 7.0 * c.label.size() + 14.0;
    }
    return svg;
}

} // namespace

QByteArray bandPlot(const std::vector<double>& crossovers, const std::vector<double>& relativeDb, unsigned int sampleRate,
                    const QString& title, const std::vector<BandCurve>& curves)
{
    BandAxes axes;
    axes.highest = std::max(axes.lowest * 2.0, sampleRate / 2.0);
    double lowestDb = *std::min_element(relativeDb.begin(), relativeDb.end());
    for (const BandCurve& c : curves) {
        if (!c.db.empty())
            lowestDb = std::min(lowestDb, *std::min_element(c.db.begin(), c.db.end()));
    }
    axes.floorDb = std::min(-30.0, 10.0 * std::floor(std::max(-120.0, lowestDb) / 10.0));

    SvgChart chart(title);
    chart.levelGrid(axes.floorDb, [&](double db) { return axes.y(db); }, QStringLiteral("relative level (dB)"));
    std::vector<std::pair<double, QString>> ticks;
    for (double hz : {20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0}) {
        if (hz > axes.highest)
            break;
        ticks.emplace_back(axes.x(hz), hz >= 1000.0 ? QStringLiteral("%1k").arg(hz / 1000.0) : QString::number(hz));
    }
    chart.ticks(ticks, QStringLiteral("frequency (Hz)"));
    chart.add(bandBars(axes, crossovers, relativeDb));
    chart.add(bandCurves(axes, crossovers, relativeDb.size(), curves));
    chart.add(legend(curves));
    return chart.finish();
}
