#include "Board.h"

#include "core/Numbers.h"
#include "dds/Port.h"
#include "dds/Realtime.h"
#include "dds/SerialBridge.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kalimor::dds {

namespace {

constexpr auto DisplayInterval = std::chrono::milliseconds(33); // 30 readouts a second
// How long a caller watches for its answer, and the board's thread for the
// next job, before each goes to sleep: a load on the simulated board or a
// parallel port takes a few microseconds, a sleep and a wake-up about as many.
constexpr auto WatchFor = std::chrono::microseconds(50);
// A sweep on the bridge's queue: the first tick this far ahead, and the
// queue kept this many ticks (300 ms) ahead of the one under way.
constexpr auto QueueStartLead = std::chrono::microseconds(40'000);
constexpr std::int64_t QueueLeadTicks = 30;
constexpr int QueueFramesPerTurn = 2;
constexpr std::int64_t PeriodUs = 10'000;
// A port that guards a keyed carrier by itself powers it down after 2 s
// without a word from the host; it hears from us at least twice as often as
// it needs, however a poll's wake-up is delayed.
constexpr auto KeepAliveEvery = std::chrono::milliseconds(250);
// A tick due on the board sooner than this is not queued but counted missed.
constexpr double QueueMinLeadUs = 2'000;
// Due times follow the fitted clock line by a 25th of their distance from it
// a tick, so the line's noise never jolts a period.
constexpr double QueueSteer = 25;

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

} // namespace

Board::Board()
    : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      m_thread([this] { loop(); }) {
    qRegisterMetaType<kalimor::dds::SweepTick>();
    qRegisterMetaType<kalimor::dds::Controller>();
    qRegisterMetaType<kalimor::dds::SequenceReport>();
}

Board::~Board() {
    m_quit = true;
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) {
        // The loop also wakes for the clock; without either it would hang.
    }
    m_thread.join();
    ::close(m_wake);
    ::close(m_timer);
}

void Board::loop() {
    pthread_setname_np(pthread_self(), "board");
    pollfd fds[2] = {{m_wake, POLLIN, 0}, {m_timer, POLLIN, 0}};
    while (!m_quit) {
        const int wait = m_keyed ? int(KeepAliveEvery.count()) : -1;
        const int ready = ::poll(fds, 2, wait);
        std::unique_lock own(m_own);
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        keepAliveIfKeyed();
        if (ready <= 0) { // EINTR, or the keep-alive's turn
            m_owner.store({}, std::memory_order_relaxed);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t expirations = 0;
            if (::read(m_timer, &expirations, sizeof expirations) == sizeof expirations &&
                expirations > 0 && m_sweeping) {
                // Ticks more than a period late are counted, not sent in a burst.
                m_missed += static_cast<std::int64_t>(expirations) - 1;
                m_n += static_cast<std::int64_t>(expirations);
                if (m_queueBridge)
                    queueTick();
                else
                    tick(true);
            } else if (m_sequencing) {
                sequenceStep();
            }
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            if (::read(m_wake, &count, sizeof count) < 0) {
                // Nothing to read: another wake-up took it; the queue says what to do.
            }
            runJobs();
            m_owner.store({}, std::memory_order_relaxed);
            own.unlock();
            watch();
            continue;
        }
        m_owner.store({}, std::memory_order_relaxed);
    }
    std::lock_guard own(m_own);
    runJobs(); // no caller may be left waiting
}

bool Board::jobsWaiting() const {
    return m_jobCount.load(std::memory_order_acquire) > 0;
}

void Board::watch() {
    // A caller that finds the board watching does not write the eventfd; the
    // second look after the store catches one that came just before it.
    // The clock is read once every so many looks: reading it was most of
    // what a watch cost.
    m_watching.store(true);
    const auto ownAndRun = [this] {
        std::lock_guard own(m_own);
        m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        runJobs();
        m_owner.store({}, std::memory_order_relaxed);
    };
    for (auto until = Clock::now() + WatchFor; !m_quit && !m_sweeping;) {
        bool ran = false;
        for (int look = 0; look < 64; ++look)
            if (jobsWaiting()) {
                ownAndRun();
                ran = true;
                break;
            }
        const auto now = Clock::now();
        if (ran)
            until = now + WatchFor;
        else if (now >= until)
            break;
    }
    m_watching.store(false);
    ownAndRun();
}

