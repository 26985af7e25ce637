#include "Holder.h"

#include "core/Error.h"

#include <atomic>

namespace kalimor::dds {

namespace {

std::atomic<std::uint32_t> lastIdentity{0};
std::atomic<RefusalWording> wording{nullptr};

} // namespace

Controller Controller::make(Kind kind) {
    return Controller{kind, ++lastIdentity};
}

bool Controller::keyed() const {
    return kind == Kind::Beacon || kind == Kind::BeaconCli || kind == Kind::Keyer ||
           kind == Kind::Ptt || kind == Kind::Follower;
}

void setRefusalWording(RefusalWording w) {
    wording = w;
}

QString refusal(Controller holder) {
    if (const RefusalWording w = wording.load()) return w(holder);
    return holder == Controller::Vfo ? QStringLiteral("The main window holds the board")
                                     : QStringLiteral("Another controller holds the board");
}

std::optional<Controller> Holding::take(Controller who, bool& changed) {
    changed = false;
    std::lock_guard lock(m_mutex);
    if (m_holder == who) return std::nullopt;
    if (m_holder != Controller::Vfo || who == Controller::Vfo) return m_holder;
    m_holder = who;
    changed = true;
    return std::nullopt;
}

bool Holding::holds(Controller who) const {
    std::lock_guard lock(m_mutex);
    return m_holder == who;
}

void Holding::giveBack() {
    std::lock_guard lock(m_mutex);
    m_holder = Controller::Vfo;
}

Controller Holding::holder() const {
    std::lock_guard lock(m_mutex);
    return m_holder;
}

void Holding::setPttKeying(bool on) {
    std::lock_guard lock(m_mutex);
    m_pttKeying = on;
}

bool Holding::pttKeying() const {
    std::lock_guard lock(m_mutex);
    return m_pttKeying;
}

bool Holding::mustPowerDown(Controller by) const {
    Controller holder;
    bool gated = false;
    {
        std::lock_guard lock(m_mutex);
        holder = m_holder;
        gated = m_pttKeying;
    }
    // PTT keying acts through the VFO: a client's F while keyed retunes
    // the carrier; without PTT the VFO's words go out keyed down.
    const bool throughPtt = by == Controller::Vfo && holder.kind == Controller::Kind::Ptt;
    if (holder != by && !throughPtt)
        throw Error(err::BoardHeld, QStringLiteral("Board"), refusal(holder));
    return by == Controller::Vfo && gated && !throughPtt;
}

} // namespace kalimor::dds
