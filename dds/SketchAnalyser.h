#pragma once

#include "dds/Port.h"
#include "dds/SerialLine.h"

#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace kalimor::dds {

// An antenna analyser running the widely built Arduino sketch: it drives its
// own DDS and bridge and answers a sweep asked for as digits then a letter
// ("7000000A" start Hz, "7300000B" stop Hz, "100N" steps, "S" sweep) with
// lines "freq,SWR*1000" or "freq,SWR*1000,FWD,REV", then "End".
struct SketchPoint {
    double hz = 0;
    double swr = 0;
    std::optional<double> forward, reflected; // the raw detector readings, where sent
};

class SketchAnalyser {
public:
    static constexpr int Bauds[] = {57600, 115200};
    // False, with the reason, when the port cannot be had.
    bool open(const QString& device, int baud, QString* why);
    // One sweep. Raises kalimor::Error, before anything is sent, for a
    // zero-width range or zero steps (which the sketches hang or divide by
    // zero on), and for a reply that stops without "End" (no more lines within
    // `silence`) or holds a line that is not a point.
    std::vector<SketchPoint> sweep(double startHz, double stopHz, int steps,
                                   std::chrono::milliseconds silence = std::chrono::seconds(3));

private:
    SerialLine m_line;
    QString m_device;
};

// The sketch as a port (--port sketch:DEVICE[:BAUD]): it sweeps by itself and
// holds no frequency of ours, so a load is refused with that said; the SWR
// tab and `kalimor --swr` ask it for sweeps.
class SketchPort : public PortBackend {
public:
    SketchPort(QString device, int baud) : m_device(std::move(device)), m_baud(baud) {}
    void write(int address, const std::uint8_t* bytes, std::size_t count) override;
    QString describe() const override;

private:
    QString m_device;
    int m_baud;
};

} // namespace kalimor::dds