void Board::runJobs() {
    for (;;) {
        Job* job = nullptr;
        {
            std::lock_guard lock(m_jobsMutex);
            if (m_jobs.empty()) return;
            job = m_jobs.front();
            m_jobs.pop_front();
            m_jobCount.fetch_sub(1, std::memory_order_relaxed);
        }
        try {
            job->run();
        } catch (...) {
            job->failure = std::current_exception();
        }
        // Notified under the job's lock: the caller cannot return (and take
        // the job off its stack) before this thread is done with it.
        std::lock_guard lock(job->mutex);
        job->done = true;
        job->finished.store(true, std::memory_order_release);
        job->woken.notify_one();
    }
}

bool Board::runHereIfIdle(const std::function<void()>& f) {
    // Jobs already queued go first, in order, on the board's thread.
    if (jobsWaiting() || !m_own.try_lock()) return false;
    std::lock_guard own(m_own, std::adopt_lock);
    if (m_sweeping || m_sequencing || jobsWaiting()) return false;
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    struct Disown {
        std::atomic<std::thread::id>& owner;
        ~Disown() { owner.store({}, std::memory_order_relaxed); }
    } disown{m_owner};
    f();
    return true;
}

void Board::onThread(const std::function<void()>& f) const {
    // On the board's thread, or on a thread loading in its stead (a job
    // that asks the board again).
    if (std::this_thread::get_id() == m_thread.get_id() ||
        m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return f();
    Job job;
    job.run = f;
    {
        std::lock_guard lock(m_jobsMutex);
        m_jobs.push_back(&job);
        m_jobCount.fetch_add(1, std::memory_order_release);
    }
    // Paired with the loop's store of false and its second look at the queue:
    // either the loop sees this job, or this caller sees it is not watching.
    if (!m_watching.load()) {
        const std::uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0) {
            // The counter is saturated only if the board is far behind; it will come.
        }
    }
    for (auto until = Clock::now() + WatchFor; !job.finished.load(std::memory_order_acquire);) {
        bool done = false;
        for (int look = 0; look < 64 && !done; ++look)
            done = job.finished.load(std::memory_order_acquire);
        if (done || Clock::now() > until) break;
    }
    std::unique_lock lock(job.mutex);
    job.woken.wait(lock, [&] { return job.done; });
    if (job.failure) std::rethrow_exception(job.failure);
}

void Board::askForRealtime() {
    if (!m_scheduling.isEmpty()) return;
    const QString got = makeThreadRealtime();
    std::lock_guard lock(m_mutex);
    m_scheduling = got;
}

