// A log-log line plot written as SVG.
#ifndef BENCH_PLOT_H
#define BENCH_PLOT_H

#include <string>
#include <vector>

namespace bench {

struct Series {
    std::string name;
    std::string colour;
    std::vector<double> y;  // one value per x; <= 0 leaves the point out
};

// False when the file cannot be written.
bool WriteLogLogSvg(const std::string& path, const std::string& title, const std::string& xLabel,
                    const std::string& yLabel, const std::vector<double>& x,
                    const std::vector<Series>& series);

}  // namespace bench

#endif
