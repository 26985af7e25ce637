// The sound server's feed as a window uses it, against a PulseAudio of the
// test's own (a private socket; no sound hardware): a tone played into a
// null sink, heard on its monitor. tests/follow_pulse.py follows FT8 the
// same way through the program, and the source going away.
#include "follow/PulseFeed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>

using kalimor::follow::PulseFeed;

namespace {

QString pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(10'000);
    return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : QString();
}

void runEventsFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

class PulseFeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty())
            GTEST_SKIP() << "pulseaudio is not installed (scripts/deps installs it)";
        const QString socket = m_dir.filePath(QStringLiteral("native"));
        qputenv("PULSE_SERVER", "unix:" + socket.toUtf8());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"})
            env.insert(QString::fromLatin1(name), m_dir.path());
        m_daemon.setProcessEnvironment(env);
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_daemon.start(
            QStringLiteral("pulseaudio"),
            {QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
             QStringLiteral("-n"), QStringLiteral("--log-level=error"), QStringLiteral("-L"),
             QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") + socket});
        for (int i = 0; i < 100 && pactl({QStringLiteral("info")}).isEmpty(); ++i)
            QThread::msleep(100);
        if (pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                   QStringLiteral("sink_name=kalimor"),
                   QStringLiteral("sink_properties=device.description=Kalimor")})
                .isEmpty())
            GTEST_SKIP() << "pulseaudio did not start";
    }
    void TearDown() override {
        m_daemon.terminate();
        m_daemon.waitForFinished(10'000);
    }

    QTemporaryDir m_dir;
    QProcess m_daemon;
};

} // namespace

TEST_F(PulseFeedTest, ListsTheMonitorAndHandsOnItsAudioInFiveMillisecondBlocks) {
    const QList<PulseFeed::Source> all = PulseFeed::listSources();
    const auto monitor = std::find_if(all.begin(), all.end(), [](const PulseFeed::Source& s) {
        return s.name == QLatin1String("kalimor.monitor");
    });
    ASSERT_NE(monitor, all.end()) << PulseFeed::sources().join(u' ').toStdString();
    EXPECT_TRUE(monitor->monitor);
    EXPECT_EQ(PulseFeed::sources(), QStringList{QStringLiteral("kalimor.monitor")});

    PulseFeed feed;
    std::vector<float> heard;
    std::vector<std::size_t> sizes;
    bool elsewhere = false;
    QString why;
    // By its description, as a window's list shows it.
    ASSERT_TRUE(feed.start(
        monitor->description,
        [&](std::span<const float> s, double rate) {
            elsewhere |= QThread::currentThread() != feed.thread() || rate != monitor->rate;
            sizes.push_back(s.size());
            heard.insert(heard.end(), s.begin(), s.end());
        },
        &why))
        << why.toStdString();
    EXPECT_EQ(feed.rate(), monitor->rate);
    // A second of 1 kHz at 48 kHz, played once the feed listens (as WSJT-X
    // plays into a follower that runs).
    QByteArray tone(48000 * sizeof(float), Qt::Uninitialized);
    for (int i = 0; i < 48000; ++i)
        reinterpret_cast<float*>(tone.data())[i] =
            0.3f * float(std::sin(2 * M_PI * 1000 * i / 48000));
    QProcess player;
    player.start(QStringLiteral("pacat"),
                 {QStringLiteral("--playback"), QStringLiteral("--device=kalimor"),
                  QStringLiteral("--format=float32le"), QStringLiteral("--channels=1"),
                  QStringLiteral("--rate=48000")});
    player.write(tone);
    player.closeWriteChannel();
    QElapsedTimer played;
    played.start();
    while (player.state() != QProcess::NotRunning && played.elapsed() < 20'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    runEventsFor(300);

    EXPECT_FALSE(elsewhere);
    const auto block = std::size_t(std::lround(monitor->rate * 0.005));
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), block), std::ptrdiff_t(sizes.size()));
    // Rising zero crossings over the tone: a rate taken wrong moves it by
    // whole percent.
    const auto loud = [](float x) { return std::abs(x) > 0.1f; };
    const auto begin = std::find_if(heard.begin(), heard.end(), loud);
    const auto end = std::find_if(heard.rbegin(), heard.rend(), loud).base();
    ASSERT_GT(end - begin, std::ptrdiff_t(monitor->rate / 2)) << "heard " << heard.size();
    int rising = 0;
    for (auto i = begin + 1; i < end; ++i) rising += i[-1] < 0 && i[0] >= 0;
    EXPECT_NEAR(rising / (double(end - begin) / monitor->rate), 1000, 5);
}

TEST_F(PulseFeedTest, SaysWhyItCannotStart) {
    PulseFeed feed;
    const auto nothing = [](std::span<const float>, double) {};
    QString why;
    EXPECT_FALSE(feed.start(QStringLiteral("nowhere"), nothing, &why));
    EXPECT_TRUE(why.contains(QLatin1String("there are: kalimor.monitor"))) << why.toStdString();

    qputenv("PULSE_SERVER", "unix:" + m_dir.filePath(QStringLiteral("none")).toUtf8());
    EXPECT_FALSE(feed.start(QString(), nothing, &why));
    EXPECT_TRUE(why.contains(QLatin1String("cannot reach the sound server"))) << why.toStdString();
    EXPECT_TRUE(PulseFeed::sources().isEmpty());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
