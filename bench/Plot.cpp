#include "Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

namespace {

const double kWidth = 720;
const double kHeight = 460;
const double kLeft = 80;
const double kRight = 200;
const double kTop = 40;
const double kBottom = 60;

std::string Number(double value)
{
    char text[32];
    if (value >= 1000)
        snprintf(text, sizeof text, "%.0f", value);
    else if (value >= 1)
        snprintf(text, sizeof text, "%g", value);
    else
        snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

bool WriteLogLogSvg(const std::string& path, const std::string& title, const std::string& xLabel,
                    const std::string& yLabel, const std::vector<double>& x,
                    const std::vector<Series>& series)
{
    double yMin = 1e300, yMax = 0;
    for (const Series& s : series)
        for (double v : s.y)
            if (v > 0) {
                yMin = std::min(yMin, v);
                yMax = std::max(yMax, v);
            }
    if (x.empty() || yMax <= 0)
        return false;
    const double xLo = std::floor(std::log10(*std::min_element(x.begin(), x.end())));
    const double xHi = std::ceil(std::log10(*std::max_element(x.begin(), x.end())));
    const double yLo = std::floor(std::log10(yMin));
    const double yHi = std::max(std::ceil(std::log10(yMax)), yLo + 1);
    const double plotW = kWidth - kLeft - kRight, plotH = kHeight - kTop - kBottom;
    auto px = [&](double v) { return kLeft + (std::log10(v) - xLo) / std::max(xHi - xLo, 1.0) * plotW; };
    auto py = [&](double v) { return kTop + plotH - (std::log10(v) - yLo) / (yHi - yLo) * plotH; };

    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr)
        return false;
    fprintf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                 "font-family=\"sans-serif\" font-size=\"12\">\n", kWidth, kHeight);
    fprintf(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
    fprintf(out, "<text x=\"%.0f\" y=\"22\" font-size=\"15\" text-anchor=\"middle\">%s</text>\n",
            kLeft + plotW / 2, title.c_str());
    for (double e = yLo; e <= yHi; ++e) {
        const double v = std::pow(10.0, e);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", kLeft, py(v),
                kLeft + plotW, py(v));
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kLeft - 6, py(v) + 4,
                Number(v).c_str());
    }
    for (double e = xLo; e <= xHi; ++e) {
        const double v = std::pow(10.0, e);
        fprintf(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", px(v), kTop,
                px(v), kTop + plotH);
        fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", px(v),
                kTop + plotH + 18, Number(v).c_str());
    }
    fprintf(out, "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" stroke=\"black\"/>\n",
            kLeft, kTop, plotW, plotH);
    fprintf(out, "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">%s</text>\n", kLeft + plotW / 2,
            kHeight - 15, xLabel.c_str());
    fprintf(out, "<text transform=\"translate(18,%.0f) rotate(-90)\" text-anchor=\"middle\">%s</text>\n",
            kTop + plotH / 2, yLabel.c_str());
    for (size_t i = 0; i < series.size(); ++i) {
        const Series& s = series[i];
        std::string points;
        for (size_t j = 0; j < x.size() && j < s.y.size(); ++j) {
            if (s.y[j] <= 0)
                continue;
            char point[64];
            snprintf(point, sizeof point, "%.1f,%.1f ", px(x[j]), py(s.y[j]));
            points += point;
            fprintf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"><title>%s N=%s: %s</title></circle>\n",
                    px(x[j]), py(s.y[j]), s.colour.c_str(), s.name.c_str(), Number(x[j]).c_str(),
                    Number(s.y[j]).c_str());
        }
        fprintf(out, "<polyline points=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\"/>\n", points.c_str(),
                s.colour.c_str());
        const double ly = kTop + 20 + 22 * static_cast<double>(i);
        fprintf(out, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" stroke-width=\"2\"/>\n",
                kLeft + plotW + 12, ly, kLeft + plotW + 36, ly, s.colour.c_str());
        fprintf(out, "<text x=\"%.0f\" y=\"%.0f\">%s</text>\n", kLeft + plotW + 42, ly + 4, s.name.c_str());
    }
    fprintf(out, "</svg>\n");
    return fclose(out) == 0;
}

}  // namespace bench
