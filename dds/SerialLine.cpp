#include "SerialLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kalimor::dds {

namespace {

QString errnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
}

speed_t speedOf(int baud) {
    switch (baud) {
    case 115200:
        return B115200;
    case 500000:
        return B500000;
    case 1000000:
        return B1000000;
    default:
        return B0;
    }
}

int millisUntil(SerialLine::Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SerialLine::Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

} // namespace

SerialLine::~SerialLine() {
    close();
}

void SerialLine::close() {
    if (m_fd >= 0) ::close(m_fd); // the lock goes with the descriptor
    m_fd = -1;
}

bool SerialLine::open(const QString& device, int baud, QString* why) {
    close();
    const QByteArray path = QFile::encodeName(device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        *why = QStringLiteral("cannot open %1: %2").arg(device, errnoText(e));
        if (e == EACCES)
            *why += QStringLiteral(" - add your user to group dialout and log in again");
        if (e == EBUSY) *why += QStringLiteral(" - the port is in use%1").arg(holder(device));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *why = QStringLiteral("cannot open %1: the port is in use%2").arg(device, holder(device));
        return false;
    }
    ::ioctl(fd, TIOCEXCL); // no second open, even by a program that does not flock
    // Raw bytes, 8N1, no flow control.
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        *why = QStringLiteral("%1 is not a serial port: %2").arg(device, errnoText(errno));
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~tcflag_t(CRTSCTS | CSTOPB);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedOf(baud);
    if (speed == B0 || ::cfsetspeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *why = QStringLiteral("cannot set %1 to %2 baud: %3")
                   .arg(device)
                   .arg(baud)
                   .arg(speed == B0 ? QStringLiteral("not a speed the bridge uses")
                                    : errnoText(errno));
        ::close(fd);
        return false;
    }
    // USB serial chips hold received bytes up to 16 ms before they send them
    // on (the FTDI latency timer); drivers that know the flag stop waiting.
    // Ports without it (ptys) refuse the ioctl, which is fine.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    m_fd = fd;
    m_error.clear();
    return true;
}

bool SerialLine::setSpeed(int baud) {
    termios tio{};
    const speed_t speed = speedOf(baud);
    if (m_fd < 0 || speed == B0 || ::tcdrain(m_fd) != 0 || ::tcgetattr(m_fd, &tio) != 0 ||
        ::cfsetspeed(&tio, speed) != 0 || ::tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        m_error = errnoText(errno);
        return false;
    }
    return true;
}

bool SerialLine::write(const QByteArray& bytes, Clock::time_point deadline) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            m_error = errnoText(errno);
            return false;
        }
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, millisUntil(deadline)) <= 0 || (p.revents & (POLLERR | POLLHUP))) {
            m_error = QStringLiteral("it takes no data");
            return false;
        }
    }
    return true;
}

bool SerialLine::read(QByteArray* in, Clock::time_point deadline) {
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, millisUntil(deadline));
    if (ready <= 0) {
        if (ready < 0 && errno != EINTR) m_error = errnoText(errno);
        return false;
    }
    char buf[512];
    const ssize_t n = ::read(m_fd, buf, sizeof buf);
    if (n > 0) {
        in->append(buf, n);
        return true;
    }
    // Readable with nothing to read: the device is gone (unplugged).
    m_error =
        n == 0 || (p.revents & POLLHUP) ? QStringLiteral("the device is gone") : errnoText(errno);
    return false;
}

QString SerialLine::holder(const QString& device) {
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty()) return {};
    const QString self = QString::number(::getpid());
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid.toInt() <= 0) continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo& fd :
             fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            if (fd.symLinkTarget() != target) continue;
            if (pid == self) return QStringLiteral(" by this program");
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString name = comm.open(QIODevice::ReadOnly)
                                     ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                     : QStringLiteral("another program");
            return QStringLiteral(" by %1 (process %2)").arg(name, pid);
        }
    }
    return QStringLiteral(" by another program");
}

} // namespace kalimor::dds
