#include "SvgChart.h"

SvgChart::SvgChart(const QString& title)
{
    mSvg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                          "font-family=\"sans-serif\" font-size=\"12\">\n"
                          "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
                          "<text x=\"%3\" y=\"22\" font-size=\"14\">%4</text>\n")
               .arg(kWidth)
               .arg(kHeight)
               .arg(kLeft)
               .arg(title.toHtmlEscaped());
}

void SvgChart::levelGrid(double floorDb, const std::function<double(double)>& yOf, const QString& axisName)
{
    for (double db = 0.0; db >= floorDb; db -= 10.0) {
        mSvg += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                    .arg(num(kLeft), num(kLeft + kPlotWidth), num(yOf(db)));
        mSvg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"end\">%3</text>\n")
                    .arg(num(kLeft - 4.0), num(yOf(db) + 4.0))
                    .arg(db);
    }
    mSvg += QStringLiteral("<text x=\"12\" y=\"%1\" transform=\"rotate(-90 12 %1)\" text-anchor=\"middle\">%2</text>\n")
                .arg(num(kTop + kPlotHeight / 2.0), axisName);
}

void SvgChart::ticks(const std::vector<std::pair<double, QString>>& positions, const QString& axisName)
{
    for (const auto& [x, label] : positions) {
        mSvg += QStringLiteral("<line x1=\"%1\" x2=\"%1\" y1=\"%2\" y2=\"%3\" stroke=\"#999\" stroke-width=\"0.5\"/>\n")
                    .arg(num(x), num(kTop), num(kTop + kPlotHeight + 4.0));
        mSvg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                    .arg(num(x), num(kTop + kPlotHeight + 18.0), label);
    }
    mSvg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                .arg(num(kLeft + kPlotWidth / 2.0), num(kHeight - 6.0), axisName);
}

QByteArray SvgChart::finish()
{
    mSvg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"none\" stroke=\"#333\"/>\n")
                .arg(num(kLeft), num(kTop), num(kPlotWidth), num(kPlotHeight));
    mSvg += QStringLiteral("</svg>\n");
    return mSvg.toUtf8();
}
