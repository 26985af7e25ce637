#include "BeaconCli.h"

#include "app/Options.h"
#include "app/StartUp.h"
#include "beacon/Beacon.h"
#include "dds/Board.h"
#include "ui/Globals.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace kalimor {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

} // namespace

int runBeacon(const Options& options) {
    StartUp(nullptr).readSettings();
    dds::board().setAddress(Globals::PortAddress);
    beacon::Beacon b(*options.beacon, Globals::RefClkHz, Globals::PhaseStep);
    int status = 0;
    QObject::connect(&b, &beacon::Beacon::frameStarted, [](const QString& line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    });
    QObject::connect(&b, &beacon::Beacon::frameSkipped, [](const QString& why) {
        std::fprintf(stderr, "kalimor: beacon: frame skipped: %s\n", qPrintable(why));
    });
    QObject::connect(&b, &beacon::Beacon::failed, [&status](const QString& why) {
        std::fprintf(stderr, "kalimor: beacon: %s\n", qPrintable(why));
        status = 1;
    });
    QObject::connect(&b, &beacon::Beacon::finished, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Ctrl-C or systemd's stop: the output goes off and the board is let go.
    for (int sig : {SIGINT, SIGTERM}) std::signal(sig, [](int) { stopRequested = 1; });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&b] {
        if (stopRequested) b.stop();
    });
    watch.start(100);
    QString why;
    if (!b.start(&why)) {
        std::fprintf(stderr, "kalimor: beacon: %s\n", qPrintable(why));
        return 1;
    }
    QCoreApplication::exec();
    return status;
}

} // namespace kalimor
