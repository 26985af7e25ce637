// A 1,001-point network-analyser sweep of the 10.7 MHz crystal filter on
// the simulated board (each point a whole load on the board's thread, then
// the simulated detector): the wall time it takes, which must stay well under
// a second. Then the analyser at scale: a 10^6-line CSV's import (time and
// the memory it takes at its peak, which must stay under 150 MB) and the
// plot of 10^6 and of 100,001 points (handed over and drawn, each under 50 ms
// in all).
//
//   bench_analyser [LINES]
#include "analyser/AnalyserPlot.h"
#include "analyser/Analysis.h"
#include "analyser/SweepRunner.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The process's peak resident memory since the last reset, in MB.
double peakMB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ')[0].toDouble() / 1e3;
    return 0;
}

void resetPeak() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly)) refs.write("5");
}

// A band-pass response over `lines` points, in the analyser's CSV.
bool writeCsv(const QString& path, long lines) {
    std::FILE* f = std::fopen(qPrintable(path), "w");
    if (!f) return false;
    std::fprintf(f, "# Kalimor network analyser: log detector\nfrequency_hz,level,raw\n");
    for (long i = 0; i < lines; ++i) {
        const double hz = 1e6 + double(i) * 10, x = (hz - 6e6) / 5e5;
        std::fprintf(f, "%.3f,%.4f,%.3f\n", hz, -3 - 40 * x * x / (1 + x * x) + (i % 7) * 0.01,
                     400.0 + double(i % 100));
    }
    return std::fclose(f) == 0;
}

void plotFigures(const analyser::SharedTrace& trace, const char* what) {
    AnalyserPlot plot;
    plot.resize(900, 600);
    plot.show();
    QCoreApplication::processEvents();
    // Handed over (shared, not copied, and reduced) and drawn; then again,
    // as a run's growing trace is, and beside it as a memory.
    double handed[2], drawn[2];
    for (int i = 0; i < 2; ++i) {
        const auto start = Clock::now();
        plot.showTrace(trace, false, false);
        handed[i] = msSince(start);
        const auto draw = Clock::now();
        plot.grab();
        drawn[i] = msSince(draw);
    }
    const auto again = Clock::now();
    plot.addMemory(trace, QStringLiteral("memory"));
    plot.grab();
    std::printf("plot of %s: handed over in %.1f ms and drawn in %.1f ms (%.1f ms in all); "
                "again %.1f + %.1f ms; with it as a memory too %.1f ms\n",
                what, handed[0], drawn[0], handed[0] + drawn[0], handed[1], drawn[1],
                msSince(again));
}

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    dds::SimulatedBoard simulated;
    setPortBackend(&simulated);
    analyser::SimulatedDetector detector({analyser::SimulatedDevice::Kind::CrystalFilter}, {});
    analyser::SweepRunner runner([](double hz) { dds::board().load(tuningWord(hz, 100e6), 0, 0); },
                                 [&](int samples) {
                                     return detector.readSteps(
                                         dds::board().held().word * 100e6 / 4294967296.0, samples);
                                 });
    analyser::SweepRunner::Setup setup;
    setup.frequencies = analyser::sweepFrequencies(10.68e6, 10.72e6, 1001, false);
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const analyser::Trace trace = runner.run(setup);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const analyser::Markers m = analyser::findMarkers(trace);
        std::printf("1,001 points in %.1f ms (%.1f us a point); -3 dB bandwidth %.1f Hz\n", ms,
                    ms * 1000 / 1001, m.bandwidthHz());
    }
    setPortBackend(nullptr);

    const long lines = argc > 1 ? std::atol(argv[1]) : 1'000'000;
    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("big.csv"));
    if (!writeCsv(csv, lines)) {
        std::fprintf(stderr, "bench_analyser: cannot write %s\n", qPrintable(csv));
        return 1;
    }
    const double before = peakMB();
    resetPeak();
    const auto start = Clock::now();
    std::optional<analyser::Trace> imported;
    {
        QFile f(csv);
        QString description, why;
        if (f.open(QIODevice::ReadOnly))
            imported = analyser::readCsv(QByteArrayView(f.readAll()), 1e9, &description, &why);
        if (!imported) {
            std::fprintf(stderr, "bench_analyser: %s\n", qPrintable(why));
            return 1;
        }
    }
    std::printf("import of %ld lines: %.0f ms, peak resident %.0f MB (%.0f MB before)\n", lines,
                msSince(start), peakMB(), before);
    const auto shared = std::make_shared<const analyser::Trace>(std::move(*imported));
    // The first chart of a process loads its fonts and styles, whatever it shows.
    plotFigures(std::make_shared<const analyser::Trace>(
                    shared->begin(), shared->begin() + std::min<long>(1'001, lines)),
                "1,001 points, the process's first chart");
    plotFigures(shared, "the imported trace");
    plotFigures(std::make_shared<const analyser::Trace>(
                    shared->begin(), shared->begin() + std::min<long>(100'001, lines)),
                "100,001 points");
    return 0;
}
