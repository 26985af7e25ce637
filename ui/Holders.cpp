#include "Holders.h"

namespace kalimor::ui {

namespace {

using Kind = dds::Controller::Kind;

// What each controller but the VFO makes a window and the status line say.
struct HolderTexts {
    Kind holder;
    const char* refusal;
    const char* note;
};
constexpr HolderTexts holderTexts[] = {
    {Kind::Sweep, "Close the sweep window first", "Sweep window open: network sets refused"},
    {Kind::Analyser, "Stop the network analyser's run first",
     "Network analyser running: network sets refused"},
    {Kind::Beacon, "The beacon window is sending: stop it first",
     "Beacon sending: network sets refused"},
    {Kind::BeaconCli, "The command-line beacon is sending: stop it first",
     "Beacon sending: network sets refused"},
    {Kind::Keyer, "A client's Morse is sending: stop it first",
     "A client's Morse sending: network sets refused"},
    {Kind::Ptt, "A client's PTT keys the output: it must send T 0 first",
     "PTT keyed: transmitting"},
    {Kind::Follower, "The digital-modes follower is transmitting: stop it first",
     "Digital-modes follower transmitting"},
};

const HolderTexts* textsOf(dds::Controller holder) {
    for (const HolderTexts& t : holderTexts)
        if (t.holder == holder.kind) return &t;
    return nullptr;
}

} // namespace

QString refusalText(dds::Controller holder) {
    const HolderTexts* t = textsOf(holder);
    return t ? QLatin1String(t->refusal) : QStringLiteral("The main window holds the board");
}

QString holderNote(dds::Controller holder) {
    const HolderTexts* t = textsOf(holder);
    return t ? QLatin1String(t->note) : QString();
}

void installHolderWording() {
    dds::setRefusalWording(&refusalText);
}

} // namespace kalimor::ui
