#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

namespace kalimor {

class Error;

// Nearest integer, ties to even; Overflow (6) outside the range, NaN and
// infinities included.
std::int16_t toInt16(double value);
std::int32_t toInt32(double value);

// Text typed into a frequency box: blanks around the number, the locale's
// decimal and digit-group separators and an exponent are accepted; anything
// else raises Type mismatch (13).
double parseLocaleDouble(const QString& text, const QLocale& locale = QLocale());

// A plain decimal number with optional sign, fraction and exponent and blanks
// around it, "." as the decimal point; std::nullopt when the text is not one.
std::optional<double> parseNumericText(const QString& text);

// The leading number of a text: blanks, tabs and line feeds anywhere are
// ignored, reading stops at the first character that cannot continue the
// number, "&H" introduces hexadecimal digits (up to four digits are a 16-bit
// signed value, five to eight a 32-bit one), "." is always the decimal point,
// and a text with no number in front reads as 0.
double readLeadingNumber(const QString& text);

// Formats a number with one of the patterns the windows use: "0.0", "0.00",
// "0.000", "##0.00", "##,###,###Hz". "0" is a digit always shown, "#" one shown
// only when significant, "," asks for thousands grouping, "." is the decimal
// point, other characters are copied. Halves round away from zero, on the
// number's 15 significant digits. The separators come from the locale.
QString formatNumber(double value, const QString& pattern, const QLocale& locale = QLocale());

// Upper-case hexadecimal of the 32-bit pattern, no prefix, no leading zeros.
QString hexUpper(std::int32_t value);

// frequency x 2^32 / reference clock, rounded to even, as a signed 32-bit
// word. Division by zero (11) for a zero clock, Overflow (6) at 2^31 and above.
std::int32_t tuningWord(double freqHz, double refClkHz);

// The highest whole frequency whose tuning word still fits 31 bits at
// `refClkHz`: the most the board makes at that clock; 0 for a zero clock.
double highestFrequencyHz(double refClkHz);

// Why a tuning word or a load for `freqHz` failed, in words a user can act on.
QString loadFailureCause(const Error& e, double freqHz, double refClkHz);

} // namespace kalimor
