// The USB serial bridge through the real firmware on an emulated ATmega328P:
// how long one load and one analog reading take on the wire at 115200 baud,
// in real time (the AVR's cycles at 16 MHz, which count the UART's bits as
// the hardware would; a real USB-serial chip adds about 1 ms of USB latency
// per exchange), the loads per second that makes, and what is left of a
// 10 ms sweep tick. Also the wall time the emulation took.
#include "EmulatedBridge.h"
#include "LoadStream.h"
#include "dds/SerialBridge.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <vector>

using namespace kalimor;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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

    // 9 bytes out (SYNC LEN 'L' word control CRC) and 5 back, 10 bits each.
    const double bytesMs = 14 * 10 / 115200.0 * 1e3;
    std::printf("load round trip, emulated: %.3f ms (frame out, 40 bits clocked, ack back)\n",
                perLoadMs);
    std::printf("  of which the 14 bytes at 115200 baud need %.3f ms; simavr's UART may run "
                "slower than the firmware's U2X setting\n",
                bytesMs);
    std::printf("loads per second on the wire: %.0f\n", 1e3 / perLoadMs);
    std::printf("left of a 10 ms sweep tick: %.3f ms (about 1 ms less through a real USB chip)\n",
                10 - perLoadMs);
    std::printf("analog reading, 16 samples averaged: %.3f ms\n", perReadMs);
    std::printf("network analyser point (load, then 16 samples): %.3f ms\n", perLoadMs + perReadMs);
    std::printf("emulation: %d loads in %.2f s of wall time\n", loads, wall);
    return 0;
}
