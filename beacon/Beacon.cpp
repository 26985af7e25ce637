#include "Beacon.h"

#include "core/Numbers.h"

#include <QDateTime>
#include <QTimeZone>

namespace kalimor::beacon {

namespace {

// How long before a WSPR frame the beacon wakes to check the clock and hand
// the board the frame: the board then waits for the start on its own clock.
constexpr auto Lead = std::chrono::milliseconds(700);

QString utcText(UtcClock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count(), QTimeZone::utc())
               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

QString mhz(double hz) {
    return QStringLiteral("%1 MHz").arg(hz / 1e6, 0, 'f', 6);
}

} // namespace

Beacon::Beacon(const BeaconSetup& setup, double refClkHz, std::int16_t phase, QObject* parent)
    : QObject(parent), m_setup(setup), m_refClkHz(refClkHz), m_phase(phase),
      m_holder(setup.heldBy ? *setup.heldBy : dds::Controller::make(setup.kind)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { sendFrame(m_next); });
    connect(&dds::board(), &dds::Board::sequenceDone, this, &Beacon::frameDone);
}

Beacon::~Beacon() {
    dds::board().disconnect(this);
    stop();
}

bool Beacon::start(QString* why) {
    if (m_setup.dialsHz.empty()) {
        *why = QStringLiteral("no dial frequency");
        return false;
    }
    if (m_setup.mode == BeaconSetup::Mode::Wspr) {
        const auto messages = wsprMessages(m_setup.call, m_setup.grid, m_setup.dbm, why);
        if (!messages) return false;
        m_messages = *messages;
    } else {
        const auto elements = morse(m_setup.text, why);
        if (!elements) return false;
        m_elements = *elements;
    }
    for (double dial : m_setup.dialsHz) {
        if (auto problem = dialProblem(dial, m_setup.shiftHz, m_refClkHz)) {
            *why = *problem;
            return false;
        }
    }
    if (m_setup.heldBy) {
        if (const dds::Controller holder = dds::board().controller(); holder != m_holder) {
            *why = dds::refusal(holder);
            return false;
        }
    } else if (const auto holder = dds::board().claim(m_holder)) {
        *why = dds::refusal(*holder);
        return false;
    }
    m_running = true;
    m_before = dds::board().held();
    if (m_setup.once || m_setup.mode != BeaconSetup::Mode::Wspr)
        sendFrame(UtcClock::now() + std::chrono::milliseconds(100));
    else
        scheduleNext();
    return true;
}

std::optional<QString> Beacon::dialProblem(double dialHz, double shiftHz, double refClkHz) {
    // The highest tone must have a word: below half the clock, and the
    // chip's own output filter wants far less.
    if (dialHz > 0 && dialHz + 2000 + shiftHz < refClkHz / 2) return std::nullopt;
    return QStringLiteral("the dial frequency %1 is outside 0 to half the %2 reference clock")
        .arg(mhz(dialHz), mhz(refClkHz));
}

void Beacon::stop() {
    if (!m_running) return;
    m_running = false;
    m_timer.stop();
    // Off (or as it was), then the board goes back to the main window. Off
    // keeps the word, so a client reading the frequency still sees the dial.
    dds::board().stopSequence();
    try {
        const dds::Held now = dds::board().held();
        if (m_setup.restore && m_before.any)
            dds::board().load(m_before.word, m_before.phase, m_before.powerDown, m_holder);
        else
            dds::board().load(now.any ? now.word : 0, m_phase, 1, m_holder);
    } catch (const Error&) {
        // The port's trouble was told with the frame that met it.
    }
    if (!m_setup.heldBy) dds::board().release(m_holder);
    Q_EMIT finished();
}

void Beacon::scheduleNext() {
    if (!m_running) return;
    m_next = nextWsprStart(UtcClock::now() + Lead);
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_next - Lead - UtcClock::now());
    Q_EMIT waiting(QStringLiteral("next frame %1").arg(utcText(m_next)));
    m_timer.start(int(std::max<std::chrono::milliseconds::rep>(0, wait.count())));
}

void Beacon::sendFrame(UtcClock::time_point utcStart) {
    if (!m_running) return;
    const bool wspr = m_setup.mode == BeaconSetup::Mode::Wspr;
    if (wspr && !m_setup.once) {
        if (UtcClock::now() > utcStart + std::chrono::seconds(1)) {
            Q_EMIT frameSkipped(QStringLiteral("%1: more than 1 s late").arg(utcText(utcStart)));
            return scheduleNext();
        }
        if (!m_setup.ignoreClock) {
            if (const auto problem = clockProblem()) {
                Q_EMIT frameSkipped(QStringLiteral("%1: %2").arg(utcText(utcStart), *problem));
                return scheduleNext();
            }
        }
        if (!transmitThisFrame(m_random, m_setup.txPercent)) {
            Q_EMIT frameSkipped(QStringLiteral("%1: not this frame (%2 % of frames are sent)")
                                    .arg(utcText(utcStart))
                                    .arg(m_setup.txPercent));
            ++m_frameIndex;
            return scheduleNext();
        }
    }
    const double dial = m_setup.dialsHz[m_frameIndex % m_setup.dialsHz.size()];
    std::vector<Tone> tones;
    QString message;
    double carrier = dial;
    if (wspr) {
        const WsprMessage& m = m_messages[m_frameIndex % m_messages.size()];
        const double offset = m_setup.offsetHz >= 0
                                  ? m_setup.offsetHz
                                  : std::uniform_real_distribution<double>(1400, 1600)(m_random);
        tones = wsprTones(m.symbols, dial, offset);
        message = m.text;
        carrier = dial + offset;
    } else {
        tones = morseTones(m_elements, dial, m_setup.ditSeconds, m_setup.keying, m_setup.shiftHz);
        message = m_setup.text;
    }
    std::vector<dds::TimedWord> words;
    words.reserve(tones.size());
    for (const Tone& t : tones)
        words.push_back({t.at, tuningWord(t.hz, m_refClkHz), m_phase, std::int16_t(t.off ? 1 : 0)});
    // The frame's UTC start on the board's clock.
    const auto start = dds::board().now() + std::chrono::duration_cast<dds::Board::Clock::duration>(
                                                utcStart - UtcClock::now());
    try {
        dds::board().startSequence(std::move(words), start, m_holder);
    } catch (const Error& e) {
        Q_EMIT failed(e.description());
        return stop();
    }
    m_sending = true;
    ++m_frameIndex;
    Q_EMIT frameStarted(QStringLiteral("%1  dial %2  %3  %4")
                            .arg(utcText(utcStart), mhz(dial), mhz(carrier), message));
}

void Beacon::frameDone(const dds::SequenceReport& report) {
    if (!m_sending) return;
    m_sending = false;
    if (report.failure) {
        Q_EMIT failed(report.failure->description());
        return stop();
    }
    if (report.stopped) return;
    ++m_frames;
    if (m_setup.once) return stop();
    if (m_setup.mode == BeaconSetup::Mode::Wspr) return scheduleNext();
    sendFrame(UtcClock::now() + std::chrono::milliseconds(1)); // the text again
}

} // namespace kalimor::beacon
