#include "Board.h"

#include "core/Numbers.h"
#include "dds/Capabilities.h"
#include "dds/Port.h"
#include "dds/Realtime.h"

#include <algorithm>
#include <cmath>
#include <exception>

namespace kalimor::dds {

namespace {

// A port that guards a keyed carrier by itself powers it down after 2 s
// without a word from the host; it hears from us at least twice as often as
// it needs, however a poll's wake-up is delayed.
constexpr auto KeepAliveEvery = std::chrono::milliseconds(250);

// The byte conversions the control byte goes through, each of which must fit.
std::uint8_t toByte(int value) {
    if (value < 0 || value > 255) throw overflowError(QStringLiteral("WriteDDSWord"));
    return static_cast<std::uint8_t>(value);
}

int times16(std::int16_t value, int factor) {
    const int product = value * factor;
    if (product < INT16_MIN || product > INT16_MAX)
        throw overflowError(QStringLiteral("WriteDDSWord"));
    return product;
}

Error heldError(Controller holder) {
    return Error(err::BoardHeld, QStringLiteral("Board"), refusal(holder));
}

} // namespace

Board::Board(std::unique_ptr<BoardClock> clock)
    : m_clock(clock ? std::move(clock) : std::make_unique<SystemBoardClock>()) {
    qRegisterMetaType<kalimor::dds::SweepTick>();
    qRegisterMetaType<kalimor::dds::Controller>();
    qRegisterMetaType<kalimor::dds::SequenceReport>();
}

Board::~Board() = default;

void Board::askForRealtime() {
    if (!m_scheduling.isEmpty()) return;
    const QString got = makeThreadRealtime();
    std::lock_guard lock(m_mutex);
    m_scheduling = got;
}

void Board::clockFired(std::uint64_t expirations) {
    if (expirations > 0 && m_sweeping)
        m_sweepDriver->clockFired(expirations);
    else if (m_sequence->running())
        m_sequence->clockFired();
}

int Board::idleTimeoutMs() const {
    return m_keyed ? int(KeepAliveEvery.count()) : -1;
}

void Board::observe(Clock::time_point due, Clock::time_point sent) {
    if (m_observer) m_observer(due, sent);
}

void Board::setHeld(const Held& held) {
    std::lock_guard lock(m_mutex);
    m_held = held;
}

void Board::setKeyed(bool keyed) {
    if (keyed == m_keyed) return;
    m_keyed = keyed;
    m_lastKeepAlive = m_clock->now();
    if (!m_port) return;
    try {
        m_port->setKeyed(keyed);
    } catch (const Error&) {
        // The port's trouble is told by the loads that meet it; the
        // carrier's other guards (the power-down at the end) still stand.
        describeAgain();
    }
}

void Board::keepAliveIfKeyed() {
    if (!m_keyed || !m_port || m_clock->now() - m_lastKeepAlive < KeepAliveEvery) return;
    m_lastKeepAlive = m_clock->now();
    try {
        m_port->keepAlive();
    } catch (const Error&) {
        describeAgain();
    }
}

void Board::startSequence(std::vector<TimedWord> words, Clock::time_point start, Controller by) {
    if (const Controller holder = controller(); holder != by) throw heldError(holder);
    onThread([&] {
        if (m_sweeping) throw heldError(Controller::Sweep);
        // A key edge at normal priority waited up to a time slice (25 ms on
        // a busy machine) behind whatever else ran, traced or not.
        askForRealtime();
        // A bridge opens on its first use (the board resets, greets and
        // changes speed: over a second); the frame's clock starts once the
        // board is ready, or its first symbols would be squeezed or lost.
        m_sequence = &m_clockedSequence;
        if (TimedQueue* queue = innerPort() ? innerPort()->timedQueue() : nullptr) {
            const Clock::time_point before = m_clock->now();
            try {
                // Where the board has a timed queue its own timer latches
                // each word: the link's latency and this thread's wake-ups
                // stay out of the edges.
                if (queue->hasQueue()) {
                    m_queuedSequence.setQueue(queue);
                    m_sequence = &m_queuedSequence;
                }
            } catch (const Error&) {
                // The first load reports it.
            }
            start += m_clock->now() - before;
        }
        m_sequence->start(std::move(words), start);
    });
}

void Board::stopSequence() {
    onThread([&] { m_sequence->stop(); });
}

bool Board::sequencing() const {
    return m_sequence->running();
}

void Board::setPort(PortBackend* port) {
    onThread([&] {
        const bool keyed = m_keyed;
        setKeyed(false); // the port going away no longer guards
        m_port = port;
        m_owned.reset();
        setKeyed(keyed);
        describeAgain();
    });
    std::lock_guard lock(m_mutex);
    m_choice.reset();
}

void Board::adoptPort(std::unique_ptr<PortBackend> port, std::optional<PortSpec> choice) {
    const bool any = port != nullptr;
    onThread([&] {
        const bool keyed = m_keyed;
        setKeyed(false);
        m_owned = std::move(port);
        m_port = m_owned.get();
        setKeyed(keyed);
        describeAgain();
    });
    std::lock_guard lock(m_mutex);
    m_choice = any ? std::move(choice) : std::nullopt;
}

std::optional<PortSpec> Board::portChoice() const {
    std::lock_guard lock(m_mutex);
    return m_choice;
}

void Board::describeAgain() {
    QString text = m_port ? m_port->describe() : QStringLiteral("no port");
    std::lock_guard lock(m_mutex);
    m_description = std::move(text);
}

PortBackend* Board::port() const {
    PortBackend* port = nullptr;
    onThread([&] { port = m_port; });
    return port;
}

QString Board::describePort() const {
    std::lock_guard lock(m_mutex);
    return m_description;
}

QStringList Board::portDriverLines() const {
    QStringList lines{QStringLiteral("No port selected")};
    onThread([&] {
        if (m_port) lines = m_port->driverLines();
    });
    return lines;
}

void Board::setChip(const ChipProfile& chip) {
    onThread([&] { m_chip = chip; });
}

ChipProfile Board::chip() const {
    ChipProfile chip;
    onThread([&] { chip = m_chip; });
    return chip;
}

void Board::setAddress(int address) {
    m_address = address;
}

std::optional<Controller> Board::claim(Controller who) {
    bool changed = false;
    if (const auto holder = m_holding.take(who, changed)) return holder;
    if (!changed) return std::nullopt;
    if (who.keyed()) onThread([&] { setKeyed(true); });
    Q_EMIT controllerChanged(who);
    return std::nullopt;
}

void Board::release(Controller who) {
    if (!m_holding.holds(who) || who == Controller::Vfo) return;
    if (who.kind == Controller::Kind::Sweep) stopSweep();
    if (who.keyed()) stopSequence();
    m_holding.giveBack();
    if (who.keyed()) onThread([&] { setKeyed(false); });
    Q_EMIT controllerChanged(Controller::Vfo);
}

Controller Board::controller() const {
    return m_holding.holder();
}

void Board::setPttKeying(bool on) {
    m_holding.setPttKeying(on);
}

bool Board::pttKeying() const {
    return m_holding.pttKeying();
}

bool Board::powerDownIfKeyed() {
    bool did = false;
    onThread([&] {
        if (!m_keyed) return;
        m_sequence->abandon();
        const Held h = held();
        write(h.word, h.phase, 1);
        did = true;
    });
    // The program ends next: the trace, written behind the loads, must hold
    // the power-down before it does.
    onThread([&] {
        if (auto* traced = dynamic_cast<TracingPort*>(m_port)) traced->flush();
    });
    return did;
}

std::optional<Error> Board::lastFailure() const {
    std::lock_guard lock(m_mutex);
    return m_failure;
}

void Board::load(std::int32_t word, std::int16_t phase, std::int16_t powerDown, Controller by) {
    loadBy(word, phase, powerDown, by, false);
}

void Board::loadAhead(std::int32_t word, std::int16_t phase, std::int16_t powerDown,
                      Controller by) {
    loadBy(word, phase, powerDown, by, true);
}

void Board::loadBy(std::int32_t word, std::int16_t phase, std::int16_t powerDown, Controller by,
                   bool ahead) {
    const auto job = [&] {
        if (m_holding.mustPowerDown(by)) powerDown = 1;
        send(word, phase, powerDown, ahead && powerDown == 0);
    };
    if (!m_thread.runHereIfIdle(job)) onThread(job);
}

void Board::testLoad(PortBackend& port, const ChipProfile& chip, std::int32_t word,
                     std::int16_t phase) {
    if (const Controller holder = controller(); holder != Controller::Vfo) throw heldError(holder);
    onThread([&] {
        PortBackend* const savedPort = m_port;
        const ChipProfile savedChip = m_chip;
        const Held savedHeld = held();
        m_port = &port;
        m_chip = chip;
        std::exception_ptr failure;
        try {
            // PTT keying keeps a test's word keyed down too, until T 1.
            write(word, phase, pttKeying() ? 1 : 0);
        } catch (...) {
            failure = std::current_exception();
        }
        m_port = savedPort;
        m_chip = savedChip;
        describeAgain();
        // Another port's test leaves the board's own holding what it held; a
        // test through the board's own port is what the board now holds.
        std::lock_guard lock(m_mutex);
        if (&port != savedPort) m_held = savedHeld;
        if (failure) std::rethrow_exception(failure);
    });
}

PortBackend* Board::innerPort() const {
    if (auto* traced = dynamic_cast<TracingPort*>(m_port)) return &traced->inner();
    return m_port;
}

bool Board::simulated() const {
    bool simulated = false;
    onThread([&] { simulated = dynamic_cast<SimulatedBoard*>(innerPort()) != nullptr; });
    return simulated;
}

double Board::readAnalog(int channel, int samples) {
    double steps = 0;
    onThread([&] {
        PortBackend* port = innerPort();
        AnalogInput* input = port ? port->analogInput() : nullptr;
        if (!input)
            throw Error(err::PortAccess, QStringLiteral("Board"),
                        QStringLiteral("%1 has no analog input - a detector needs the USB serial "
                                       "bridge (Edit > Board...)")
                            .arg(port ? port->describe() : QStringLiteral("no port")));
        steps = input->readAnalog(channel, samples);
    });
    return steps;
}

std::optional<std::vector<double>> Board::scanAnalog(int channel, int samples, double startHz,
                                                     double stepHz, double refClkHz, int count,
                                                     int settleUs, std::int16_t phase,
                                                     Controller by) {
    std::optional<std::vector<double>> readings;
    onThread([&] {
        if (controller() != by) throw heldError(controller());
        BoardScan* scan = innerPort() ? innerPort()->boardScan() : nullptr;
        if (!scan || !scan->hasScan()) return;
        const std::uint8_t control = controlByte(phase, 0);
        // Words in 1/65536ths: the board adds the step up without drift. The
        // half word makes its whole part the nearest word, as a load's is.
        const double scale = 4294967296.0 * 65536.0 / refClkHz;
        const auto start = std::uint64_t(std::llround(startHz * scale + 32768));
        const auto step = std::uint64_t(std::llround(stepHz * scale));
        readings =
            scan->scan(channel, samples, start, step, count, std::uint32_t(settleUs), control);
        // The trace stays the record of what the board received.
        if (auto* traced = dynamic_cast<TracingPort*>(m_port))
            for (int i = 0; i < count; ++i)
                traced->traceScanned(
                    m_address, std::uint32_t((start + step * std::uint64_t(i)) >> 16), control);
        std::lock_guard lock(m_mutex);
        m_held =
            Held{std::int32_t((start + step * std::uint64_t(count - 1)) >> 16), phase, 0, true};
    });
    return readings;
}

Held Board::held() const {
    std::lock_guard lock(m_mutex);
    return m_held;
}

std::array<std::uint8_t, Board::StreamLength> Board::lastBytes() const {
    std::array<std::uint8_t, StreamLength> bytes{};
    onThread([&] { std::copy_n(m_bytes.begin(), StreamLength, bytes.begin()); });
    return bytes;
}

// The 32-bit tuning word LSB first, then the control byte (power-down bit
// W34, phase in W35..W39), two port writes per bit and an update strobe: 82
// bytes in one call of the back-end, so that a USB link makes one transfer.
std::uint8_t Board::controlByte(std::int16_t phase, std::int16_t powerDown) const {
    const std::uint8_t phaseBits = toByte(times16(phase, 8));
    std::uint8_t control = toByte(phaseBits | times16(powerDown, 4));
    if (m_chip.clockFactor() == 6) control |= 0x01; // W32: the AD9851's multiplier on
    return control;
}

void Board::write(std::int32_t word, std::int16_t phase, std::int16_t powerDown) {
    send(word, phase, powerDown, false);
}

void Board::send(std::int32_t word, std::int16_t phase, std::int16_t powerDown, bool ahead) {
    std::uint8_t control = controlByte(phase, powerDown);
    if (!m_port) {
        Error none(err::PortAccess, QStringLiteral("WriteDDSWord"),
                   QStringLiteral("no port selected"));
        std::lock_guard lock(m_mutex);
        m_failure = none;
        throw none;
    }
    std::int32_t bits = word;
    for (std::size_t k = 0; k < 32; ++k) {
        const std::uint8_t bit = static_cast<std::uint8_t>(bits & 1);
        m_bytes[2 * k] = bit;                // data, clock low
        m_bytes[2 * k + 1] = bit | LineWClk; // clock rises
        bits >>= 1;
    }
    for (std::size_t k = 0; k < 8; ++k) {
        const std::uint8_t bit = control & 1;
        m_bytes[64 + 2 * k] = bit;
        m_bytes[65 + 2 * k] = bit | LineWClk;
        control >>= 1;
    }
    // The clock falls as the update strobe rises, then every line idles low.
    m_bytes[80] = LineFqUd;
    m_bytes[81] = 0x00;
    try {
        if (ahead)
            m_port->writeAhead(m_address, m_bytes.data(), StreamLength);
        else
            m_port->write(m_address, m_bytes.data(), StreamLength);
    } catch (const Error& e) {
        describeAgain(); // a port says why it failed in its description too
        std::lock_guard lock(m_mutex);
        m_failure = e;
        throw;
    }
    QString description = m_port->describe();
    std::lock_guard lock(m_mutex);
    m_held = Held{word, phase, powerDown, true};
    m_failure.reset();
    if (description != m_description) m_description = std::move(description);
}

void Board::startSweep(const SweepPlan& plan, bool clocked) {
    if (m_sequence->running()) throw heldError(controller());
    if (const Controller holder = controller(); holder != Controller::Sweep)
        throw Error(err::BoardHeld, QStringLiteral("Board"),
                    holder == Controller::Vfo ? QStringLiteral("the sweep does not hold the board")
                                              : refusal(holder));
    onThread([&] {
        askForRealtime();
        m_run = SweepRun{};
        m_run.plan = plan;
        m_run.sweep.SwpInc = static_cast<std::int16_t>(plan.increment);
        m_run.sweep.start(plan.low);
        m_sweeping = false;
        m_sweepDriver = nullptr;
        if (!clocked) {
            m_clockedSweep.startUnclocked();
        } else {
            // On a bridge with a timed queue the board's own clock keeps the
            // ticks: they are queued ahead, latched there at their times.
            if (TimedQueue* queue = innerPort() ? innerPort()->timedQueue() : nullptr) {
                try {
                    if (queue->hasQueue()) {
                        m_queuedSweep.useQueue(*queue);
                        m_queuedSweep.start();
                        m_sweepDriver = &m_queuedSweep;
                    }
                } catch (const Error&) {
                    m_sweepDriver = nullptr; // the board's thread sends the ticks itself
                }
            }
            if (!m_sweepDriver) m_clockedSweep.start();
        }
        if (!m_sweepDriver) m_sweepDriver = &m_clockedSweep;
        m_sweeping = true;
    });
}

void Board::updateSweep(const SweepPlan& plan) {
    onThread([&] {
        m_run.plan = plan;
        m_run.sweep.SwpInc = static_cast<std::int16_t>(plan.increment);
        if (m_sweeping) m_sweepDriver->planChanged();
    });
}

SweepTick Board::stopSweep() {
    SweepTick last;
    onThread([&] {
        if (m_sweeping)
            m_sweepDriver->stop();
        else
            m_clockedSweep.stop();
        m_sweepDriver = nullptr;
        m_sweeping = false;
        last = m_run.last;
    });
    return last;
}

SweepTick Board::tickNow() {
    SweepTick last;
    onThread([&] {
        m_clockedSweep.tick(false);
        last = m_run.last;
    });
    return last;
}

bool Board::sweeping() const {
    bool on = false;
    onThread([&] { on = m_sweeping; });
    return on;
}

SweepState Board::sweepState() const {
    SweepState state;
    onThread([&] { state = m_run.sweep; });
    return state;
}

QString Board::scheduling() const {
    if (QString queued = m_queuedSweep.scheduling(); !queued.isEmpty()) return queued;
    std::lock_guard lock(m_mutex);
    return m_scheduling;
}

void Board::setTickObserver(std::function<void(Clock::time_point, Clock::time_point)> f) {
    onThread([&] { m_observer = std::move(f); });
}

namespace {

std::unique_ptr<BoardClock> firstClock;

} // namespace

Board& board() {
    static Board instance(std::move(firstClock));
    return instance;
}

bool makeBoardOn(std::unique_ptr<BoardClock> clock) {
    const BoardClock* given = clock.get();
    firstClock = std::move(clock);
    board();
    if (firstClock) {
        firstClock.reset();
        return false;
    }
    stampTracesFrom(given);
    return true;
}

} // namespace kalimor::dds
