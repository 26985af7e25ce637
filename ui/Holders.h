#pragma once

#include "dds/Holder.h"

#include <QString>

namespace kalimor::ui {

// What a window shows when `holder` refuses another controller: "Close the
// sweep window first", "A client's Morse is sending: stop it first".
QString refusalText(dds::Controller holder);
// The status line's note while `holder` is not the VFO: "Sweep window open:
// network sets refused".
QString holderNote(dds::Controller holder);
// Hands refusalText down to the board and the instruments' logic, whose
// refusals the windows and the command line show; once, at start-up.
void installHolderWording();

} // namespace kalimor::ui
