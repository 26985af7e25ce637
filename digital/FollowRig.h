#pragma once

#include "follow/Follower.h"
#include "net/RigctlSession.h"

namespace kalimor::digital {

// The follower as a rig for a CAT client (WSJT-X): F and f are its dial, T
// its key. The command line's server serves it alone; the main program's
// server hands it these commands while the window follows by CAT.
class FollowRig : public rig::Rig {
public:
    FollowRig(follow::Follower& follower, double refClkHz)
        : m_follower(follower), m_refClkHz(refClkHz) {}
    double frequencyHz() const override;
    int setFrequencyHz(double hz) override;
    double highestFrequencyHz() const override;
    int setPtt(int ptt) override;
    std::optional<int> ptt() const override;

private:
    follow::Follower& m_follower;
    double m_refClkHz;
};

} // namespace kalimor::digital
