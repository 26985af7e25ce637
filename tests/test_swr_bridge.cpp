// The antenna analyser through the emulated ATmega328P bridge: its A0 is a
// log detector (AD8307) on a return-loss bridge with a load on its port, the
// readings the firmware's own 10-bit ADC takes.
#include "EmulatedBridge.h"
#include "analyser/BoardScan.h"
#include "analyser/SweepRunner.h"
#include "analyser/Swr.h"
#include "dds/Board.h"
#include "dds/PortSpec.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cmath>

using namespace kalimor;
using namespace kalimor::analyser::swr;

namespace {

// The millivolts the bridge's reflected port gives the detector for `dut`:
// the same ideal bridge as the simulated board's.
std::function<std::uint32_t(double)> reflected(const Dut& dut) {
    return [dut](double hz) {
        const analyser::Detector ad8307;
        const double g = std::max(dut.gamma(hz), 1e-6);
        return std::uint32_t(std::lround(ad8307.millivolts(
            SimulatedBridge::SourceDbm - SimulatedBridge::BridgeLossDb + 20 * std::log10(g))));
    };
}

} // namespace

// The 40 m antenna after an open calibration, scanned on the board. The
// ADC's step is 0.2 dB of return loss, about 7 kHz of this antenna's slope
// at SWR 2, so the edges hold to half of that, not to the simulated board's
// 1 kHz; the resonance, from a curve through the dip, to 1 kHz.
TEST(SwrBridge, TheAntennaThroughTheEmulatedBoard) {
    EmulatedBridge emulated(KALIMOR_BRIDGE_ELF);
    QString why;
    dds::board().adoptPort(emulated.port());
    ASSERT_FALSE(dds::board().claim(dds::Controller::Analyser));
    analyser::SweepRunner runner([](double) { FAIL() << "a point loaded by itself"; },
                                 [](int) { return 0.0; });
    runner.setScan(analyser::boardScan(100e6, 0));
    analyser::SweepRunner::Setup setup;
    setup.frequencies = analyser::sweepFrequencies(6.5e6, 7.7e6, 101, false);
    setup.samples = 4;
    Calibration cal;
    emulated.setDetector(reflected(*parseDut(QStringLiteral("open"), &why)));
    cal.record(Standard::Open, runner.run(setup));
    emulated.setDetector(reflected(*parseDut(QStringLiteral("antenna:50:10e-6:50.249e-12"), &why)));
    const auto trace = cal.apply(runner.run(setup), &why);
    dds::board().release(dds::Controller::Analyser);
    dds::board().adoptPort(nullptr);
    ASSERT_TRUE(trace) << qPrintable(why);
    const Summary s = summarise(*trace);
    std::printf("through the emulated bridge: resonance %+.0f Hz, SWR %.3f, SWR 2 edges %+.0f "
                "%+.0f Hz\n",
                s.resonanceHz - 7.0999685e6, s.swr(), *s.bands[1].lowHz - 6.824192e6,
                *s.bands[1].highHz - 7.386890e6);
    EXPECT_NEAR(s.resonanceHz, 7.0999685e6, 1e3);
    EXPECT_LT(s.swr(), 1.1);
    EXPECT_NEAR(*s.bands[1].lowHz, 6.824192e6, 3.5e3);
    EXPECT_NEAR(*s.bands[1].highHz, 7.386890e6, 3.5e3);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
