#include "FollowCli.h"

#include "app/Options.h"
#include "app/StartUp.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "digital/FollowRig.h"
#include "follow/Follower.h"
#include "follow/Intake.h"
#include "follow/PulseFeed.h"
#include "follow/WavFeed.h"
#include "net/RigctlServer.h"
#include "ui/Globals.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

namespace kalimor {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

} // namespace

int runFollow(const Options& options) {
    StartUp(nullptr).readSettings();
    dds::board().setAddress(Globals::PortAddress);
    const FollowCliSetup& cli = *options.follow;

    follow::Follower follower(cli.setup, Globals::RefClkHz);
    follower.onProblem([](const QString& why) {
        if (!why.isEmpty()) std::fprintf(stderr, "kalimor: follow: %s\n", qPrintable(why));
    });

    digital::FollowRig rig(follower, Globals::RefClkHz);
    rig::Server server(rig);
    if (options.rigctld) {
        QString error;
        const auto endpoint = rig::parseEndpoint(*options.rigctld);
        if (!endpoint || !server.listen(*endpoint, &error)) {
            std::fprintf(stderr, "kalimor: %s\n", qPrintable(error));
            return 2;
        }
    }

    int status = 0;
    follow::WavFeed wav;
    follow::PulseFeed pulse;
    const bool fromServer =
        cli.source == QLatin1String("pulse") || cli.source.startsWith(QLatin1String("pulse:"));
    // The meter lives on the feed's thread; the follower takes its readings
    // there and the client's commands here, each under its lock.
    follow::Intake intake(follower, follow::Intake::stallFor(fromServer));
    auto sink = [&intake](std::span<const float> samples, double rate) {
        intake.feed(samples, rate);
    };
    QString why;
    if (!fromServer && !wav.open(cli.source, &why)) {
        std::fprintf(stderr, "kalimor: --follow-audio %s\n", qPrintable(why));
        return 2;
    }
    if (!follower.start(&why)) {
        std::fprintf(stderr, "kalimor: follow: %s\n", qPrintable(why));
        return 1;
    }
    double startedAt = dds::secondsSinceStart();
    if (fromServer) {
        // On the audio's own thread, as from a file: a reading waits for
        // nothing else.
        if (!pulse.start(cli.source.mid(6), sink, &why,
                         follow::PulseFeed::Deliver::OnAudioThread)) {
            std::fprintf(stderr, "kalimor: --follow-audio %s: %s\n", qPrintable(cli.source),
                         qPrintable(why));
            return 1;
        }
        // Nothing left to follow: the output goes off and the program says
        // why (a service manager starts it again).
        QObject::connect(&pulse, &follow::PulseFeed::failed, qApp, [&status](const QString& why) {
            std::fprintf(stderr, "kalimor: follow: %s\n", qPrintable(why));
            status = 1;
            QCoreApplication::quit();
        });
    } else {
        startedAt = dds::secondsSinceStart();
        wav.start(
            sink,
            [&status](const QString& why) {
                if (!why.isEmpty()) {
                    std::fprintf(stderr, "kalimor: follow: %s\n", qPrintable(why));
                    status = 1;
                }
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            },
            cli.speed);
    }
    std::printf("following %s at %.0f Hz from t=%.6f s, dial %.6f MHz, keyed by %s\n",
                qPrintable(cli.source), fromServer ? pulse.rate() : wav.format().rate, startedAt,
                cli.setup.dialHz / 1e6, cli.setup.keying == follow::Keying::Cat ? "cat" : "vox");
    std::fflush(stdout);

    for (int sig : {SIGINT, SIGTERM}) std::signal(sig, [](int) { stopRequested = 1; });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        if (stopRequested) QCoreApplication::quit();
        intake.watch();
    });
    watch.start(10);
    QCoreApplication::exec();
    wav.stop();
    pulse.stop();
    const follow::FollowStatus end = follower.status();
    // In seconds of audio, which --speed plays faster than the clock.
    const double seconds = (dds::secondsSinceStart() - startedAt) * cli.speed;
    std::printf("%lld readings in %.3f s of audio (%.1f a second), %lld loads\n",
                static_cast<long long>(end.readings), seconds,
                seconds > 0 ? double(end.readings) / seconds : 0.0,
                static_cast<long long>(end.loads));
    return status;
}

} // namespace kalimor
