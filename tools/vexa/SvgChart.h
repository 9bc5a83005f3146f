// The frame the tool's SVG pictures share: a white page with a title, a
// plot area with a level grid and labelled axes, and its outline.
#ifndef VEXA_TOOL_SVGCHART_H
#define VEXA_TOOL_SVGCHART_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <utility>
#include <vector>

class SvgChart {
public:
    static constexpr double kWidth = 1000.0;
    static constexpr double kHeight = 360.0;
    // The plot area, inside the margins.
    static constexpr double kLeft = 56.0;
    static constexpr double kTop = 36.0;
    static constexpr double kPlotWidth = kWidth - kLeft - 16.0;
    static constexpr double kPlotHeight = kHeight - kTop - 40.0;

    // Opens the picture: the SVG element, a white page and the title.
    explicit SvgChart(const QString& title);

    // Adds elements as they are (drawn over what came before).
    void add(const QString& elements) { mSvg += elements; }
    // A grid line every 10 dB from 0 down to floorDb, labelled at the left,
    // at the heights yOf gives, and the level axis's name.
    void levelGrid(double floorDb, const std::function<double(double)>& yOf, const QString& axisName);
    // Ticks across the plot at these positions, labelled below it, and the
    // horizontal axis's name.
    void ticks(const std::vector<std::pair<double, QString>>& positions, const QString& axisName);
    // The outline of the plot area and the end of the picture.
    QByteArray finish();

    static QString num(double v) { return QString::number(v, 'f', 1); }

private:
    QString mSvg;
};

#endif
