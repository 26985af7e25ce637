#include "FollowRig.h"

#include "core/Numbers.h"

#include <algorithm>

namespace kalimor::digital {

double FollowRig::frequencyHz() const {
    return m_follower.dialHz();
}

int FollowRig::setFrequencyHz(double hz) {
    if (!(hz > 0) || hz > highestFrequencyHz()) return rig::RigInvalid;
    return m_follower.setDialHz(hz) ? rig::RigOk : rig::RigInvalid;
}

double FollowRig::highestFrequencyHz() const {
    return std::min(30'000'000.0, kalimor::highestFrequencyHz(m_refClkHz));
}

int FollowRig::setPtt(int ptt) {
    m_follower.setPtt(ptt != 0);
    // Another controller holds the board: the client must hear it, as from a
    // rig that will not transmit.
    const follow::FollowStatus now = m_follower.status();
    if (ptt != 0 && !now.keyed && now.problem.startsWith(QLatin1String("not keyed")))
        return rig::RigRejected;
    return rig::RigOk;
}

std::optional<int> FollowRig::ptt() const {
    return m_follower.status().ptt ? 1 : 0;
}

} // namespace kalimor::digital
