#include "SerialBridge.h"

#include "core/Error.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

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
    case BRIDGE_ERR_CHECKSUM:
        return QStringLiteral("a damaged frame (checksum)");
    case BRIDGE_ERR_UNKNOWN:
        return QStringLiteral("a command it does not know (old firmware?)");
    case BRIDGE_ERR_LENGTH:
        return QStringLiteral("a frame of the wrong length");
    case BRIDGE_ERR_FULL:
        return QStringLiteral("more queued loads than its queue holds");
    case BRIDGE_ERR_BUSY:
        return QStringLiteral("a direct load while queued loads remain");
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
    QStringList lines{QStringLiteral("Kalimor bridge (ATmega328P, firmware/)"),
                      QStringLiteral("Protocol %1 at %2 baud, each load acknowledged by number")
                          .arg(bridge::Version)
                          .arg(m_baud),
                      describe(),
                      QStringLiteral("Chosen with --port serial:DEVICE or Edit > Board...")};
    if (const auto ppm = clockErrorPpm())
        lines.insert(2, QStringLiteral("The board's clock runs %1 ppm %2 of this computer's")
                            .arg(std::fabs(*ppm), 0, 'f', 0)
                            .arg(*ppm >= 0 ? QStringLiteral("fast") : QStringLiteral("slow")));
    return lines;
}

void SerialBridgePort::close() {
    m_port.close();
    m_in.clear();
    m_owed.clear();
    m_refused.clear(); // the loss is what is told
}

void SerialBridgePort::lost(const QString& why) {
    close();
    throw portFailure(QStringLiteral("Kalimor bridge on %1 lost: %2").arg(m_device, why));
}

std::optional<QByteArray> SerialBridgePort::awaitFrame(SerialLine::Clock::time_point deadline) {
    for (;;) {
        if (auto body = bridge::takeFrame(&m_in)) return body;
        if (SerialLine::Clock::now() >= deadline || !m_port.read(&m_in, deadline))
            return bridge::takeFrame(&m_in);
    }
}

void SerialBridgePort::notABridge(const QString& why) {
    close();
    m_openFailure = why;
    m_openFailed = SerialLine::Clock::now();
    throw portFailure(why);
}

int SerialBridgePort::identify(SerialLine::Clock::time_point deadline) {
    const std::uint8_t seq = send("I").value_or(0);
    while (auto body = awaitFrame(deadline)) {
        if (!body->startsWith('i') || body->size() < 3) continue;
        // Versions 2 and up echo the number before their version; version 1
        // answers with its version where the number would be.
        const bool numbered = std::uint8_t(body->at(1)) == seq && body->size() >= 4;
        m_caps = std::uint8_t(body->at(numbered ? 3 : 2));
        return std::uint8_t(body->at(numbered ? 2 : 1));
    }
    return -1;
}

void SerialBridgePort::open() {
    using Clock = SerialLine::Clock;
    const auto deadline = Clock::now() + OpenWait;
    QString why;
    if (!m_port.open(m_device, 115200, &why)) notABridge(why);
    m_baud = 115200;
    ++m_opens;
    m_clock.clear(); // a reset board's clock starts again
    // The board resets as the port opens and says hello when it is up; one
    // that does not reset is asked who it is, at each speed a program may
    // have left it at. Frames of any other kind do not keep the open
    // waiting past its deadline.
    int version = -1;
    const auto bannerBy = std::min(deadline, Clock::now() + BannerWait);
    while (auto body = awaitFrame(bannerBy))
        if (body->startsWith('B') && body->size() >= 3) {
            version = std::uint8_t(body->at(1));
            m_caps = std::uint8_t(body->at(2));
            break;
        }
    for (int baud : {115200, 1000000, 500000}) {
        if (version >= 0) break;
        if (baud != m_baud) {
            if (!m_port.setSpeed(baud)) break;
            m_baud = baud;
        }
        version = identify(std::min(deadline, Clock::now() + ProbeWait));
    }
    if (version < 0)
        notABridge(QStringLiteral("no Kalimor bridge answered on %1 - flash firmware/ first, "
                                  "see README")
                       .arg(m_device));
    if (version != bridge::Version)
        notABridge(QStringLiteral("the bridge on %1 runs protocol %2 firmware, this Kalimor "
                                  "speaks %3 - flash firmware/ from this version")
                       .arg(m_device)
                       .arg(version)
                       .arg(bridge::Version));
    m_openFailure.clear();
    if (m_baud == 115200) raiseSpeed();
    // A host that died keyed left the guard armed; this one says what it holds.
    if (m_caps & BRIDGE_CAP_GUARD) guard(m_keyed);
}

