#include "FrequencyEntry.h"

#include "core/Numbers.h"
#include "ui/Globals.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>

namespace kalimor::ui {

FrequencyEntry::FrequencyEntry(QLineEdit* box, QScrollBar* bar, const bool* updating,
                               QObject* parent)
    : QObject(parent), m_box(box), m_bar(bar), m_updating(updating) {
    m_box->installEventFilter(this);
}

QString FrequencyEntry::between(double ceilingHz) {
    return QStringLiteral("Between 0.1Hz and ") +
           formatNumber(ceilingHz, QStringLiteral("##,###,###Hz"));
}

QString FrequencyEntry::rangeMessage() {
    return between(Globals::MaxFreqHz);
}

QString FrequencyEntry::rangeText() const {
    return between(ceilingHz());
}

double FrequencyEntry::ceilingHz() const {
    if (!m_unitHz) return Globals::MaxFreqHz;
    for (int i = 0; const Globals::MultiplierRow* row = Globals::multiplierRow(i); ++i)
        if (row->freqMult == *m_unitHz) return row->maxFreqHz;
    return Globals::multiplierRow(0)->maxFreqHz;
}

FrequencyReading FrequencyEntry::read() const {
    FrequencyReading r;
    try {
        r.hz = parseLocaleDouble(m_box->text()) * m_unitHz.value_or(Globals::FreqMult);
        r.inRange = *r.hz >= 0.1 && *r.hz <= ceilingHz();
        // Out of range the chip is powered down with a zero word.
        r.word = tuningWord(r.inRange ? *r.hz : 0.0, Globals::RefClkHz);
    } catch (const Error& e) {
        r.error = e; // not a number, or a word beyond 31 bits
    }
    return r;
}

void FrequencyEntry::fillIfEmpty() {
    if (m_box->text().isEmpty()) m_box->setText(formatNumber(0, Globals::FreqFormat));
}

void FrequencyEntry::fillOnEnter(int keyAscii) {
    if (keyAscii == 13) fillIfEmpty();
}

void FrequencyEntry::followBar() {
    if (m_bar && !*m_updating) showPosition(m_bar->value());
}

void FrequencyEntry::followThumb() {
    if (m_bar && !*m_updating && Globals::OptionCWS != 0) showPosition(m_bar->sliderPosition());
}

void FrequencyEntry::showPosition(int position) {
    m_box->setText(formatNumber(position / Globals::ScrollScale, Globals::FreqFormat));
}

bool FrequencyEntry::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_box && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (!text.isEmpty()) Q_EMIT keyTyped(text.at(0).unicode());
    }
    return QObject::eventFilter(watched, event); // never swallowed
}

} // namespace kalimor::ui
