#pragma once

#include <QString>

#include <cstdint>
#include <exception>
#include <string>

namespace kalimor {

// A failure raised by one of our classes or routines: the number callers test
// against, where it came from, and a description a user can act on.
class Error : public std::exception {
public:
    Error(std::int32_t number, QString source, QString description);

    std::int32_t number() const noexcept { return m_number; }
    const QString& source() const noexcept { return m_source; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::int32_t m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};

// The runtime's own failure numbers, kept so that wrapped descriptions such as
// "Error reading Setting (6, Overflow)" read the way users and tests expect.
namespace err {
inline constexpr std::int32_t InvalidCall = 5;
inline constexpr std::int32_t Overflow = 6;
inline constexpr std::int32_t DivisionByZero = 11;
inline constexpr std::int32_t TypeMismatch = 13;
inline constexpr std::int32_t FileAccess = 75;
// Base of the numbers our classes raise on their own account.
inline constexpr std::int32_t ObjectError = static_cast<std::int32_t>(0x80040000u);
// Raised by the port-access layer when a load cannot reach the board.
inline constexpr std::int32_t PortAccess = ObjectError + 0x300;
// Raised by the board for a load from a controller that does not hold it.
inline constexpr std::int32_t BoardHeld = ObjectError + 0x310;
} // namespace err

Error overflowError(const QString& source = QStringLiteral("Kalimor"));
Error divisionByZeroError(const QString& source = QStringLiteral("Kalimor"));
Error typeMismatchError(const QString& source = QStringLiteral("Kalimor"));

// "0x80040203" - how the numbers are shown to users.
QString hexNumber(std::int32_t number);

// "Error 0x80040202 (CSetting.SaveSettingInt): Error writing Setting (75, ...)"
QString describe(const Error& e);

} // namespace kalimor