void SerialBridgePort::ensureOpen() {
    if (m_port.isOpen()) return;
    // A device that did not answer as a bridge is not asked again on every
    // keystroke, nor on every capability check.
    if (!m_openFailure.isEmpty() && SerialLine::Clock::now() - m_openFailed < RetryAfter)
        throw portFailure(m_openFailure);
    open();
}

void SerialBridgePort::guard(bool armed) {
    const QByteArray reply = exchange(QByteArray("K") + char(armed ? 1 : 0), 'k');
    if (reply.size() >= 3 && (std::uint8_t(reply[2]) & BRIDGE_GUARD_FIRED))
        m_guardFired = guardFiredReport();
}

QString SerialBridgePort::guardFiredReport() const {
    return QStringLiteral("the bridge on %1 powered the output down after the host fell silent")
        .arg(m_device);
}

void SerialBridgePort::setKeyed(bool keyed) {
    const bool arming = keyed && !m_keyed;
    m_keyed = keyed;
    ensureOpen();
    if (!(m_caps & BRIDGE_CAP_GUARD)) return;
    if (arming) {
        post(QByteArray("K") + char(1), 'k');
        return;
    }
    guard(keyed);
    if (!m_guardFired.isEmpty()) throw portFailure(std::exchange(m_guardFired, QString()));
}

void SerialBridgePort::keepAlive() {
    if (!m_keyed) return;
    // Any frame keeps the guard from firing; a cheap one only when none went lately.
    if (m_port.isOpen() && SerialLine::Clock::now() - m_lastSent < std::chrono::milliseconds(300) &&
        m_guardFired.isEmpty())
        return;
    setKeyed(true);
}

QByteArray SerialBridgePort::exchange(const QByteArray& body, char answer) {
    ensureOpen();
    if (auto reply = request(body, answer)) return *reply;
    lost(m_writeFailed ? QStringLiteral("%1 (unplugged?)").arg(m_port.error())
                       : QStringLiteral("it did not answer within %1 ms (unplugged?)")
                             .arg(AnswerWait.count()));
}

void SerialBridgePort::raiseSpeed() {
    m_baud = 115200;
    if (!(m_caps & BRIDGE_CAP_SPEED)) return;
    for (const auto& [code, baud] :
         {std::pair{BRIDGE_SPEED_1000000, 1000000}, std::pair{BRIDGE_SPEED_500000, 500000}}) {
        if (baud > m_topBaud) continue;
        if (!request(QByteArray("U") + char(code), 'A')) return;
        // The board switches once its answer's last stop bit has left; this
        // end waits for that before it sends at the new speed, so no byte
        // crosses while the speeds differ.
        const bool switched = m_port.setSpeed(baud);
        std::this_thread::sleep_for(SwitchWait);
        if (switched && request("I", 'i')) {
            m_baud = baud;
            return;
        }
        // The board goes back to 115200 when no good frame comes within
        // 500 ms of the switch; so does this end.
        m_port.setSpeed(115200);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        if (!request("I", 'i')) return;
    }
}

