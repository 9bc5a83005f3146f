#include "Plot.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kWidth = 1000.0;
constexpr double kHeight = 360.0;
constexpr double kLeft = 56.0;
constexpr double kRight = 16.0;
constexpr double kTop = 36.0;
constexpr double kBottom = 40.0;
constexpr double kFloorDb = -90.0;

double xOf(double seconds, double totalSeconds)
{
    return kLeft + (kWidth - kLeft - kRight) * (totalSeconds > 0.0 ? seconds / totalSeconds : 0.0);
}

double yOf(double db)
{
    const double clamped = std::min(0.0, std::max(kFloorDb, db));
    return kTop + (kHeight - kTop - kBottom) * (clamped / kFloorDb);
}

QString num(double v)
{
    return QString::number(v, 'f', 1);
}

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

// The opening of a picture: the SVG element, a white page and the title.
QString svgStart(const QString& title)
{
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                          "font-family=\"sans-serif\" font-size=\"12\">\n"
                          "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
                          "<text x=\"%3\" y=\"22\" font-size=\"14\">%4</text>\n")
        .arg(kWidth)
        .arg(kHeight)
        .arg(kLeft)
        .arg(escaped(title));
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
    auto* node = new LevelNode(step);
    std::unique_ptr<LevelNode, void (*)(LevelNode*)> owner(node, [](LevelNode* n) { n->release(); });
    if (node->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("level envelope of %1 failed").arg(fileName);
        return false;
    }
    node->finish();
    levelsDb = node->levelsDb;
    return true;
}

QByteArray splitPlot(const std::vector<double>& levelsDb, double stepSeconds, const RMSStepDetector& detector,
                     const std::vector<Track>& tracks, unsigned int sampleRate, const QString& title)
{
    const double total = static_cast<double>(levelsDb.size()) * stepSeconds;
    QString svg = svgStart(title);

    // Regions: noise grey, the rest light; tracks shaded and numbered.
    const double plotTop = kTop;
    const double plotHeight = kHeight - kTop - kBottom;
    const int regions = detector.size(false);
    for (int i = 0; i < regions; ++i) {
        const RMSStepDetector::Region r = detector.getRegion(i, false);
        if (!r.IsNoise)
            continue;
        const double x0 = xOf(static_cast<double>(r.BeginSample) / sampleRate, total);
        const double x1 = xOf(static_cast<double>(r.BeginSample + r.SampleNb) / sampleRate, total);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#d0d0d0\"/>\n")
                   .arg(num(x0), num(plotTop), num(std::max(0.5, x1 - x0)), num(plotHeight));
    }
    static const char* const kColours[] = {"#cfe3f7", "#f7e3c7"};
    for (size_t k = 0; k < tracks.size(); ++k) {
        const Track& t = tracks[k];
        const double x0 = xOf(static_cast<double>(t.begin) / sampleRate, total);
        const double x1 = xOf(static_cast<double>(t.begin + t.frames) / sampleRate, total);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n")
                   .arg(num(x0), num(plotTop), num(std::max(0.5, x1 - x0)), num(plotHeight), kColours[k % 2]);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                   .arg(num((x0 + x1) / 2.0), num(plotTop + 14.0))
                   .arg(t.number);
    }

    // Level grid every 10 dB and time ticks at a round step.
    for (double db = 0.0; db >= kFloorDb; db -= 10.0) {
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                   .arg(num(kLeft), num(kWidth - kRight), num(yOf(db)));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n")
                   .arg(num(kLeft - 4.0), num(yOf(db) + 4.0))
                   .arg(db);
    }
    svg += QStringLiteral("<text x=\"12\" y=\"%1\" transform=\"rotate(-90 12 %1)\" text-anchor=\"middle\">level (dBFS)</text>\n")
               .arg(num(plotTop + plotHeight / 2.0));
    double tick = 1.0;
    for (double candidate : {1.0, 5.0, 10.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0, 3600.0}) {
        tick = candidate;
        if (total / candidate <= 12.0)
            break;
    }
    for (double s = 0.0; s <= total; s += tick) {
        const double x = xOf(s, total);
        const int secs = static_cast<int>(std::lround(s));
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                   .arg(num(x), num(plotTop), num(plotTop + plotHeight + 4.0));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3:%4</text>\n")
                   .arg(num(x), num(plotTop + plotHeight + 18.0))
                   .arg(secs / 60)
                   .arg(secs % 60, 2, 10, QLatin1Char('0'));
    }
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">time (min:s)</text>\n")
               .arg(num(kLeft + (kWidth - kLeft - kRight) / 2.0), num(kHeight - 6.0));

    // The envelope, reduced to one column per two pixels holding the
    // loudest and the quietest step of it, drawn as the band between them:
    // a long file stays a light picture and short gaps still show.
    const size_t columns = std::max<size_t>(1, static_cast<size_t>((kWidth - kLeft - kRight) / 2.0));
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
    svg += QStringLiteral("<polygon fill=\"#1f4e9c\" fill-opacity=\"0.6\" stroke=\"#1f4e9c\" stroke-width=\"0.8\" "
                          "points=\"%1\"/>\n")
               .arg((upper + lower).trimmed());
    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"none\" stroke=\"#333\"/>\n")
               .arg(num(kLeft), num(plotTop), num(kWidth - kLeft - kRight), num(plotHeight));
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}

