#pragma once

#include "beacon/Beacon.h"
#include "dds/PortSpec.h"
#include "follow/Follower.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace kalimor {

// --analyse START:STOP:POINTS or --crystal R0, with their options.
struct AnalyseSetup {
    bool crystal = false;
    double startMHz = 0, stopMHz = 0;
    int points = 0;
    bool log = false;
    int settleMs = 0, samples = 4;
    std::optional<double> sourceDbm;
    QString csv, s2p;
    double r0 = 12.5, nearMHz = 10;
    static constexpr double NearReach = 0.005; // --crystal sweeps --near within 0.5 %
};

// --swr START:STOP:POINTS, the antenna analyser without a window.
struct SwrSetup {
    double startMHz = 0, stopMHz = 0;
    int points = 0;
    int settleMs = 0, samples = 4;
    QString calibrate; // --calibrate open|short|load: measure that standard and keep it
    QString simDut;    // --sim-dut: what the simulated board's bridge has on its port
    QString csv;
};

// --follow-audio SOURCE: the audio follower without a window.
struct FollowCliSetup {
    QString source; // "pulse", "pulse:NAME", a WAV file, or "-" for standard input
    std::optional<follow::Keying> keying; // --ptt; unset: cat with --rigctld, else vox
    follow::FollowSetup setup;
    double speed = 1; // --speed: a file played this many times faster than real time
};

// What the command line asks for.
struct Options {
    // --port or --simulate; without them the port in the settings (Edit >
    // Board...), or the parallel port at the configured address.
    std::optional<dds::PortSpec> port;
    QString traceFile;              // --trace FILE
    std::optional<QString> rigctld; // --rigctld[=[ADDR:]PORT]; empty: the default endpoint
    // --beacon MODE and its options: sends without a window.
    std::optional<beacon::BeaconSetup> beacon;
    // --analyse or --crystal: the analyser without a window.
    std::optional<AnalyseSetup> analyse;
    std::optional<SwrSetup> swr;          // --swr
    std::optional<FollowCliSetup> follow; // --follow-audio
    bool pttKeys = false; // --ptt-keys: a client's T 1 / T 0 switch the output on and off
    // --tx-timeout MINUTES: the longest key-down by PTT or a client's Morse; 0: none.
    double txTimeoutMinutes = 10;
    bool help = false;
    bool version = false;
};

// Either the options or one line saying what is wrong with them. Qt's own
// options (-platform, -display, -style...) are left for QApplication.
std::variant<Options, QString> parseOptions(const QStringList& arguments);

// Whether the board can make every frequency `a` asks for at `refClkHz`,
// known only once the settings are read: nothing, or one line naming the
// option, its value and the limit.
std::optional<QString> checkAnalyseLimits(const AnalyseSetup& a, double refClkHz);
// The same for `--swr` on the board (an analyser sketch makes its own).
std::optional<QString> checkSwrLimits(const SwrSetup& s, double refClkHz);

QString usageText();

} // namespace kalimor