std::optional<std::uint8_t> SerialBridgePort::send(const QByteArray& body) {
    using Clock = SerialLine::Clock;
    if (!m_owed.empty()) takeAnswers(0, Clock::time_point::max());
    // Whatever waits in the input now answers no request of ours.
    m_in.clear();
    while (m_port.read(&m_in, Clock::now())) m_in.clear();
    return transmit(body);
}

std::optional<std::uint8_t> SerialBridgePort::transmit(const QByteArray& body) {
    using Clock = SerialLine::Clock;
    m_seq = std::uint8_t(m_seq % 254 + 1); // 1..254: 0 is nobody's, 0xFF the board's "unknown"
    const QByteArray frame = bridge::frame(body.left(1) + char(m_seq) + body.mid(1));
    const auto now = Clock::now();
    m_writeFailed = !m_port.write(frame, now + AnswerWait);
    // The board reads its clock for an answer once the frame's last byte is
    // in: a queue frame takes 0.3 ms on the wire at 1 Mbaud, 2.7 ms at
    // 115200, which would otherwise bias the clock's samples by the frame's
    // length.
    m_sentAt = now + std::chrono::microseconds(std::int64_t(frame.size()) * 10'000'000 / m_baud);
    m_lastSent = Clock::now();
    if (m_writeFailed) return std::nullopt;
    return m_seq;
}

std::optional<QByteArray> SerialBridgePort::request(const QByteArray& body, char answer) {
    const auto deadline = SerialLine::Clock::now() + AnswerWait;
    const auto sent = send(body);
    if (!sent) return std::nullopt;
    const std::uint8_t seq = *sent;
    for (;;) {
        const auto reply = awaitFrame(deadline);
        if (!reply) return std::nullopt;
        if (reply->startsWith('B')) lost(QStringLiteral("it was reset"));
        if (reply->size() < 2 || std::uint8_t(reply->at(1)) != seq) continue; // not this request's
        if (reply->startsWith(answer)) return *reply;
        if (reply->startsWith('E') && reply->size() >= 3)
            throw portFailure(QStringLiteral("the bridge on %1 refused %2")
                                  .arg(m_device, refusal(std::uint8_t(reply->at(2)))));
    }
}

QByteArray SerialBridgePort::loadBody(const std::uint8_t* bytes, std::size_t count) {
    // The stream's 40 bits as the chip would shift them in: DATA when W_CLK rises.
    if (count < 80) throw portFailure(QStringLiteral("a load of %1 bytes is no word").arg(count));
    QByteArray body("L");
    for (int byte = 0; byte < 5; ++byte) {
        std::uint8_t value = 0;
        for (int k = 0; k < 8; ++k)
            if (bytes[2 * (8 * byte + k) + 1] & LineData) value |= std::uint8_t(1 << k);
        body += char(value);
    }
    return body;
}

void SerialBridgePort::write(int, const std::uint8_t* bytes, std::size_t count) {
    const QByteArray body = loadBody(bytes, count);
    if (!m_owed.empty()) {
        // Behind loads sent ahead this one goes at once, waiting for no
        // answer first (a power-down goes out as soon as it can), then
        // waits for theirs and its own.
        post(body, 'A');
        takeAnswers(0, SerialLine::Clock::time_point::max());
    } else {
        const QByteArray ack = exchange(body, 'A');
        if (ack.size() < 3 || ack[2] != 'L') lost(QStringLiteral("it answered something else"));
    }
    raiseRefused();
}

void SerialBridgePort::raiseRefused() {
    if (!m_refused.isEmpty())
        throw portFailure(QStringLiteral("the bridge on %1 refused %2")
                              .arg(m_device, std::exchange(m_refused, QString())));
}

void SerialBridgePort::writeAhead(int, const std::uint8_t* bytes, std::size_t count) {
    using Clock = SerialLine::Clock;
    const QByteArray body = loadBody(bytes, count);
    ensureOpen();
    // What has come is read first, so a refusal or a loss is told before
    // another word goes.
    takeAnswers(0, Clock::now());
    raiseRefused();
    post(body, 'A');
}

