#include "SketchAnalyser.h"

#include "core/Error.h"

#include <QStringList>

#include <cmath>

namespace kalimor::dds {

namespace {

const QString Source = QStringLiteral("Antenna analyser");

Error failure(const QString& why) {
    return Error(err::PortAccess, Source, why);
}

} // namespace

bool SketchAnalyser::open(const QString& device, int baud, QString* why) {
    m_device = device;
    return m_line.open(device, baud, why);
}

std::vector<SketchPoint> SketchAnalyser::sweep(double startHz, double stopHz, int steps,
                                               std::chrono::milliseconds silence) {
    const qint64 start = std::llround(startHz), stop = std::llround(stopHz);
    if (!(stop > start) || start <= 0)
        throw Error(err::InvalidCall, Source,
                    QStringLiteral("the sweep needs its stop above its start (%1 to %2 Hz)")
                        .arg(start)
                        .arg(stop));
    if (steps < 1)
        throw Error(err::InvalidCall, Source, QStringLiteral("the sweep needs 1 step or more"));
    if (!m_line.isOpen()) throw failure(QStringLiteral("the port is not open"));
    const QByteArray ask = QByteArray::number(start) + "A" + QByteArray::number(stop) + "B" +
                           QByteArray::number(steps) + "NS\r\n";
    if (!m_line.write(ask, SerialLine::Clock::now() + std::chrono::seconds(2)))
        throw failure(QStringLiteral("%1 takes no command: %2").arg(m_device, m_line.error()));
    std::vector<SketchPoint> points;
    QByteArray in;
    for (;;) {
        const qsizetype end = in.indexOf('\n');
        if (end < 0) {
            if (!m_line.read(&in, SerialLine::Clock::now() + silence))
                throw failure(QStringLiteral("%1 stopped after %2 points without \"End\"")
                                  .arg(m_device)
                                  .arg(points.size()));
            continue;
        }
        const QString line = QString::fromLatin1(in.left(end)).trimmed();
        in.remove(0, end + 1);
        if (line == QLatin1String("End")) break;
        // Sketches greet and echo in words: only lines that start with a digit are points.
        if (line.isEmpty() || !line[0].isDigit()) continue;
        const QStringList f = line.split(QLatin1Char(','));
        bool ok[4] = {false, false, true, true};
        SketchPoint p;
        p.hz = f.value(0).toDouble(&ok[0]);
        p.swr = f.value(1).toDouble(&ok[1]) / 1000;
        if (f.size() == 4) {
            p.forward = f[2].toDouble(&ok[2]);
            p.reflected = f[3].toDouble(&ok[3]);
        }
        if ((f.size() != 2 && f.size() != 4) || !ok[0] || !ok[1] || !ok[2] || !ok[3] || p.swr < 1)
            throw failure(QStringLiteral("%1 sent \"%2\", not freq,SWR*1000[,FWD,REV]")
                              .arg(m_device, line.left(60)));
        points.push_back(p);
        if (points.size() > size_t(steps) + 1)
            throw failure(QStringLiteral("%1 sent more than the %2 points asked for")
                              .arg(m_device)
                              .arg(steps + 1));
    }
    return points;
}

void SketchPort::write(int, const std::uint8_t*, std::size_t) {
    throw Error(err::PortAccess, Source,
                QStringLiteral("the antenna analyser sketch on %1 sweeps by itself and holds no "
                               "frequency: use the analyser's SWR tab or kalimor --swr")
                    .arg(m_device));
}

QString SketchPort::describe() const {
    return QStringLiteral("Antenna analyser sketch on %1 at %2 baud").arg(m_device).arg(m_baud);
}

} // namespace kalimor::dds
