#include "Follower.h"

#include "core/Error.h"
#include "core/Numbers.h"

namespace kalimor::follow {

namespace {

using SteadyClock = std::chrono::steady_clock;

double nowSeconds() {
    return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}

} // namespace

Follower::Follower(const FollowSetup& setup, double refClkHz)
    : m_setup(setup), m_refClkHz(refClkHz) {
    m_status.dialHz = setup.dialHz;
}

Follower::~Follower() {
    std::lock_guard lock(m_mutex);
    key(false);
}

bool Follower::start(QString* why) {
    std::lock_guard lock(m_mutex);
    m_lastWord.reset();
    idle();
    if (why) *why = m_status.problem;
    return m_status.problem.isEmpty();
}

void Follower::reading(const Reading& r) {
    std::lock_guard lock(m_mutex);
    ++m_status.readings;
    m_status.levelDb = r.levelDb;
    const bool loud = r.levelDb >= m_setup.thresholdDb;
    m_status.toneHz = loud ? r.hz : std::nullopt;
    if (loud) m_lastLoud = r.seconds;
    const bool wanted =
        m_setup.keying == Keying::Cat
            ? m_status.ptt
            : r.seconds - m_lastLoud <= std::chrono::duration<double>(m_setup.hang).count() + 1e-9;
    if (wanted != m_status.keyed) key(wanted);
    if (!m_status.keyed) return;
    if (m_setup.txTimeout.count() > 0 && !m_status.timedOut &&
        nowSeconds() - m_keyedSince >= std::chrono::duration<double>(m_setup.txTimeout).count()) {
        m_status.timedOut = true;
        problem(QStringLiteral("transmitted for %1 minutes without a break: the output is off "
                               "until the keying ends")
                    .arg(std::chrono::duration<double>(m_setup.txTimeout).count() / 60));
    }
    const std::optional<double> tone = m_status.timedOut ? std::nullopt : m_status.toneHz;
    if (tone && *tone > 0) {
        try {
            load(tuningWord(m_status.dialHz + *tone, m_refClkHz), true, m_holder);
            return;
        } catch (const Error& e) {
            problem(e.description());
        }
    }
    if (m_lastOn) load(m_lastWord.value_or(0), false, m_holder);
}

void Follower::silence() {
    std::lock_guard lock(m_mutex);
    m_status.toneHz.reset();
    m_status.levelDb = -200;
    m_lastLoud = -1e9;
    if (m_status.keyed && m_setup.keying == Keying::Vox)
        key(false);
    else if (m_lastOn)
        load(m_lastWord.value_or(0), false, m_holder);
}

void Follower::finish() {
    std::lock_guard lock(m_mutex);
    m_setup.holdDial = false; // the dial goes off with the rest
    m_status.toneHz.reset();
    m_status.levelDb = -200;
    if (m_status.keyed)
        key(false); // off under the key, then the dial, off, as the VFO's
    else if (m_lastOn)
        load(m_lastWord.value_or(0), false, dds::Controller::Vfo);
}

void Follower::setPtt(bool on) {
    std::lock_guard lock(m_mutex);
    m_status.ptt = on;
    if (m_setup.keying == Keying::Cat && on != m_status.keyed) key(on);
}

bool Follower::setDialHz(double hz) {
    std::lock_guard lock(m_mutex);
    try {
        tuningWord(hz, m_refClkHz); // refused here if the board cannot make it
    } catch (const Error&) {
        return false;
    }
    if (!(hz > 0)) return false;
    m_status.dialHz = hz;
    if (!m_status.keyed) idle();
    return true;
}

double Follower::dialHz() const {
    std::lock_guard lock(m_mutex);
    return m_status.dialHz;
}

FollowStatus Follower::status() const {
    std::lock_guard lock(m_mutex);
    return m_status;
}

void Follower::onProblem(std::function<void(const QString&)> f) {
    std::lock_guard lock(m_mutex);
    m_onProblem = std::move(f);
}

void Follower::key(bool on) {
    dds::Board& board = dds::board();
    if (on) {
        if (const auto holder = board.claim(m_holder)) {
            problem(QStringLiteral("not keyed: %1").arg(dds::refusal(*holder)));
            return;
        }
        m_status.keyed = true;
        m_status.timedOut = false;
        m_keyedSince = nowSeconds();
        return;
    }
    if (!m_status.keyed) return;
    // Off while still the holder, so no other controller's word comes between.
    if (m_lastOn) load(m_lastWord.value_or(0), false, m_holder);
    board.release(m_holder);
    m_status.keyed = false;
    if (m_status.timedOut) {
        m_status.timedOut = false;
        problem(QString());
    }
    idle();
}

void Follower::idle() {
    try {
        load(tuningWord(m_status.dialHz, m_refClkHz), m_setup.holdDial, dds::Controller::Vfo);
    } catch (const Error& e) {
        problem(e.description());
    }
}

void Follower::load(std::int32_t word, bool on, dds::Controller by) {
    if (m_lastWord == word && m_lastOn == on && m_status.problem.isEmpty()) return;
    try {
        // Keyed, each word goes without waiting for the board's answer where
        // the port allows (an FT232R holds each for 16 ms): a word every
        // reading, each latched as soon as it is measured. Off is waited for.
        if (by == m_holder)
            dds::board().loadAhead(word, 0, on ? 0 : 1, by);
        else
            dds::board().load(word, 0, on ? 0 : 1, by);
        m_lastWord = word;
        m_lastOn = on;
        m_status.on = on && by == m_holder;
        ++m_status.loads;
        if (!m_status.timedOut) problem(QString());
    } catch (const Error& e) {
        // A word that never reached the board: the next reading tries again.
        m_lastWord.reset();
        problem(e.description());
    }
}

void Follower::problem(const QString& why) {
    if (why == m_status.problem) return;
    m_status.problem = why;
    if (m_onProblem) m_onProblem(why);
}

} // namespace kalimor::follow