void SerialBridgePort::post(const QByteArray& body, char answer) {
    using Clock = SerialLine::Clock;
    const int bytes = int(body.size()) + 4; // SYNC, LEN, SEQ and CRC besides
    const auto owedBytes = [this] {
        int sum = 0;
        for (const Owed& o : m_owed) sum += o.bytes;
        return sum;
    };
    while (!m_owed.empty() && owedBytes() + bytes > AheadBytes)
        takeAnswers(m_owed.size() - 1, Clock::time_point::max());
    const auto seq = transmit(body);
    if (!seq) lost(QStringLiteral("%1 (unplugged?)").arg(m_port.error()));
    m_owed.push_back({*seq, answer, bytes, Clock::now() + AnswerWait});
}

void SerialBridgePort::takeAnswers(std::size_t keep, SerialLine::Clock::time_point until) {
    using Clock = SerialLine::Clock;
    while (m_port.read(&m_in, Clock::now())) {
        // what has come, without waiting
    }
    while (m_owed.size() > keep) {
        const auto reply = awaitFrame(std::min(until, m_owed.front().by));
        if (!reply) {
            if (Clock::now() < m_owed.front().by) break; // `until` came first
            lost(QStringLiteral("it did not answer within %1 ms (unplugged?)")
                     .arg(AnswerWait.count()));
        }
        if (reply->startsWith('B')) lost(QStringLiteral("it was reset"));
        if (reply->size() < 3) continue;
        const std::uint8_t seq = std::uint8_t(reply->at(1));
        const auto owed = std::find_if(m_owed.begin(), m_owed.end(),
                                       [seq](const Owed& o) { return o.seq == seq; });
        if (owed == m_owed.end()) continue; // a duplicate, a stray refusal: none of ours
        // The board answers in turn: a request owed before this one never reached it.
        if (owed != m_owed.begin()) lost(QStringLiteral("a frame sent ahead went unanswered"));
        const char answer = owed->answer;
        m_owed.pop_front();
        if (reply->startsWith('E')) {
            if (m_refused.isEmpty()) m_refused = refusal(std::uint8_t(reply->at(2)));
        } else if (!reply->startsWith(answer) || (answer == 'A' && reply->at(2) != 'L')) {
            lost(QStringLiteral("it answered something else"));
        } else if (answer == 'k' && (std::uint8_t(reply->at(2)) & BRIDGE_GUARD_FIRED)) {
            m_guardFired = guardFiredReport();
        }
    }
}

namespace {

QByteArray le32(std::uint32_t v) {
    const char bytes[] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(bytes, 4);
}

std::uint32_t fromLe32(const QByteArray& b, int at) {
    return std::uint32_t(std::uint8_t(b[at])) | std::uint32_t(std::uint8_t(b[at + 1])) << 8 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 3])) << 24;
}

} // namespace

bool SerialBridgePort::hasQueue() {
    ensureOpen();
    return m_caps & BRIDGE_CAP_QUEUE;
}

std::uint32_t SerialBridgePort::boardTimeUs() {
    const QByteArray reply = exchange("T", 't');
    if (reply.size() < 6) lost(QStringLiteral("a short time"));
    m_clock.add(m_sentAt, fromLe32(reply, 2));
    return fromLe32(reply, 2);
}

SerialBridgePort::QueueReply SerialBridgePort::queue(const std::vector<QueuedLoad>& loads) {
    QByteArray body("Q");
    for (const QueuedLoad& l : loads) body += le32(l.dueUs) + le32(l.word) + char(l.control);
    const QByteArray reply = exchange(body, 'q');
    if (reply.size() < 13) lost(QStringLiteral("a short queue answer"));
    QueueReply r;
    r.free = std::uint8_t(reply[2]);
    r.nowUs = fromLe32(reply, 3);
    r.latched = fromLe32(reply, 7);
    r.late = std::uint16_t(std::uint8_t(reply[11]) | std::uint8_t(reply[12]) << 8);
    m_clock.add(m_sentAt, r.nowUs);
    return r;
}

