// A 1,001-point network-analyser sweep of the 10.7 MHz crystal filter on
// the simulated board (each point a whole load on the board's thread, then
// the simulated detector): the wall time it takes, which must stay well under
// a second.
#include "analyser/Analysis.h"
#include "analyser/SweepRunner.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

using namespace kalimor;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    return 0;
}
