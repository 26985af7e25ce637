#include "BoardScan.h"

#include "dds/Board.h"

#include <cmath>

namespace kalimor::analyser {

SweepRunner::ScanFn boardScan(double refClkHz, std::int16_t phase) {
    return [refClkHz, phase](const std::vector<double>& f, int settleMs,
                             int samples) -> std::optional<std::vector<double>> {
        if (f.empty() || f.size() > 65535 || refClkHz <= 0) return std::nullopt;
        // Equally spaced, to a thousandth of a hertz: a log sweep goes by points.
        const double step = f.size() > 1 ? (f.back() - f.front()) / double(f.size() - 1) : 0;
        for (size_t i = 0; i < f.size(); ++i)
            if (std::fabs(f[i] - (f.front() + double(i) * step)) > 1e-3) return std::nullopt;
        return dds::board().scanAnalog(0, samples, f.front(), step, refClkHz, int(f.size()),
                                       settleMs * 1000, phase, dds::Controller::Analyser);
    };
}

} // namespace kalimor::analyser
