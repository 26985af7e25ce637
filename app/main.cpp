#include "Version.h"
#include "app/AnalyseCli.h"
#include "app/BeaconCli.h"
#include "app/CarrierGuard.h"
#include "app/FollowCli.h"
#include "app/Kalimor.h"
#include "app/Options.h"
#include "app/RemoteControl.h"
#include "app/SwrCli.h"
#include "core/Error.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "net/RigctlServer.h"
#include "ui/Globals.h"
#include "ui/Holders.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <pwd.h>
#include <unistd.h>

using namespace kalimor;

namespace {

// Without XDG_RUNTIME_DIR (sudo, cron, a root shell, CI) Qt falls back to
// its own folder and says so on stderr in every run, before any line of
// ours. Naming that same folder keeps stderr to the program's own lines; Qt
// still makes it and checks that it is the user's alone.
void nameRuntimeFolder() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
    const passwd* user = ::getpwuid(::geteuid());
    const QByteArray name = user ? QByteArray(user->pw_name) : QByteArray::number(::geteuid());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(QDir::tempPath()) + "/runtime-" + name);
}

} // namespace

int main(int argc, char** argv) {
    ui::installHolderWording();
    // Options first: --help and a bad option must work without a display.
    QStringList args;
    for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
    const auto parsed = parseOptions(args);
    if (const QString* error = std::get_if<QString>(&parsed)) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(*error));
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("kalimor %s\n", version::full);
        return 0;
    }

    // From here on a keyed carrier goes off however the program is ended.
    guardCarrier();

    std::optional<rig::Endpoint> endpoint;
    if (options.rigctld) {
        endpoint = rig::parseEndpoint(*options.rigctld);
        if (!endpoint) {
            std::fprintf(stderr, "kalimor: --rigctld=%s: expected PORT, ADDR:PORT or [IPv6]:PORT\n",
                         qPrintable(*options.rigctld));
            return 2;
        }
    }

    // A board clock that jumps to each due time: a whole beacon frame on the
    // simulated board in a moment, for the tests. Only a window-less run on
    // the simulated board may have it: on a real board it would key a
    // carrier at the wrong times, and the window can change the port.
    const QByteArray virtualClock = qgetenv("KALIMOR_VIRTUAL_CLOCK");
    const bool onVirtualClock = !virtualClock.isEmpty() && virtualClock != "0";
    const bool windowless = options.beacon || options.analyse || options.swr || options.follow;
    if (onVirtualClock &&
        !(windowless && options.port && options.port->kind == dds::PortSpec::Kind::Simulated)) {
        std::fprintf(stderr, "kalimor: KALIMOR_VIRTUAL_CLOCK works only with --simulate and "
                             "--beacon, --analyse, --swr or --follow\n");
        return 2;
    }

    // The port from the command line wins over the settings for this run;
    // without one the window opens the one chosen in Edit > Board...
    std::unique_ptr<dds::PortBackend> port;
    if (options.port) port = dds::makeBackend(*options.port);
    Globals::PortFromCommandLine = options.port.has_value();
    if (!options.traceFile.isEmpty()) {
        try {
            // Checked here, before anything can reach the board.
            dds::TracingPort check(std::make_unique<dds::SimulatedBoard>(), options.traceFile);
        } catch (const Error& e) {
            std::fprintf(stderr, "kalimor: %s\n", qPrintable(e.description()));
            return 2;
        }
        Globals::TraceFile = options.traceFile;
        if (port) port = std::make_unique<dds::TracingPort>(std::move(port), options.traceFile);
    }

    // The beacon has no window: without a -platform of the user's, nothing
    // may wait for a screen, and every message goes to stderr.
    const bool platformGiven = args.contains(QStringLiteral("-platform"));
    if (windowless && !platformGiven) qputenv("QT_QPA_PLATFORM", "offscreen");
    nameRuntimeFolder();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalimor"));
    QApplication::setApplicationVersion(QLatin1String(version::full));
    // Ties the windows to the menu entry, so desktops show its icon for them.
    QApplication::setDesktopFileName(QStringLiteral("org.kalimor.Kalimor"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/kalimor.svg")));
    if (onVirtualClock && !dds::makeBoardOn(std::make_unique<dds::VirtualBoardClock>())) {
        std::fprintf(stderr, "kalimor: the board was made before its virtual clock\n");
        return 2;
    }
    if (port) dds::board().adoptPort(std::move(port), options.port);

    if (windowless) {
        const int status = options.follow   ? runFollow(options)
                           : options.swr    ? runSwr(options)
                           : options.beacon ? runBeacon(options)
                                            : runAnalyse(options);
        dds::board().adoptPort(nullptr);
        return status;
    }

    // Everything that can stop the program is checked before the window
    // loads the board.
    RemoteControl remote;
    remote.setPttKeysOutput(options.pttKeys);
    remote.setTransmitTimeout(
        std::chrono::milliseconds(std::llround(options.txTimeoutMinutes * 60'000)));
    rig::Server server(remote);
    if (endpoint) {
        QString error;
        if (!server.listen(*endpoint, &error)) {
            std::fprintf(stderr, "kalimor: %s\n", qPrintable(error));
            return 2;
        }
        if (endpoint->reachableFromNetwork())
            std::fprintf(stderr,
                         "kalimor: warning: rigctld listens on %s: anyone who can reach this "
                         "machine can tune the board\n",
                         qPrintable(server.endpoint().text()));
    }

    Kalimor window;
    remote.attach(window);
    if (endpoint) {
        QObject::connect(&server, &rig::Server::statusChanged, &window, &Kalimor::setRemoteStatus);
        window.setRemoteStatus(server.status());
    }
    window.show();
    const int status = QApplication::exec();
    // The window's own word stays on the board; a client's key does not.
    try {
        dds::board().powerDownIfKeyed();
    } catch (const Error& e) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(e.description()));
    }
    dds::board().adoptPort(nullptr);
    return status;
}
