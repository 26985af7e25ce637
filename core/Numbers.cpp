#include "Numbers.h"

#include "Error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace kalimor {

namespace {

template <typename Int> Int roundToInt(double value) {
    if (!std::isfinite(value)) throw overflowError();
    // nearbyint follows the default rounding mode: to nearest, ties to even.
    const double r = std::nearbyint(value);
    if (r < static_cast<double>(std::numeric_limits<Int>::min()) ||
        r > static_cast<double>(std::numeric_limits<Int>::max()))
        throw overflowError();
    return static_cast<Int>(r);
}

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isHexDigit(QChar c) {
    return isDigit(c) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
}

// Digits of |value| rounded half away from zero to `decimals` places, without
// a decimal point. Rounding starts from the 15 significant digits a double
// reliably holds, so 1.005 rounds up as a user would expect.
std::string roundedDigits(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", std::fabs(value));
    std::string mantissa;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') mantissa += *p;
    const int exponent = *p == 'e' ? std::atoi(p + 1) : 0;
    const int keep = exponent + 1 + decimals; // significant digits to keep
    std::string digits;
    if (keep >= static_cast<int>(mantissa.size())) {
        digits = mantissa + std::string(static_cast<size_t>(keep) - mantissa.size(), '0');
    } else if (keep >= 0) {
        digits = mantissa.substr(0, static_cast<size_t>(keep));
        if (mantissa[static_cast<size_t>(keep)] >= '5') {
            int i = static_cast<int>(digits.size()) - 1;
            for (; i >= 0 && digits[static_cast<size_t>(i)] == '9'; --i)
                digits[static_cast<size_t>(i)] = '0';
            if (i >= 0)
                ++digits[static_cast<size_t>(i)];
            else
                digits.insert(digits.begin(), '1');
        }
    }
    // Left-pad so that there is at least one digit before the decimal places.
    if (static_cast<int>(digits.size()) <= decimals)
        digits.insert(0, static_cast<size_t>(decimals) + 1 - digits.size(), '0');
    return digits;
}

} // namespace

std::int16_t toInt16(double value) {
    return roundToInt<std::int16_t>(value);
}
std::int32_t toInt32(double value) {
    return roundToInt<std::int32_t>(value);
}

double parseLocaleDouble(const QString& text, const QLocale& locale) {
    bool ok = false;
    const double v = locale.toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v)) throw typeMismatchError();
    return v;
}