int SerialBridgePort::dropAfter(std::uint32_t afterUs) {
    const QByteArray reply = exchange(QByteArray("X") + le32(afterUs), 'x');
    if (reply.size() < 3) lost(QStringLiteral("a short drop answer"));
    return std::uint8_t(reply[2]);
}

SerialBridgePort::Latched SerialBridgePort::lastLatched() {
    const QByteArray reply = exchange("W", 'w');
    if (reply.size() < 17) lost(QStringLiteral("a short latch report"));
    Latched l;
    l.count = fromLe32(reply, 2);
    l.dueUs = fromLe32(reply, 6);
    l.word = fromLe32(reply, 10);
    l.control = std::uint8_t(reply[14]);
    l.worstLateUs = std::uint16_t(std::uint8_t(reply[15]) | std::uint8_t(reply[16]) << 8);
    return l;
}

bool SerialBridgePort::hasScan() {
    ensureOpen();
    return m_caps & BRIDGE_CAP_SCAN;
}

std::vector<double> SerialBridgePort::scan(int channel, int samples, std::uint64_t startWord16,
                                           std::uint64_t stepWord16, int count,
                                           std::uint32_t settleUs, std::uint8_t control) {
    using Clock = SerialLine::Clock;
    ensureOpen();
    QByteArray body("S");
    body += char(channel);
    body += char(samples);
    body += char(count);
    body += char(count >> 8);
    body += le32(settleUs);
    body += le32(std::uint32_t(startWord16 >> 16));
    body += char(startWord16);
    body += char(startWord16 >> 8);
    body += le32(std::uint32_t(stepWord16 >> 16));
    body += char(stepWord16);
    body += char(stepWord16 >> 8);
    body += char(control);
    // Each point's time on the board (an ADC conversion is 104 us), and the
    // answer's time besides.
    const auto perPoint = std::chrono::microseconds(std::int64_t(settleUs) + samples * 115 + 150);
    const auto deadline = Clock::now() + AnswerWait + perPoint * count;
    const auto sent = send(body);
    if (!sent) lost(QStringLiteral("%1 (unplugged?)").arg(m_port.error()));
    const std::uint8_t seq = *sent;
    std::vector<double> readings(std::size_t(count), -1);
    for (;;) {
        const auto reply = awaitFrame(deadline);
        if (!reply) lost(QStringLiteral("the scan did not finish in time (unplugged?)"));
        if (reply->startsWith('B')) lost(QStringLiteral("it was reset"));
        if (reply->size() < 2 || std::uint8_t(reply->at(1)) != seq) continue;
        if (reply->startsWith('r') && reply->size() >= 6) {
            const int i = std::uint8_t(reply->at(2)) | std::uint8_t(reply->at(3)) << 8;
            const int sum = std::uint8_t(reply->at(4)) | std::uint8_t(reply->at(5)) << 8;
            if (i < count) readings[std::size_t(i)] = double(sum) / samples;
        } else if (reply->startsWith('A')) {
            if (std::count(readings.begin(), readings.end(), -1.0) > 0)
                lost(QStringLiteral("readings of the scan were lost"));
            return readings;
        } else if (reply->startsWith('E') && reply->size() >= 3) {
            throw portFailure(QStringLiteral("the bridge on %1 refused %2")
                                  .arg(m_device, refusal(std::uint8_t(reply->at(2)))));
        }
    }
}

double SerialBridgePort::readAnalog(int channel, int samples) {
    QByteArray body("D");
    body += char(channel);
    body += char(samples);
    const QByteArray reply = exchange(body, 'd');
    if (reply.size() < 6) lost(QStringLiteral("a short analog reading"));
    const int count = std::uint8_t(reply[3]);
    const int sum = std::uint8_t(reply[4]) | (std::uint8_t(reply[5]) << 8);
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
