#include "SwrCli.h"

#include "analyser/AnalyserSettings.h"
#include "analyser/BoardScan.h"
#include "analyser/SweepRunner.h"
#include "analyser/Swr.h"
#include "analyser/SwrSettings.h"
#include "app/AnalyseCli.h"
#include "app/Options.h"
#include "app/StartUp.h"
#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/SketchAnalyser.h"
#include "ui/Globals.h"
#include "ui/Holders.h"

#include <cstdio>

namespace kalimor {

namespace {

using namespace analyser::swr;

// The antenna the README's example sweeps: a 40 m dipole's series model.
const QString DefaultAntenna = QStringLiteral("antenna:50:10e-6:50.249e-12");

int fail(const QString& why) {
    std::fprintf(stderr, "kalimor: %s\n", qPrintable(why));
    return 1;
}

QString mhz(double hz) {
    return QString::number(hz / 1e6, 'f', 6);
}

void print(const SwrTrace& trace) {
    const Summary sum = summarise(trace);
    std::printf("resonance: %s MHz\n", qPrintable(mhz(sum.resonanceHz)));
    std::printf("swr at resonance: %.3f\n", sum.swr());
    std::printf("return loss at resonance: %.2f dB\n", returnLossDb(sum.gamma));
    for (const Band& b : sum.bands) {
        const QString level = QString::number(b.swr);
        if (b.crosses())
            std::printf("swr %s bandwidth: %s - %s MHz\n", qPrintable(level),
                        qPrintable(mhz(*b.lowHz)), qPrintable(mhz(*b.highHz)));
        else
            std::printf("swr %s bandwidth: none\n", qPrintable(level));
    }
    std::fflush(stdout);
}

// An Arduino antenna analyser sweeps and reports SWR itself: its points are
// read as they come, with no calibration of ours.
int sketchSwr(const SwrSetup& s, const dds::PortSpec& port) {
    if (!s.calibrate.isEmpty() || !s.simDut.isEmpty())
        return fail(QStringLiteral("the antenna analyser sketch calibrates itself: --calibrate "
                                   "and --sim-dut do not apply"));
    dds::SketchAnalyser sketch;
    QString why;
    if (!sketch.open(port.device, port.baud, &why)) return fail(why);
    SwrTrace trace;
    try {
        for (const auto& p : sketch.sweep(s.startMHz * 1e6, s.stopMHz * 1e6, s.points - 1))
            trace.push_back({p.hz, (p.swr - 1) / (p.swr + 1)});
    } catch (const Error& e) {
        return fail(e.description());
    }
    if (trace.empty()) return fail(QStringLiteral("the antenna analyser sent no points"));
    if (s.csv != QLatin1String("-")) print(trace);
    if (!s.csv.isEmpty() &&
        !writeExport(s.csv,
                     toCsv(trace, QStringLiteral("antenna analyser sketch on ") + port.device)))
        return 1;
    return 0;
}

} // namespace

int runSwr(const Options& options) {
    const SwrSetup& s = *options.swr;
    StartUp(nullptr).readSettings();
    if (const auto port = dds::board().portChoice();
        port && port->kind == dds::PortSpec::Kind::Sketch)
        return sketchSwr(s, *port);
    // Refused before the first load, as --analyse is.
    if (const auto why = checkSwrLimits(s, Globals::RefClkHz)) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(*why));
        return 2;
    }
    dds::board().setAddress(Globals::PortAddress);
    const bool simulated = dds::board().simulated();
    const auto standard = parseStandard(s.calibrate);
    if (!s.simDut.isEmpty() && !simulated)
        return fail(QStringLiteral("--sim-dut is for the simulated board (--simulate)"));
    // On the simulated board the standard being calibrated is what is connected.
    QString why;
    const QString dutText = !s.simDut.isEmpty() ? s.simDut
                            : standard          ? standardName(*standard)
                                                : DefaultAntenna;
    const auto dut = parseDut(dutText, &why);
    if (!dut) return fail(QStringLiteral("--sim-dut: ") + why);

    const analyser::Detector detector = analyser_settings::detector(Globals::settings());
    analyser::Detector textbook;
    textbook.kind = detector.kind;
    SimulatedBridge bridge(*dut, textbook);
    analyser::SweepRunner runner(loadAnalyserPoint, [&](int samples) {
        if (!simulated) return dds::board().readAnalog(0, samples);
        return bridge.reflectedSteps(producedHz(dds::board().held().word, Globals::RefClkHz),
                                     samples);
    });
    runner.setDetector(detector);
    runner.setScan(analyser::boardScan(Globals::RefClkHz, Globals::PhaseStep));
    analyser::SweepRunner::Setup setup;
    setup.frequencies =
        analyser::sweepFrequencies(s.startMHz * 1e6, s.stopMHz * 1e6, s.points, false);
    setup.settleMs = s.settleMs;
    setup.samples = s.samples;

    Calibration cal = swr_settings::calibration();
    // A run no calibration covers would only be refused after the sweep.
    if (!standard && !cal.covers(setup.frequencies))
        return fail(QStringLiteral("no SWR: %1 (--calibrate open)").arg(cal.notCovering()));
    if (const auto holder = dds::board().claim(dds::Controller::Analyser))
        return fail(ui::refusalText(*holder));
    analyser::Trace levels;
    try {
        levels = runner.run(setup);
    } catch (const Error& e) {
        dds::board().release(dds::Controller::Analyser);
        return fail(e.description());
    }
    dds::board().release(dds::Controller::Analyser);

    if (standard) {
        cal.record(*standard, levels);
        if (const auto failure = swr_settings::saveCalibration(cal))
            return fail(QStringLiteral("the calibration is not kept: ") + *failure);
        std::printf("calibration: %s\n", qPrintable(cal.describe()));
        return 0;
    }
    const auto trace = cal.apply(levels, &why);
    if (!trace) return fail(QStringLiteral("no SWR: ") + why);
    // "-": the standard output holds the CSV alone.
    if (s.csv != QLatin1String("-")) print(*trace);
    const QString what = QStringLiteral("%1; %2").arg(detector.describe(), cal.describe());
    if (!s.csv.isEmpty() && !writeExport(s.csv, toCsv(*trace, what))) return 1;
    return 0;
}

} // namespace kalimor