QByteArray bandPlot(const std::vector<double>& crossovers, const std::vector<double>& relativeDb, unsigned int sampleRate,
                    const QString& title, const std::vector<BandCurve>& curves)
{
    const double lowest = 20.0;
    const double highest = std::max(lowest * 2.0, sampleRate / 2.0);
    double lowestDb = *std::min_element(relativeDb.begin(), relativeDb.end());
    for (const BandCurve& c : curves) {
        if (!c.db.empty())
            lowestDb = std::min(lowestDb, *std::min_element(c.db.begin(), c.db.end()));
    }
    const double floorDb = std::min(-30.0, 10.0 * std::floor(std::max(-120.0, lowestDb) / 10.0));
    const double plotWidth = kWidth - kLeft - kRight;
    const double plotHeight = kHeight - kTop - kBottom;
    const auto x = [&](double hz) {
        return kLeft + plotWidth * std::log(std::max(lowest, hz) / lowest) / std::log(highest / lowest);
    };
    const auto y = [&](double db) { return kTop + plotHeight * std::min(1.0, std::max(0.0, db / floorDb)); };

    QString svg = svgStart(title);
    for (double db = 0.0; db >= floorDb; db -= 10.0) {
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                   .arg(num(kLeft), num(kWidth - kRight), num(y(db)));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n").arg(num(kLeft - 4.0), num(y(db) + 4.0)).arg(db);
    }
    svg += QStringLiteral("<text x=\"12\" y=\"%1\" transform=\"rotate(-90 12 %1)\" text-anchor=\"middle\">relative level (dB)</text>\n")
               .arg(num(kTop + plotHeight / 2.0));
    for (double hz : {20.0, 50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0, 20000.0}) {
        if (hz > highest)
            break;
        svg += QStringLiteral("<line x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                   .arg(num(x(hz)), num(kTop), num(kTop + plotHeight + 4.0));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                   .arg(num(x(hz)), num(kTop + plotHeight + 18.0),
                        hz >= 1000.0 ? QStringLiteral("%1k").arg(hz / 1000.0) : QString::number(hz));
    }
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">frequency (Hz)</text>\n")
               .arg(num(kLeft + plotWidth / 2.0), num(kHeight - 6.0));
    for (size_t b = 0; b < relativeDb.size(); ++b) {
        const double low = b == 0 ? lowest : crossovers[b - 1];
        const double high = b < crossovers.size() ? crossovers[b] : highest;
        const double top = y(relativeDb[b]);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"#1f4e9c\" fill-opacity=\"0.6\" "
                              "stroke=\"#1f4e9c\"><title>%5</title></rect>\n")
                   .arg(num(x(low)), num(top), num(std::max(0.5, x(high) - x(low))), num(kTop + plotHeight - top))
                   .arg(QStringLiteral("%1-%2 Hz: %3 dB").arg(low).arg(high).arg(relativeDb[b], 0, 'f', 2));
    }
    // Each curve as a step line: level across each band, joined at the
    // crossovers.
    for (const BandCurve& c : curves) {
        QString points;
        for (size_t b = 0; b < c.db.size() && b < relativeDb.size(); ++b) {
            const double low = b == 0 ? lowest : crossovers[b - 1];
            const double high = b < crossovers.size() ? crossovers[b] : highest;
            points += QStringLiteral("%1,%3 %2,%3 ").arg(num(x(low)), num(x(high)), num(y(c.db[b])));
        }
        svg += QStringLiteral("<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"2.5\" points=\"%2\"/>\n")
                   .arg(QLatin1String(c.colour), points.trimmed());
    }
    // The legend names the bars and the curves, in one row right of the
    // title (text widths estimated at 7 px a character).
    if (!curves.empty()) {
        double legendX = kWidth - kRight;
        for (const BandCurve& c : curves)
            legendX -= 18.0 + 7.0 * c.label.size() + 14.0;
        legendX -= 18.0 + 7.0 * 9;
        svg += QStringLiteral("<rect x=\"%1\" y=\"13\" width=\"12\" height=\"10\" fill=\"#1f4e9c\" fill-opacity=\"0.6\"/>"
                              "<text x=\"%2\" y=\"22\">recording</text>\n")
                   .arg(num(legendX), num(legendX + 18.0));
        legendX += 18.0 + 7.0 * 9 + 14.0;
        for (const BandCurve& c : curves) {
            svg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"18\" y2=\"18\" stroke=\"%3\" stroke-width=\"2.5\"/>"
                                  "<text x=\"%4\" y=\"22\">%5</text>\n")
                       .arg(num(legendX), num(legendX + 12.0), QLatin1String(c.colour), num(legendX + 18.0))
                       .arg(escaped(c.label));
            legendX += 18.0 + 7.0 * c.label.size() + 14.0;
        }
    }
    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"none\" stroke=\"#333\"/>\n")
               .arg(num(kLeft), num(kTop), num(plotWidth), num(plotHeight));
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}
