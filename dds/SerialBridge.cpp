#include "SerialBridge.h"

#include "core/Error.h"

#include <QSerialPortInfo>

namespace kalimor::dds {

namespace {

std::uint8_t crc8(std::uint8_t crc, std::uint8_t data) {
    // CRC-8/CCITT, polynomial 0x07, as avr-libc's _crc8_ccitt_update.
    crc ^= data;
    for (int i = 0; i < 8; ++i)
        crc = (crc & 0x80) ? std::uint8_t((crc << 1) ^ 0x07) : std::uint8_t(crc << 1);
    return crc;
}

Error portFailure(const QString& description) {
    return Error(err::PortAccess, QStringLiteral("Port"), description);
}

QString refusal(std::uint8_t code) {
    switch (code) {
    case 1:
        return QStringLiteral("a damaged frame (checksum)");
    case 2:
        return QStringLiteral("a command it does not know (old firmware?)");
    case 3:
        return QStringLiteral("a frame of the wrong length");
    default:
        return QStringLiteral("a frame cut short");
    }
}

} // namespace

QByteArray bridge::frame(const QByteArray& body) {
    QByteArray f;
    f += char(Sync);
    f += char(body.size());
    std::uint8_t crc = crc8(0, std::uint8_t(body.size()));
    for (char c : body) crc = crc8(crc, std::uint8_t(c));
    f += body;
    f += char(crc);
    return f;
}

std::optional<QByteArray> bridge::takeFrame(QByteArray* in) {
    for (;;) {
        const qsizetype sync = in->indexOf(char(Sync));
        if (sync < 0) {
            in->clear();
            return std::nullopt;
        }
        in->remove(0, sync);
        if (in->size() < 2) return std::nullopt;
        const int length = std::uint8_t(in->at(1));
        if (length == 0 || length > MaxLength) {
            in->remove(0, 1); // not a frame's start after all
            continue;
        }
        if (in->size() < length + 3) return std::nullopt;
        std::uint8_t crc = 0;
        for (int i = 1; i <= length + 1; ++i) crc = crc8(crc, std::uint8_t(in->at(i)));
        if (crc != std::uint8_t(in->at(length + 2))) {
            in->remove(0, 1);
            continue;
        }
        const QByteArray body = in->mid(2, length);
        in->remove(0, length + 3);
        return body;
    }
}

SerialBridgePort::SerialBridgePort(QString device) : m_device(std::move(device)) {}

SerialBridgePort::~SerialBridgePort() = default;

QString SerialBridgePort::describe() const {
    return QStringLiteral("Kalimor bridge on %1").arg(m_device);
}

QStringList SerialBridgePort::driverLines() const {
    return {QStringLiteral("Kalimor bridge (ATmega328P, firmware/)"),
            QStringLiteral("Frames at 115200 baud, each load acknowledged"), describe(),
            QStringLiteral("Chosen with --port serial:DEVICE or Edit > Board...")};
}

void SerialBridgePort::close() {
    m_port.close();
    m_in.clear();
}

void SerialBridgePort::lost(const QString& why) {
    close();
    throw portFailure(QStringLiteral("Kalimor bridge on %1 lost: %2").arg(m_device, why));
}

std::optional<QByteArray> SerialBridgePort::awaitFrame(std::chrono::milliseconds wait) {
    const auto deadline = SerialLine::Clock::now() + wait;
    for (;;) {
        if (auto body = bridge::takeFrame(&m_in)) return body;
        if (SerialLine::Clock::now() >= deadline || !m_port.read(&m_in, deadline))
            return bridge::takeFrame(&m_in);
    }
}

void SerialBridgePort::open() {
    QString why;
    if (!m_port.open(m_device, 115200, &why)) throw portFailure(why);
    // The board resets as the port opens and says hello when it is up; one
    // that does not reset is asked who it is.
    std::optional<QByteArray> hello;
    for (auto body = awaitFrame(BannerWait); body; body = awaitFrame(BannerWait))
        if (body->startsWith('B')) {
            hello = body;
            break;
        }
    if (!hello) {
        m_port.write(bridge::frame(QByteArray("I")), SerialLine::Clock::now() + AnswerWait);
        for (auto body = awaitFrame(AnswerWait); body; body = awaitFrame(AnswerWait))
            if (body->startsWith('i')) {
                hello = body;
                break;
            }
    }
    if (!hello || hello->size() < 3) {
        close();
        throw portFailure(QStringLiteral("no Kalimor bridge answered on %1 - flash firmware/ "
                                         "first, see README")
                              .arg(m_device));
    }
    if (std::uint8_t(hello->at(1)) != bridge::Version) {
        const int version = std::uint8_t(hello->at(1));
        close();
        throw portFailure(QStringLiteral("the bridge on %1 speaks protocol %2, this Kalimor %3 - "
                                         "flash firmware/ from this version")
                              .arg(m_device)
                              .arg(version)
                              .arg(bridge::Version));
    }
}

QByteArray SerialBridgePort::exchange(const QByteArray& body, char answer) {
    if (!m_port.isOpen()) open();
    if (!m_port.write(bridge::frame(body), SerialLine::Clock::now() + AnswerWait))
        lost(QStringLiteral("%1 (unplugged?)").arg(m_port.error()));
    for (;;) {
        const auto reply = awaitFrame(AnswerWait);
        if (!reply) lost(QStringLiteral("it did not answer (unplugged?)"));
        if (reply->startsWith(answer)) return *reply;
        if (reply->startsWith('E') && reply->size() >= 2)
            throw portFailure(QStringLiteral("the bridge on %1 refused %2")
                                  .arg(m_device, refusal(std::uint8_t(reply->at(1)))));
        if (reply->startsWith('B')) lost(QStringLiteral("it was reset"));
        // Anything else is an old answer; the one to this frame follows.
    }
}

void SerialBridgePort::write(int, const std::uint8_t* bytes, std::size_t count) {
    // The stream's 40 bits as the chip would shift them in: DATA when W_CLK rises.
    if (count < 80) throw portFailure(QStringLiteral("a load of %1 bytes is no word").arg(count));
    QByteArray body("L");
    for (int byte = 0; byte < 5; ++byte) {
        std::uint8_t value = 0;
        for (int k = 0; k < 8; ++k)
            if (bytes[2 * (8 * byte + k) + 1] & LineData) value |= std::uint8_t(1 << k);
        body += char(value);
    }
    const QByteArray ack = exchange(body, 'A');
    if (ack.size() < 2 || ack[1] != 'L') lost(QStringLiteral("it answered something else"));
}

double SerialBridgePort::readAnalog(int channel, int samples) {
    QByteArray body("D");
    body += char(channel);
    body += char(samples);
    const QByteArray reply = exchange(body, 'd');
    if (reply.size() < 5) lost(QStringLiteral("a short analog reading"));
    const int count = std::uint8_t(reply[2]);
    const int sum = std::uint8_t(reply[3]) | (std::uint8_t(reply[4]) << 8);
    return count ? double(sum) / count : 0;
}

std::vector<SerialBridgePort::Candidate> SerialBridgePort::candidates() {
    // USB serial chips found on Arduino boards and their clones.
    static const std::pair<quint16, quint16> known[] = {{0x1a86, 0x7523}, {0x0403, 0x6001},
                                                        {0x2341, 0x0043}, {0x2341, 0x0001},
                                                        {0x2a03, 0x0043}, {0x10c4, 0xea60}};
    std::vector<Candidate> out;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        for (const auto& [vendor, product] : known)
            if (info.vendorIdentifier() == vendor && info.productIdentifier() == product) {
                out.push_back({info.systemLocation(), QStringLiteral("%1 (%2:%3)")
                                                          .arg(info.description())
                                                          .arg(vendor, 4, 16, QLatin1Char('0'))
                                                          .arg(product, 4, 16, QLatin1Char('0'))});
                break;
            }
    }
    return out;
}

} // namespace kalimor::dds
