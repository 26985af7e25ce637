#include "Error.h"

namespace kalimor {

Error::Error(std::int32_t number, QString source, QString description)
    : m_number(number), m_source(std::move(source)), m_description(std::move(description)) {
    m_what = QStringLiteral("%1 (%2): %3")
                 .arg(m_source, hexNumber(m_number), m_description)
                 .toStdString();
}

Error overflowError(const QString& source) {
    return Error(err::Overflow, source, QStringLiteral("Overflow"));
}

Error divisionByZeroError(const QString& source) {
    return Error(err::DivisionByZero, source, QStringLiteral("Division by zero"));
}

Error typeMismatchError(const QString& source) {
    return Error(err::TypeMismatch, source, QStringLiteral("Type mismatch"));
}

QString hexNumber(std::int32_t number) {
    return QStringLiteral("0x%1")
        .arg(static_cast<std::uint32_t>(number), 8, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QStringLiteral("0X"), QStringLiteral("0x"));
}

QString describe(const Error& e) {
    return QStringLiteral("Error %1 (%2): %3")
        .arg(hexNumber(e.number()), e.source(), e.description());
}

} // namespace kalimor
