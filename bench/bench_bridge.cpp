// The USB serial bridge through the real firmware on an emulated ATmega328P,
// and the figures that follow for real hardware: each exchange's bytes on
// the wire at 115200 and 1000000 baud, the AVR's own work, and the USB
// chip's latency (about 1 ms on a CH340 or an FT232R whose latency timer the
// udev rule sets to 1 ms, 16 ms on an FT232R left at its default). Also the
// wall time the emulation took.
#include "EmulatedBridge.h"
#include "LoadStream.h"
#include "dds/Board.h"
#include "dds/SerialBridge.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

using namespace kalimor;

namespace {

// A sweep through the timed queue on a board whose resonator is `error`
// off, replies held 16 ms as an FT232R's default: the clock error the
// program measured, and the mean period in true time (a line through the
// latches' real times).
void skewedSweep(double error, int seconds) {
    EmulatedBridge board(KALIMOR_BRIDGE_ELF);
    board.setRealTime(true);
    board.setClockError(error);
    board.setReplyDelay(std::chrono::milliseconds(16));
    auto owned = std::make_unique<dds::SerialBridgePort>(QString::fromStdString(board.device()));
    dds::SerialBridgePort* port = owned.get();
    dds::board().adoptPort(std::move(owned));
    dds::SweepPlan plan;
    plan.low = 1000;
    plan.high = 1100;
    plan.scrollScale = 10;
    plan.refClkHz = 100e6;
    dds::board().claim(dds::Controller::Sweep);
    dds::board().startSweep(plan);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const dds::SweepTick last = dds::board().stopSweep();
    dds::board().release(dds::Controller::Sweep);
    const double ppm = port->clockErrorPpm().value_or(0);
    const int baud = port->baud();
    dds::board().adoptPort(nullptr);
    const double mean = board.meanLatchPeriodMs();
    std::printf("board %+.1f %% off, %d baud, %d s sweep: clock measured %+.0f ppm (error %+.0f "
                "ppm), mean period %.5f ms in true time (%+.3f %%), %zu latches, %lld missed, "
                "%d overruns, %d bytes across speeds\n",
                error * 100, baud, seconds, ppm, ppm - error * 1e6, mean, (mean / 10 - 1) * 100,
                board.latchTimes().size(), static_cast<long long>(last.missed), board.overruns(),
                board.crossings());
}

void loadsAndReadings() {
    EmulatedBridge board(KALIMOR_BRIDGE_ELF);
    dds::SerialBridgePort port(QString::fromStdString(board.device()));
    const auto first = loadStream(1);
    port.write(0, first.data(), first.size()); // opens, waits for the banner

    const int loads = 500;
    std::uint64_t loadCycles = 0;
    const auto startWall = std::chrono::steady_clock::now();
    for (int i = 0; i < loads; ++i) {
        const auto bytes = loadStream(42950u + std::uint32_t(i));
        port.write(0, bytes.data(), bytes.size());
        loadCycles += board.lastExchangeCycles();
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startWall).count();
    const double perLoadMs = double(loadCycles) / 16e6 / loads * 1e3;

    std::uint64_t readCycles = 0;
    const int reads = 50;
    for (int i = 0; i < reads; ++i) {
        port.readAnalog(0, 16);
        readCycles += board.lastExchangeCycles();
    }
    const double perReadMs = double(readCycles) / 16e6 / reads * 1e3;

    // For real hardware, computed rather than emulated (simavr times its
    // UART differently from the firmware's U2X setting): the bytes on the
    // wire at each speed, plus the AVR's own work (40 bits clocked out, 62.5
    // ns an instruction, about 30 us), plus the USB chip's latency per answer.
    const double loadBytes = 11 + 6; // SYNC LEN 'L' seq word control CRC, and the ack
    const double readBytes = 7 + 9;  // the 'D' request and its answer
    const double avrLoadMs = 0.03, adcMs = 16 * 0.104; // 16 conversions at 125 kHz
    std::printf(
        "emulated (simavr's own UART pace): load round trip %.3f ms, 16-sample reading %.3f ms\n",
        perLoadMs, perReadMs);
    std::printf(
        "computed for real hardware, per load / per analyser point (load then 16 samples):\n");
    for (const auto& [chip, latencyMs] :
         {std::pair{"CH340", 1.0}, std::pair{"FT232R, latency timer 1 ms", 1.0},
          std::pair{"FT232R at its default 16 ms", 16.0}})
        for (double baud : {115200.0, 1000000.0}) {
            const double load = loadBytes * 10 / baud * 1e3 + avrLoadMs + latencyMs;
            const double point = load + readBytes * 10 / baud * 1e3 + adcMs + latencyMs;
            std::printf("  %-28s %7.0f baud: %6.2f ms a load (%4.0f loads/s), %6.2f ms a point\n",
                        chip, baud, load, 1e3 / load, point);
        }
    std::printf("the board's own scan, a point of 16 samples: %.2f ms (the readings stream back "
                "meanwhile)\n",
                adcMs + 0.03);
    std::printf("emulation: %d loads in %.2f s of wall time\n", loads, wall);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    loadsAndReadings();
    for (double error : {-0.005, 0.0, 0.005}) skewedSweep(error, 10);
    return 0;
}
