#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace kalimor::dds {

// A USB serial port as the bridge needs it, on plain termios: raw 8N1 at a
// given speed, every read and write bounded by a deadline. It belongs to the
// board's thread, which is no toolkit thread, so nothing here may need an
// event loop (the toolkit's serial class warns of its socket notifiers there).
//
// Opening takes the port for this process alone (flock, as the Arduino tools
// and other serial programs check, and TIOCEXCL); a port another program holds
// is named with that program, and only a refused open gets the group advice.
class SerialLine {
public:
    using Clock = std::chrono::steady_clock;

    SerialLine() = default;
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // False, with a reason a user can act on, when the port cannot be had.
    bool open(const QString& device, int baud, QString* why);
    void close();
    // Another speed, once what was written has gone out.
    bool setSpeed(int baud);
    bool isOpen() const { return m_fd >= 0; }
    // Writes all of `bytes` by the deadline; false when the port takes no more.
    bool write(const QByteArray& bytes, Clock::time_point deadline);
    // Appends what arrives to `in`, waiting until the deadline for the first
    // byte; false when nothing came or the port failed.
    bool read(QByteArray* in, Clock::time_point deadline);
    // What the port failed with last (errno's words).
    const QString& error() const { return m_error; }

    // "in use by <name> (process <pid>)" for a device another process has
    // open, from /proc; empty when none can be named.
    static QString holder(const QString& device);

private:
    int m_fd = -1;
    QString m_error;
};

} // namespace kalimor::dds
