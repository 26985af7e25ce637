#include "AnalyseCli.h"

#include "analyser/AnalyserSettings.h"
#include "analyser/BoardScan.h"
#include "analyser/Crystal.h"
#include "analyser/SweepRunner.h"
#include "app/Options.h"
#include "app/StartUp.h"
#include "core/Calibration.h"
#include "core/Error.h"
#include "core/Numbers.h"
#include "dds/Board.h"
#include "settings/CSetting.h"
#include "settings/SafeFile.h"
#include "ui/Globals.h"
#include "ui/Holders.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kalimor {

void loadAnalyserPoint(double hz) {
    dds::board().load(tuningWord(hz, Globals::RefClkHz), Globals::PhaseStep, 0,
                      dds::Controller::Analyser);
}

namespace {

void line(const char* name, double value, int decimals, const char* unit) {
    std::printf("%s: %.*f%s%s\n", name, decimals, value, *unit ? " " : "", unit);
}

void printMarkers(const analyser::Trace& t) {
    using analyser::Shape;
    const analyser::ShapeMarkers m = analyser::shapeMarkers(t);
    std::printf("shape: %s\n", qPrintable(analyser::shapeName(m.shape).toLower()));
    line("peak", m.peak.hz / 1e6, 6, "MHz");
    line("peak level", m.peak.level, 2, "dB");
    if (m.shape == Shape::LowPass || m.shape == Shape::HighPass) {
        if (m.cornerHz) line("-3 dB", *m.cornerHz / 1e6, 6, "MHz");
        return;
    }
    if (m.shape == Shape::Notch) {
        line("notch", m.notch.hz / 1e6, 6, "MHz");
        line("notch depth", m.depthDb, 2, "dB");
    }
    if (m.lowHz && m.highHz) {
        line("-3 dB low", *m.lowHz / 1e6, 6, "MHz");
        line("-3 dB high", *m.highHz / 1e6, 6, "MHz");
        line("bandwidth", m.bandwidthHz(), 1, "Hz");
        if (m.shape == Shape::BandPass) {
            line("centre", m.centreHz() / 1e6, 6, "MHz");
            line("Q", m.q(), 1, "");
        }
    }
}

} // namespace

bool writeExport(const QString& path, const QString& text) {
    std::optional<QString> failure;
    if (path == QLatin1String("-")) {
        const QByteArray bytes = text.toUtf8();
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) !=
                size_t(bytes.size()) ||
            std::fflush(stdout) != 0)
            failure = QStringLiteral("cannot write the standard output: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
    } else {
        failure = replaceFile(path, text.toUtf8());
    }
    if (failure) std::fprintf(stderr, "kalimor: %s\n", qPrintable(*failure));
    return !failure;
}

int runAnalyse(const Options& options) {
    const AnalyseSetup& a = *options.analyse;
    StartUp(nullptr).readSettings();
    // Refused before the first load: a sweep stopped part-way would leave
    // the board at the last frequency it reached.
    if (const auto why = checkAnalyseLimits(a, Globals::RefClkHz)) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(*why));
        return 2;
    }
    dds::board().setAddress(Globals::PortAddress);
    CSetting& store = Globals::settings();
    const analyser::Detector detector = analyser_settings::detector(store);
    const bool simulated = dds::board().simulated();
    analyser::SimulatedDevice device;
    device.kind = a.crystal ? analyser::SimulatedDevice::Kind::Crystal
                            : analyser_settings::simulatedDevice(store);
    analyser::Detector textbook;
    textbook.kind = detector.kind;
    analyser::SimulatedDetector sim(device, textbook);
    analyser::SweepRunner runner(loadAnalyserPoint, [&](int samples) {
        if (!simulated) return dds::board().readAnalog(0, samples);
        return sim.readSteps(producedHz(dds::board().held().word, Globals::RefClkHz), samples);
    });
    runner.setDetector(detector);
    runner.setScan(analyser::boardScan(Globals::RefClkHz, Globals::PhaseStep));
    const auto through = analyser_settings::through();
    if (!a.sourceDbm && !through) {
        std::fprintf(stderr, "kalimor: no through is recorded (Record through in Tools > Network "
                             "Analyser...) and no --source DBM was given\n");
        return 1;
    }
    QString failure;
    const analyser::SweepFn sweep = [&](const std::vector<double>& frequencies) {
        analyser::SweepRunner::Setup s;
        s.frequencies = frequencies;
        s.settleMs = a.settleMs;
        s.samples = a.samples;
        analyser::Trace t = runner.run(s);
        if (a.sourceDbm) {
            for (auto& p : t) p.level -= *a.sourceDbm;
            return t;
        }
        QString why;
        if (auto n = analyser::normalise(t, *through, &why)) return *n;
        throw Error(err::InvalidCall, QStringLiteral("Analyser"), why);
    };
    if (const auto holder = dds::board().claim(dds::Controller::Analyser)) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(ui::refusalText(*holder)));
        return 1;
    }
    int status = 0;
    try {
        if (a.crystal) {
            QString why;
            const double near = a.nearMHz * 1e6;
            const double reach = AnalyseSetup::NearReach;
            const auto m =
                analyser::measureCrystal(sweep, near * (1 - reach), near * (1 + reach), a.r0, &why);
            if (!m) throw Error(err::InvalidCall, QStringLiteral("Analyser"), why);
            line("fs", m->fs / 1e6, 6, "MHz");
            line("fp", m->fp / 1e6, 6, "MHz");
            line("IL", m->ilDb, 2, "dB");
            line("Rm", m->rm, 2, "ohm");
            line("Lm", m->lm * 1e3, 4, "mH");
            line("Cm", m->cm * 1e15, 3, "fF");
            line("C0", m->c0 * 1e12, 3, "pF");
            line("Q", m->q, 0, "");
        } else {
            const analyser::Trace t = sweep(
                analyser::sweepFrequencies(a.startMHz * 1e6, a.stopMHz * 1e6, a.points, a.log));
            if (a.csv != QLatin1String("-") && a.s2p != QLatin1String("-")) printMarkers(t);
            // Before the files: one of them may be standard output by another name.
            std::fflush(stdout);
            const QString what =
                a.sourceDbm ? QStringLiteral("levels in dB against %1 dBm").arg(*a.sourceDbm)
                            : QStringLiteral("levels in dB against a through trace");
            if (!a.csv.isEmpty() &&
                !writeExport(a.csv, analyser::toCsv(t, detector.describe() + "; " + what)))
                status = 1;
            if (!a.s2p.isEmpty() &&
                !writeExport(a.s2p, analyser::toTouchstone(t, detector.describe())))
                status = 1;
        }
    } catch (const Error& e) {
        std::fprintf(stderr, "kalimor: %s\n", qPrintable(e.description()));
        status = 1;
    }
    std::fflush(stdout);
    dds::board().release(dds::Controller::Analyser);
    return status;
}

} // namespace kalimor
