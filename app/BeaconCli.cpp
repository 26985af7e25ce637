#include "BeaconCli.h"

#include "app/Options.h"
#include "app/StartUp.h"
#include "beacon/Beacon.h"
#include "dds/Board.h"
#include "ui/Globals.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace kalimor {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

} // namespace

int runBeacon(const Options& options) {
    StartUp(nullptr).readSettings();
    dds::board().setAddress(Globals::PortAddress);
    beacon::BeaconSetup setup = *options.beacon;
    setup.kind = dds::Controller::Kind::BeaconCli;
    beacon::Beacon b(setup, Globals::RefClkHz, Globals::PhaseStep);
    int status = 0;
    QObject::connect(&b, &beacon::Beacon::frameStarted, &b, [&b, &status](const QString& line) {
        // A reader that went away (`| tee` closed) ends the beacon, keyed
        // down, rather than leaving it on the air unwatched.
        if (std::printf("%s\n", qPrintable(line)) < 0 || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "kalimor: beacon: standard output closed (%s): stopped\n",
                         std::strerror(errno));
            status = 1;
            b.stop();
        }
    });
    QObject::connect(&b, &beacon::Beacon::frameSkipped, &b, [](const QString& why) {
        std::fprintf(stderr, "kalimor: beacon: frame skipped: %s\n", qPrintable(why));
    });
    QObject::connect(&b, &beacon::Beacon::failed, &b, [&status](const QString& why) {
        std::fprintf(stderr, "kalimor: beacon: %s\n", qPrintable(why));
        status = 1;
    });
    QObject::connect(&b, &beacon::Beacon::finished, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    // Ctrl-C or systemd's stop: the output goes off and the board is let go,
    // and the beacon exits as done; the other signals are the carrier
    // guard's (guardCarrier), which ends the program keyed down.
    for (int sig : {SIGINT, SIGTERM}) std::signal(sig, [](int) { stopRequested = 1; });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &b, [&b] {
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