std::optional<double> parseNumericText(const QString& text) {
    const QString t = text.trimmed();
    int i = 0;
    const int n = static_cast<int>(t.size());
    if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-'))) ++i;
    int mantissaDigits = 0;
    while (i < n && isDigit(t[i])) ++i, ++mantissaDigits;
    if (i < n && t[i] == QLatin1Char('.')) {
        ++i;
        while (i < n && isDigit(t[i])) ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0) return std::nullopt;
    if (i < n && (t[i] == QLatin1Char('e') || t[i] == QLatin1Char('E'))) {
        ++i;
        if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-'))) ++i;
        int expDigits = 0;
        while (i < n && isDigit(t[i])) ++i, ++expDigits;
        if (expDigits == 0) return std::nullopt;
    }
    if (i != n) return std::nullopt;
    const double v = std::strtod(t.toLatin1().constData(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

double readLeadingNumber(const QString& text) {
    QString t;
    t.reserve(text.size());
    for (QChar c : text)
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t') && c != QLatin1Char('\n')) t += c;

    const int n = static_cast<int>(t.size());
    if (n >= 2 && t[0] == QLatin1Char('&') &&
        (t[1] == QLatin1Char('H') || t[1] == QLatin1Char('h'))) {
        int i = 2;
        while (i < n && isHexDigit(t[i])) ++i;
        const QString digits = t.mid(2, i - 2);
        if (digits.isEmpty()) return 0;
        if (digits.size() <= 4)
            return static_cast<std::int16_t>(
                static_cast<std::uint16_t>(digits.toUInt(nullptr, 16)));
        if (digits.size() <= 8) return static_cast<std::int32_t>(digits.toUInt(nullptr, 16));
        // Wider than any integer we read: keep its magnitude so range checks refuse it.
        double v = 0;
        for (QChar c : digits) v = v * 16 + QString(c).toInt(nullptr, 16);
        return v;
    }

    int i = 0;
    std::string number;
    if (i < n && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
        number += static_cast<char>(t[i++].unicode());
    int digits = 0;
    for (; i < n && isDigit(t[i]); ++i, ++digits) number += static_cast<char>(t[i].unicode());
    if (i < n && t[i] == QLatin1Char('.')) {
        number += '.';
        for (++i; i < n && isDigit(t[i]); ++i, ++digits)
            number += static_cast<char>(t[i].unicode());
    }
    if (digits == 0) return 0;
    if (i < n && (t[i] == QLatin1Char('e') || t[i] == QLatin1Char('E') ||
                  t[i] == QLatin1Char('d') || t[i] == QLatin1Char('D'))) {
        int j = i + 1;
        std::string exponent = "e";
        if (j < n && (t[j] == QLatin1Char('+') || t[j] == QLatin1Char('-')))
            exponent += static_cast<char>(t[j++].unicode());
        int expDigits = 0;
        for (; j < n && isDigit(t[j]); ++j, ++expDigits)
            exponent += static_cast<char>(t[j].unicode());
        if (expDigits > 0) number += exponent;
    }
    const double v = std::strtod(number.c_str(), nullptr);
    if (!std::isfinite(v)) throw overflowError();
    return v;
}

QString formatNumber(double value, const QString& pattern, const QLocale& locale) {
    int first = -1, last = -1;
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == QLatin1Char('0') || c == QLatin1Char('#') || c == QLatin1Char(',') ||
            c == QLatin1Char('.')) {
            if (first < 0) first = i;
            last = i;
        } else if (first >= 0) {
            break;
        }
    }
    if (first < 0) return pattern;
    const QString prefix = pattern.left(first);
    const QString suffix = pattern.mid(last + 1);
    const QString numeric = pattern.mid(first, last - first + 1);
    const qsizetype point = numeric.indexOf(QLatin1Char('.'));
    const QString intPattern = point < 0 ? numeric : numeric.left(point);
    const QString fracPattern = point < 0 ? QString() : numeric.mid(point + 1);
    const int minInt = static_cast<int>(intPattern.count(QLatin1Char('0')));
    const bool grouping = intPattern.contains(QLatin1Char(','));
    const int decimals =
        static_cast<int>(fracPattern.count(QLatin1Char('0')) + fracPattern.count(QLatin1Char('#')));
    const int minDecimals = static_cast<int>(fracPattern.count(QLatin1Char('0')));

    const std::string digits = roundedDigits(value, decimals);
    std::string intDigits = digits.substr(0, digits.size() - static_cast<size_t>(decimals));
    std::string fracDigits = digits.substr(digits.size() - static_cast<size_t>(decimals));
    while (static_cast<int>(fracDigits.size()) > minDecimals && fracDigits.back() == '0')
        fracDigits.pop_back();
    const size_t firstNonZero = intDigits.find_first_not_of('0');
    intDigits = firstNonZero == std::string::npos ? std::string() : intDigits.substr(firstNonZero);
    if (static_cast<int>(intDigits.size()) < minInt)
        intDigits.insert(0, static_cast<size_t>(minInt) - intDigits.size(), '0');

    QString out;
    const bool isZero = digits.find_first_not_of('0') == std::string::npos;
    if (value < 0 && !isZero) out += locale.negativeSign();
    for (size_t i = 0; i < intDigits.size(); ++i) {
        if (grouping && i > 0 && (intDigits.size() - i) % 3 == 0) out += locale.groupSeparator();
        out += QLatin1Char(intDigits[i]);
    }
    if (!fracDigits.empty() || point >= 0) {
        if (!fracDigits.empty()) out += locale.decimalPoint();
        out += QString::fromLatin1(fracDigits.data(), static_cast<qsizetype>(fracDigits.size()));
    }
    return prefix + out + suffix;
}

QString hexUpper(std::int32_t value) {
    return QString::number(static_cast<std::uint32_t>(value), 16).toUpper();
}

std::int32_t tuningWord(double freqHz, double refClkHz) {
    if (refClkHz == 0) throw divisionByZeroError();
    return toInt32(freqHz * 4294967296.0 / refClkHz);
}

double highestFrequencyHz(double refClkHz) {
    return std::max(0.0, std::floor((2147483647.0 * refClkHz) / 4294967296.0));
}

QString loadFailureCause(const Error& e, double freqHz, double refClkHz) {
    switch (e.number()) {
    case err::DivisionByZero:
        return QStringLiteral("the reference clock is 0 Hz - set it in Edit > Properties");
    case err::Overflow:
        return QStringLiteral("%1 Hz needs a tuning word beyond 31 bits: the limit is half the %2 "
                              "Hz reference clock")
            .arg(QLocale().toString(freqHz, 'f', 1), QLocale().toString(refClkHz, 'f', 0));
    default:
        return e.description();
    }
}

} // namespace kalimor
