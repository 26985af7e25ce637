#include "WavFeed.h"

#include "dds/Realtime.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kalimor::follow {

namespace {

std::uint32_t le32(const char* p) {
    return std::uint32_t(std::uint8_t(p[0])) | std::uint32_t(std::uint8_t(p[1])) << 8 |
           std::uint32_t(std::uint8_t(p[2])) << 16 | std::uint32_t(std::uint8_t(p[3])) << 24;
}
std::uint16_t le16(const char* p) {
    return std::uint16_t(std::uint8_t(p[0]) | std::uint8_t(p[1]) << 8);
}

} // namespace

WavFeed::~WavFeed() {
    stop();
    if (m_ownFd && m_fd >= 0) ::close(m_fd);
}

bool WavFeed::readFully(char* into, std::size_t bytes, std::size_t* got) {
    *got = 0;
    while (*got < bytes) {
        if (m_stop) return true;
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t n = ::read(m_fd, into + *got, bytes - *got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        if (n == 0) return true;
        *got += std::size_t(n);
    }
    return true;
}

bool WavFeed::open(const QString& path, QString* why) {
    const QString name = path == QLatin1String("-") ? QStringLiteral("standard input") : path;
    if (path == QLatin1String("-")) {
        m_fd = STDIN_FILENO;
    } else {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            *why = QStringLiteral("%1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        m_ownFd = true;
    }
    auto bad = [&](const QString& what) {
        *why = QStringLiteral("%1: %2").arg(name, what);
        return false;
    };
    char head[12];
    std::size_t got = 0;
    if (!readFully(head, 12, &got) || got < 12 || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return bad(QStringLiteral("not a WAV file (no RIFF/WAVE header)"));
    bool haveFormat = false;
    for (;;) {
        char chunk[8];
        if (!readFully(chunk, 8, &got) || got < 8)
            return bad(QStringLiteral("no audio data in the file"));
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return bad(QStringLiteral("audio data before its format"));
            // Streams written before their length is known say 0 or ~0.
            m_dataBytes = size == 0 || size == 0xFFFFFFFFu ? -1 : std::int64_t(size);
            break;
        }
        // Chunks are padded to even lengths.
        std::vector<char> body(size + (size & 1));
        if (!readFully(body.data(), body.size(), &got) || got < body.size())
            return bad(QStringLiteral("the header ends early"));
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) return bad(QStringLiteral("a format chunk too short"));
            std::uint16_t tag = le16(body.data());
            m_format.channels = le16(body.data() + 2);
            m_format.rate = le32(body.data() + 4);
            m_format.bits = le16(body.data() + 14);
            if (tag == 0xFFFE && size >= 26) tag = le16(body.data() + 24); // WAVE_FORMAT_EXTENSIBLE
            m_format.isFloat = tag == 3;
            if (tag != 1 && tag != 3)
                return bad(QStringLiteral("format %1: only PCM and float audio are read").arg(tag));
            if (m_format.isFloat ? m_format.bits != 32
                                 : (m_format.bits != 8 && m_format.bits != 16 &&
                                    m_format.bits != 24 && m_format.bits != 32))
                return bad(QStringLiteral("%1-bit samples are not read").arg(m_format.bits));
            if (m_format.channels < 1 || !(m_format.rate >= 4000 && m_format.rate <= 384000))
                return bad(QStringLiteral("%1 channels at %2 Hz: not audio we follow")
                               .arg(m_format.channels)
                               .arg(m_format.rate));
            haveFormat = true;
        }
    }
    const std::int64_t frameBytes = std::int64_t(m_format.channels) * (m_format.bits / 8);
    if (m_dataBytes >= 0) m_format.frames = m_dataBytes / frameBytes;
    return true;
}

void WavFeed::start(Sink sink, Done done, double speed) {
    m_stop = false;
    m_thread = std::thread([this, sink = std::move(sink), done = std::move(done), speed,
                            at = Clock::now()] { run(sink, done, speed, at); });
}

void WavFeed::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void WavFeed::run(Sink sink, Done done, double speed, Clock::time_point start) {
    // A sound card's thread keeps time before all else; so does this one,
    // whose lateness is the carrier's. The audio's clock started at start():
    // however long the asking takes, the first blocks catch up.
    dds::makeThreadRealtime();
    const int bytesPerSample = m_format.bits / 8;
    const std::size_t frameBytes = std::size_t(m_format.channels) * bytesPerSample;
    const std::size_t blockFrames = std::max<std::size_t>(1, std::size_t(m_format.rate * 0.005));
    std::vector<char> raw(blockFrames * frameBytes);
    std::vector<float> mono(blockFrames);
    std::int64_t left = m_dataBytes;
    std::int64_t played = 0;
    QString why;
    while (!m_stop) {
        std::size_t want = raw.size();
        if (left >= 0) want = std::size_t(std::min<std::int64_t>(left, std::int64_t(want)));
        want -= want % frameBytes;
        if (want == 0) break;
        std::size_t got = 0;
        if (!readFully(raw.data(), want, &got)) {
            why =
                QStringLiteral("read failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        const std::size_t frames = got / frameBytes;
        if (frames == 0) break;
        if (left >= 0) left -= std::int64_t(got);
        for (std::size_t i = 0; i < frames; ++i) {
            const char* p = raw.data() + i * frameBytes;
            float v = 0;
            switch (m_format.bits) {
            case 8:
                v = (float(std::uint8_t(p[0])) - 128) / 128;
                break;
            case 16:
                v = float(std::int16_t(le16(p))) / 32768;
                break;
            case 24:
                v = float(std::int32_t(std::uint32_t(std::uint8_t(p[0])) << 8 |
                                       std::uint32_t(std::uint8_t(p[1])) << 16 |
                                       std::uint32_t(std::uint8_t(p[2])) << 24) /
                          256) /
                    8388608;
                break;
            case 32:
                if (m_format.isFloat)
                    std::memcpy(&v, p, 4);
                else
                    v = float(double(std::int32_t(le32(p))) / 2147483648.0);
                break;
            }
            mono[i] = v;
        }
        played += std::int64_t(frames);
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(double(played) / m_format.rate / speed)));
        if (m_stop) break;
        sink(std::span<const float>(mono.data(), frames), m_format.rate);
        if (got < want) break;
    }
    done(why);
}

} // namespace kalimor::follow