void Board::setClock(bool on) {
    itimerspec when{};
    if (on) {
        m_start = Clock::now() + Period;
        m_n = 0;
        m_missed = 0;
        // steady_clock is CLOCK_MONOTONIC, the timer's clock.
        const auto first =
            std::chrono::duration_cast<std::chrono::nanoseconds>(m_start.time_since_epoch())
                .count();
        when.it_value = {static_cast<time_t>(first / 1'000'000'000),
                         static_cast<long>(first % 1'000'000'000)};
        when.it_interval = {0, static_cast<long>(std::chrono::nanoseconds(Period).count())};
    }
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &when, nullptr);
}

void Board::armAt(Clock::time_point when) {
    itimerspec at{};
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    // A time already past would disarm the timer: one nanosecond after the
    // epoch fires at once instead.
    at.it_value = {static_cast<time_t>(std::max<long long>(ns, 1) / 1'000'000'000),
                   static_cast<long>(std::max<long long>(ns, 1) % 1'000'000'000)};
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &at, nullptr);
}

void Board::setKeyed(bool keyed) {
    if (keyed == m_keyed) return;
    m_keyed = keyed;
    m_lastKeepAlive = Clock::now();
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
    if (!m_keyed || !m_port || Clock::now() - m_lastKeepAlive < KeepAliveEvery) return;
    m_lastKeepAlive = Clock::now();
    try {
        m_port->keepAlive();
    } catch (const Error&) {
        describeAgain();
    }
}

void Board::startSequence(std::vector<TimedWord> words, Clock::time_point start, Controller by) {
    if (const Controller holder = controller(); holder != by)
        throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(holder));
    onThread([&] {
        if (m_sweeping)
            throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(Controller::Sweep));
        // A key edge at normal priority waited up to a time slice (25 ms on
        // a busy machine) behind whatever else ran, traced or not.
        askForRealtime();
        // A bridge opens on its first use (the board resets, greets and
        // changes speed: over a second); the frame's clock starts once the
        // board is ready, or its first symbols would be squeezed or lost.
        if (auto* bridge = dynamic_cast<SerialBridgePort*>(innerPort())) {
            const Clock::time_point before = Clock::now();
            try {
                bridge->hasQueue();
            } catch (const Error&) {
                // The first load reports it.
            }
            start += Clock::now() - before;
        }
        m_sequence = std::move(words);
        m_sequenceNext = 0;
        m_sequenceStart = start;
        m_report = SequenceReport{};
        m_report.total = int(m_sequence.size());
        m_sequencing = true;
        sequenceStep();
    });
}

void Board::stopSequence() {
    onThread([&] {
        if (m_sequencing) endSequence(true, std::nullopt);
    });
}

bool Board::sequencing() const {
    return m_sequencing;
}

void Board::sequenceStep() {
    while (m_sequenceNext < m_sequence.size()) {
        const TimedWord& w = m_sequence[m_sequenceNext];
        const Clock::time_point due = m_sequenceStart + w.at;
        if (Clock::now() < due) return armAt(due);
        try {
            write(w.word, w.phase, w.powerDown);
        } catch (const Error& e) {
            return endSequence(false, e);
        }
        const Clock::time_point sent = Clock::now();
        if (m_observer) m_observer(due, sent);
        m_report.worstLate = std::max(
            m_report.worstLate, std::chrono::duration_cast<std::chrono::nanoseconds>(sent - due));
        ++m_report.sent;
        ++m_sequenceNext;
    }
    endSequence(false, std::nullopt);
}

void Board::endSequence(bool stopped, std::optional<Error> failure) {
    setClock(false);
    m_sequencing = false;
    m_report.stopped = stopped;
    m_report.failure = std::move(failure);
    m_sequence.clear();
    Q_EMIT sequenceDone(m_report);
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

QString ChipProfile::name() const {
    if (chip == Chip::AD9850) return QStringLiteral("AD9850");
    return multiplier ? QStringLiteral("AD9851, 6x clock") : QStringLiteral("AD9851");
}

QString ChipProfile::text() const {
    if (chip == Chip::AD9850) return QStringLiteral("AD9850");
    return multiplier ? QStringLiteral("AD9851x6") : QStringLiteral("AD9851");
}

std::optional<ChipProfile> ChipProfile::fromText(const QString& text) {
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("AD9850")) return ChipProfile{Chip::AD9850, false};
    if (t == QLatin1String("AD9851")) return ChipProfile{Chip::AD9851, false};
    if (t == QLatin1String("AD9851X6")) return ChipProfile{Chip::AD9851, true};
    return std::nullopt;
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

namespace {

// What each controller but the VFO makes a window and the status line say.
struct HolderTexts {
    Controller::Kind holder;
    const char* refusal;
    const char* note;
};
constexpr HolderTexts holderTexts[] = {
    {Controller::Kind::Sweep, "Close the sweep window first",
     "Sweep window open: network sets refused"},
    {Controller::Kind::Analyser, "Stop the network analyser's run first",
     "Network analyser running: network sets refused"},
    {Controller::Kind::Beacon, "The beacon window is sending: stop it first",
     "Beacon sending: network sets refused"},
    {Controller::Kind::BeaconCli, "The command-line beacon is sending: stop it first",
     "Beacon sending: network sets refused"},
    {Controller::Kind::Keyer, "A client's Morse is sending: stop it first",
     "A client's Morse sending: network sets refused"},
    {Controller::Kind::Ptt, "A client's PTT keys the output: it must send T 0 first",
     "PTT keyed: transmitting"},
};

const HolderTexts* textsOf(Controller holder) {
    for (const HolderTexts& t : holderTexts)
        if (t.holder == holder.kind) return &t;
    return nullptr;
}

std::atomic<std::uint32_t> lastIdentity{0};

} // namespace

Controller Controller::make(Kind kind) {
    return Controller{kind, ++lastIdentity};
}

bool Controller::keyed() const {
    return kind == Kind::Beacon || kind == Kind::BeaconCli || kind == Kind::Keyer ||
           kind == Kind::Ptt;
}

QString refusalText(Controller holder) {
    const HolderTexts* t = textsOf(holder);
    return t ? QLatin1String(t->refusal) : QStringLiteral("The main window holds the board");
}

QString holderNote(Controller holder) {
    const HolderTexts* t = textsOf(holder);
    return t ? QLatin1String(t->note) : QString();
}

std::optional<Controller> Board::claim(Controller who) {
    {
        std::lock_guard lock(m_mutex);
        if (m_controller == who) return std::nullopt;
        if (m_controller != Controller::Vfo || who == Controller::Vfo) return m_controller;
        m_controller = who;
    }
    if (who.keyed()) onThread([&] { setKeyed(true); });
    Q_EMIT controllerChanged(who);
    return std::nullopt;
}

void Board::release(Controller who) {
    {
        std::lock_guard lock(m_mutex);
        if (m_controller != who || who == Controller::Vfo) return;
    }
    if (who.kind == Controller::Kind::Sweep) stopSweep();
    if (who.keyed()) stopSequence();
    {
        std::lock_guard lock(m_mutex);
        m_controller = Controller::Vfo;
    }
    if (who.keyed()) onThread([&] { setKeyed(false); });
    Q_EMIT controllerChanged(Controller::Vfo);
}

Controller Board::controller() const {
    std::lock_guard lock(m_mutex);
    return m_controller;
}

void Board::setPttKeying(bool on) {
    std::lock_guard lock(m_mutex);
    m_pttKeying = on;
}

bool Board::pttKeying() const {
    std::lock_guard lock(m_mutex);
    return m_pttKeying;
}

bool Board::powerDownIfKeyed() {
    bool did = false;
    onThread([&] {
        if (!m_keyed) return;
        if (m_sequencing) {
            setClock(false);
            m_sequencing = false;
            m_sequence.clear();
        }
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
    const auto job = [&] {
        Controller holder;
        bool gated = false;
        {
            std::lock_guard lock(m_mutex);
            holder = m_controller;
            gated = m_pttKeying;
        }
        // PTT keying acts through the VFO: a client's F while keyed retunes
        // the carrier; without PTT the VFO's words go out keyed down.
        const bool throughPtt = by == Controller::Vfo && holder.kind == Controller::Kind::Ptt;
        if (holder != by && !throughPtt)
            throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(holder));
        if (by == Controller::Vfo && gated && !throughPtt) powerDown = 1;
        write(word, phase, powerDown);
    };
    if (!runHereIfIdle(job)) onThread(job);
}

void Board::testLoad(PortBackend& port, const ChipProfile& chip, std::int32_t word,
                     std::int16_t phase) {
    if (const Controller holder = controller(); holder != Controller::Vfo)
        throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(holder));
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
        auto* bridge = dynamic_cast<SerialBridgePort*>(port);
        if (!bridge)
            throw Error(err::PortAccess, QStringLiteral("Board"),
                        QStringLiteral("%1 has no analog input - a detector needs the USB serial "
                                       "bridge (Edit > Board...)")
                            .arg(port ? port->describe() : QStringLiteral("no port")));
        steps = bridge->readAnalog(channel, samples);
    });
    return steps;
}

std::optional<std::vector<double>> Board::scanAnalog(int channel, int samples, double startHz,
                                                     double stepHz, double refClkHz, int count,
                                                     int settleUs, std::int16_t phase,
                                                     Controller by) {
    std::optional<std::vector<double>> readings;
    onThread([&] {
        if (controller() != by)
            throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(controller()));
        auto* bridge = dynamic_cast<SerialBridgePort*>(innerPort());
        if (!bridge || !bridge->hasScan()) return;
        const std::uint8_t control = controlByte(phase, 0);
        // Words in 1/65536ths: the board adds the step up without drift. The
        // half word makes its whole part the nearest word, as a load's is.
        const double scale = 4294967296.0 * 65536.0 / refClkHz;
        const auto start = std::uint64_t(std::llround(startHz * scale + 32768));
        const auto step = std::uint64_t(std::llround(stepHz * scale));
        readings =
            bridge->scan(channel, samples, start, step, count, std::uint32_t(settleUs), control);
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
    if (m_sequencing)
        throw Error(err::BoardHeld, QStringLiteral("Board"), refusalText(controller()));
    if (const Controller holder = controller(); holder != Controller::Sweep)
        throw Error(err::BoardHeld, QStringLiteral("Board"),
                    holder == Controller::Vfo ? QStringLiteral("the sweep does not hold the board")
                                              : refusalText(holder));
    onThread([&] {
        askForRealtime();
        m_plan = plan;
        m_sweep = SweepState{};
        m_sweep.SwpInc = static_cast<std::int16_t>(plan.increment);
        m_sweep.start(plan.low);
        m_last = SweepTick{};
        m_lastFailed = false;
        m_lastShown = {};
        m_sweeping = true;
        m_missed = 0;
        m_queueBridge = nullptr;
        m_queued.clear();
        // On a bridge with a timed queue the board's own clock keeps the
        // ticks: they are queued ahead, latched there at their times.
        auto* bridge = clocked ? dynamic_cast<SerialBridgePort*>(innerPort()) : nullptr;
        try {
            if (bridge && bridge->hasQueue()) startQueue(bridge);
        } catch (const Error&) {
            m_queueBridge = nullptr; // the board's thread sends the ticks itself
        }
        setClock(clocked);
    });
}

void Board::updateSweep(const SweepPlan& plan) {
    onThread([&] {
        m_plan = plan;
        m_sweep.SwpInc = static_cast<std::int16_t>(plan.increment);
        if (!m_queueBridge || !m_sweeping) return;
        // What is queued beyond the tick under way is replaced: the change
        // acts from the next tick, as it does without a queue.
        const std::int64_t keep = queueTickNow() + 1;
        auto kept = std::find_if(m_queued.begin(), m_queued.end(),
                                 [&](const Queued& q) { return q.n == keep; });
        if (kept == m_queued.end()) return;
        try {
            m_queueBridge->dropAfter(kept->dueUs);
        } catch (const Error& e) {
            m_last.failure = e;
        }
        m_sweep = kept->after;
        m_sweep.SwpInc = static_cast<std::int16_t>(plan.increment);
        m_queuedN = keep + 1;
        m_nextDue = kept->due + PeriodUs * m_queueBridge->clockRatio();
        m_queued.erase(kept + 1, m_queued.end());
    });
}

std::int64_t Board::queueTickNow() const {
    return std::max<std::int64_t>(0, (Clock::now() - m_hostStart) / Period);
}

void Board::startQueue(SerialBridgePort* bridge) {
    // The first tick leaves room for a few exchanges, however late the USB
    // chip passes the answers on.
    const auto asked = Clock::now();
    bridge->boardTimeUs();
    const auto roundTrip = Clock::now() - asked;
    m_hostStart = asked + QueueStartLead + 4 * roundTrip;
    m_queuedN = 0;
    m_nextDue = *bridge->boardAt(m_hostStart);
    m_queueOpens = bridge->opens();
    m_queueMissed = 0;
    m_queuePpm = std::nan("");
    m_confirmedN = -1;
    m_lateKnown = false;
    m_queueBridge = bridge;
    m_queueMode = true;
    topUp(0);
}

void Board::topUp(std::int64_t nNow) {
    SerialBridgePort* bridge = m_queueBridge;
    bridge->hasQueue(); // a lost link opens again here, before any time is worked out
    if (bridge->opens() != m_queueOpens) {
        // The link was opened again: the board may have been reset, its
        // queue and clock gone, or not, its queue still holding ours. Either
        // way it is emptied and the ticks from the next on are queued again
        // on its clock as it is now; those due meanwhile are missed.
        bridge->dropAfter(bridge->boardTimeUs() - 0x40000000u);
        m_queueOpens = bridge->opens();
        m_queueMissed += m_lateCount; // the new board counts from its own start
        m_lateCount = 0;
        m_lateKnown = false;
        auto last = std::find_if(m_queued.begin(), m_queued.end(),
                                 [&](const Queued& q) { return q.n == nNow; });
        if (last != m_queued.end()) {
            m_sweep = last->after;
            m_queuedN = nNow + 1;
            m_queued.erase(last + 1, m_queued.end());
        }
        for (Queued& q : m_queued) q.due = -1e18; // on a clock that is gone
        m_queueMissed += std::max<std::int64_t>(0, std::min(m_queuedN - 1, nNow) - m_confirmedN);
        m_confirmedN = std::max(m_confirmedN, std::min(m_queuedN - 1, nNow));
        m_nextDue = *bridge->boardAt(m_hostStart + Period * m_queuedN);
    }
    const double ratio = bridge->clockRatio();
    // A few frames a turn: the clock's next turn tops up further, and the
    // board thread is never held for long however late the answers come.
    for (int frames = 0; frames < QueueFramesPerTurn && m_queuedN < nNow + QueueLeadTicks;
         ++frames) {
        const double boardNow = *bridge->boardAt(Clock::now());
        // What the board still holds: the queued ticks not yet due there.
        int held = 0;
        for (const Queued& q : m_queued)
            if (q.n >= 0 && q.due > boardNow - QueueMinLeadUs) ++held;
        const int room =
            std::min<int>(SerialBridgePort::LoadsPerFrame, SerialBridgePort::QueueSlots - 1 - held);
        if (room <= 0) break;
        // Built aside and kept only once the board has taken them.
        SweepState sweep = m_sweep;
        std::int64_t n = m_queuedN;
        double due = m_nextDue;
        std::int64_t skipped = 0;
        std::vector<Queued> made;
        std::vector<SerialBridgePort::QueuedLoad> batch;
        while (int(batch.size()) < room && n < nNow + QueueLeadTicks) {
            const double target = *bridge->boardAt(m_hostStart + Period * n);
            const double at = due + (target - due) / QueueSteer;
            due = at + PeriodUs * ratio;
            sweep.turn(m_plan.high, m_plan.low);
            Queued q;
            q.n = n++;
            q.tick.position = sweep.SwpPos;
            q.tick.hz = sweep.SwpPos / m_plan.scrollScale * m_plan.freqMult;
            q.tick.word = tuningWord(q.tick.hz, m_plan.refClkHz); // raises as a tick would
            sweep.advance();
            q.after = sweep;
            q.due = at;
            q.dueUs = std::uint32_t(std::int64_t(std::llround(at)));
            if (at < boardNow + QueueMinLeadUs) {
                ++skipped; // its time has passed: not sent in a burst
                continue;
            }
            batch.push_back(
                {q.dueUs, std::uint32_t(q.tick.word), controlByte(m_plan.phase, m_plan.powerDown)});
            made.push_back(q);
        }
        if (!batch.empty()) {
            const SerialBridgePort::QueueReply reply = bridge->queue(batch);
            if (!m_lateKnown) {
                m_lateBase = std::uint16_t(reply.late);
                m_lateKnown = true;
            }
            m_lateCount = std::uint16_t(reply.late - m_lateBase);
            m_queuePpm = bridge->clockErrorPpm().value_or(std::nan(""));
            for (const Queued& q : m_queued)
                if (q.n > m_confirmedN && std::int32_t(q.dueUs - reply.nowUs) <= 0)
                    m_confirmedN = q.n;
        }
        m_sweep = sweep;
        m_queuedN = n;
        m_nextDue = due;
        m_queueMissed += skipped;
        m_queued.insert(m_queued.end(), made.begin(), made.end());
    }
    while (!m_queued.empty() && m_queued.front().n < nNow - 2 * QueueLeadTicks)
        m_queued.pop_front();
}

void Board::queueTick() {
    const std::int64_t nNow = queueTickNow();
    SweepTick t;
    try {
        topUp(nNow);
    } catch (const Error& e) {
        t.failure = e;
    }
    for (const Queued& q : m_queued)
        if (q.n >= 0 && q.n <= nNow && !t.failure) t = q.tick;
    t.ticks = nNow + 1;
    // Every tick that did not latch at its time: not queued in time, lost
    // with a reset board, or latched late by the board.
    t.missed = m_queueMissed + m_lateCount;
    if (!t.failure) {
        std::lock_guard lock(m_mutex);
        m_held = Held{t.word, m_plan.phase, m_plan.powerDown, true};
    }
    showTick(t, true);
}

void Board::showTick(const SweepTick& t, bool clocked) {
    const bool changed = t.failure.has_value() != m_lastFailed;
    m_lastFailed = t.failure.has_value();
    m_last = t;
    // A few readouts a second are all an eye can follow; a failure or a
    // recovery is told at once.
    const Clock::time_point now = Clock::now();
    if (clocked && (changed || now - m_lastShown >= DisplayInterval)) {
        m_lastShown = now;
        Q_EMIT swept(t);
    }
}

SweepTick Board::stopSweep() {
    SweepTick last;
    onThread([&] {
        setClock(false);
        if (m_queueBridge && m_sweeping) {
            // The board keeps the last tick it latched; what it had queued
            // beyond now goes.
            try {
                m_queueBridge->dropAfter(m_queueBridge->boardTimeUs());
                const SerialBridgePort::Latched l = m_queueBridge->lastLatched();
                for (const Queued& q : m_queued)
                    if (q.n >= 0 && q.dueUs == l.dueUs) {
                        m_last = q.tick;
                        m_last.ticks = q.n + 1;
                        m_last.missed = m_queueMissed + m_lateCount;
                    }
                std::lock_guard lock(m_mutex);
                m_held = Held{std::int32_t(l.word), m_plan.phase, m_plan.powerDown, true};
            } catch (const Error& e) {
                m_last.failure = e;
            }
        }
        m_queueBridge = nullptr;
        m_queueMode = false;
        m_sweeping = false;
        last = m_last;
    });
    return last;
}

SweepTick Board::tickNow() {
    SweepTick last;
    onThread([&] {
        tick(false);
        last = m_last;
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
    onThread([&] { state = m_sweep; });
    return state;
}

QString Board::scheduling() const {
    if (m_queueMode) {
        const double ppm = m_queuePpm.load();
        if (std::isnan(ppm)) return QStringLiteral("the bridge's own clock (timed queue)");
        return QStringLiteral("the bridge's own clock (timed queue, %1 ppm %2, taken out)")
            .arg(std::fabs(ppm), 0, 'f', 0)
            .arg(ppm >= 0 ? QStringLiteral("fast") : QStringLiteral("slow"));
    }
    std::lock_guard lock(m_mutex);
    return m_scheduling;
}

void Board::setTickObserver(std::function<void(Clock::time_point, Clock::time_point)> f) {
    onThread([&] { m_observer = std::move(f); });
}

void Board::tick(bool clocked) {
    const Clock::time_point due = m_start + Period * (m_n - 1);
    m_sweep.turn(m_plan.high, m_plan.low);
    SweepTick t;
    t.position = m_sweep.SwpPos;
    t.hz = m_sweep.SwpPos / m_plan.scrollScale * m_plan.freqMult;
    try {
        t.word = tuningWord(t.hz, m_plan.refClkHz);
        write(t.word, m_plan.phase, m_plan.powerDown);
    } catch (const Error& e) {
        t.failure = e;
    }
    if (clocked && m_observer) m_observer(due, Clock::now());
    m_sweep.advance();
    t.ticks = m_last.ticks + 1;
    t.missed = m_missed;
    showTick(t, clocked);
}

Board& board() {
    static Board instance;
    return instance;
}

} // namespace kalimor::dds
