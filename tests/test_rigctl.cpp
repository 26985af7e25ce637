#include "GuiFixture.h"
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "core/Calibration.h"
#include "core/Numbers.h"
#include "net/RigctlServer.h"
#include "ui/Globals.h"
#include "ui/Ui.h"

#include <QLineEdit>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

using namespace kalimor;

class RigctlTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<GuiFixture> fx;
    std::unique_ptr<Kalimor> w;
    std::unique_ptr<RemoteControl> remote;
    std::unique_ptr<rig::Server> server;
    quint16 port = 0;

    std::unique_ptr<QTcpSocket> connectClient() {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress::LocalHost, port);
        // The server accepts on this thread's event loop: keep it turning.
        // Failing here stops the run with a message; a null client would
        // only crash the test that uses it.
        for (QDeadlineTimer deadline(3000 * timeScale()); !s->waitForConnected(5);) {
            if (deadline.hasExpired())
                qFatal("no connection to the server on port %u: %s", port,
                       qPrintable(s->errorString()));
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        return s;
    }
    // Sends and waits, on the event loop, for `lines` reply lines.
    QByteArray ask(QTcpSocket& s, const QByteArray& text, int lines = 1) {
        s.write(text);
        QByteArray reply;
        QDeadlineTimer deadline(5000 * timeScale());
        while (reply.count('\n') < lines && !deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (s.bytesAvailable() || s.waitForReadyRead(10)) reply += s.readAll();
        }
        return reply;
    }
    // Runs Debian's rigctl against the server while the event loop serves it.
    // posix_spawn, not QProcess: Qt starts children with vfork semantics and
    // lets the child call intercepted functions on this process's memory, which
    // leaves ThreadSanitizer claiming races in the board's hand-offs.
    QString rigctl(const QStringList& args, int* exitCode = nullptr) {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("rigctl"));
        if (exe.isEmpty()) return QStringLiteral("<rigctl missing: install libhamlib-utils>");
        std::vector<QByteArray> argv8{exe.toLocal8Bit(), "-m", "2",
                                      QStringLiteral("127.0.0.1:%1").arg(port).toLocal8Bit()};
        argv8.insert(argv8.begin() + 3, "-r");
        for (const QString& a : args) argv8.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : argv8) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (::pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) return QStringLiteral("<pipe failed>");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        pid_t pid = -1;
        const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        QByteArray output;
        int status = -1;
        for (QDeadlineTimer deadline(20000); !failed;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            char buf[4096];
            for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) output.append(buf, n);
            if (::waitpid(pid, &status, WNOHANG) == pid) break;
            if (deadline.hasExpired()) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            ::usleep(2000);
        }
        char rest[4096];
        for (ssize_t n; (n = ::read(out[0], rest, sizeof rest)) > 0;) output.append(rest, n);
        ::close(out[0]);
        if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return QString::fromLocal8Bit(output).trimmed();
    }
    static qint64 residentBytes() {
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly)) return 0;
        return statm.readAll().split(' ').value(1).toLongLong() * 4096;
    }
    QString text() { return w->findChild<QLineEdit*>(QStringLiteral("txtFreq"))->text(); }

private Q_SLOTS:
    void initTestCase() { GuiFixture::home(); }
    void init() {
        fx = std::make_unique<GuiFixture>();
        w = std::make_unique<Kalimor>();
        remote = std::make_unique<RemoteControl>(*w);
        server = std::make_unique<rig::Server>(*remote);
        connect(server.get(), &rig::Server::statusChanged, w.get(), &Kalimor::setRemoteStatus);
        rig::Endpoint e;
        e.port = 0; // any free port
        QString error;
        QVERIFY2(server->listen(e, &error), qPrintable(error));
        port = server->endpoint().port;
        fx->board->clearLoads();
    }
    void cleanup() {
        server.reset();
        remote.reset();
        w.reset();
        fx.reset();
    }

    void realClientSetsAndGets() {
        QCOMPARE(rigctl({"F", "7040000", "f"}), QStringLiteral("7040000"));
        QCOMPARE(fx->board->loads().size(), size_t(1));
        QCOMPARE(fx->board->loads().back().ftw, 302365698u);
        QCOMPARE(text(), QStringLiteral("7.04"));
        QVERIFY(w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(0)->isChecked());
    }

    void realClientOutOfRange() {
        int exitCode = 0;
        rigctl({"F", "40000000"}, &exitCode);
        QCOMPARE(fx->board->loads().size(), size_t(1));
        QVERIFY(fx->board->loads().back().powerDown);
        QCOMPARE(rigctl({"f"}), QStringLiteral("0"));
    }

    void unitAndDigits_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("text");
        QTest::newRow("MHz keeps every digit") << QByteArray("F 7040123\n") << 0 << "7.040123";
        QTest::newRow("KHz") << QByteArray("F 250000\n") << 1 << "250";
        QTest::newRow("Hz upper edge") << QByteArray("F 3000\n") << 2 << "3000";
        QTest::newRow("just above Hz") << QByteArray("F 3000.5\n") << 1 << "3.0005";
        QTest::newRow("fraction") << QByteArray("F 0.5\n") << 2 << "0.5";
        QTest::newRow("float form") << QByteArray("F 7040000.000000\n") << 0 << "7.04";
    }
    void unitAndDigits() {
        QFETCH(QByteArray, command);
        QFETCH(int, unit);
        QFETCH(QString, text);
        auto s = connectClient();
        QVERIFY(s);
        QCOMPARE(ask(*s, command), QByteArray("RPRT 0\n"));
        QCOMPARE(this->text(), text);
        QVERIFY(
            w->findChildren<QRadioButton*>(QStringLiteral("optFreqMult")).at(unit)->isChecked());
        QCOMPARE(fx->board->loads().size(), size_t(1)); // nothing else on the way
    }

    // Whatever number a client sends, the remote path through the window ends
    // in a whole load or a refusal, never in garbage on the board.
    void hostileFrequencies() {
        auto s = connectClient();
        for (const char* value :
             {"-5", "-0", "0", "1e-300", "4e-324", "1e308", "1.7976931348623157e308", "1e5000",
              "4294967296", "29999999.999999", "0x10", "inf", "-nan", "30000000.0000001",
              "3000.0000000000005"}) {
            const QByteArray reply = ask(*s, QByteArray("F ") + value + "\n");
            QVERIFY2(reply == "RPRT 0\n" || reply == "RPRT -1\n", value);
            for (const auto& load : fx->board->loads()) QCOMPARE(load.clocks, 40);
            if (reply == "RPRT 0\n") QVERIFY2(!fx->board->loads().back().powerDown, value);
        }
        QCOMPARE(ask(*s, "F 7040000\nf\n", 2), QByteArray("RPRT 0\n7040000\n"));
    }

    void portFailureIsMinusSix() {
        FailingPort failing;
        setPortBackend(&failing);
        auto s = connectClient();
        QCOMPARE(ask(*s, "F 7040000\n"), QByteArray("RPRT -6\n"));
        setPortBackend(fx->board.get());
    }

    void extendedFormAndUnknownCommands() {
        auto s = connectClient();
        QCOMPARE(ask(*s, "+f\n", 3), QByteArray("get_freq:\nFrequency: 1000\nRPRT 0\n"));
        QCOMPARE(ask(*s, ";f\n"), QByteArray("get_freq:;Frequency: 1000;RPRT 0\n"));
        QCOMPARE(ask(*s, "\\get_level RFPOWER\n"), QByteArray("RPRT -11\n"));
        QCOMPARE(ask(*s, "F 1000\r\nf\r\n", 2), QByteArray("RPRT 0\n1000\n"));
    }

    // A client's Morse goes out through the keyer at the frequency the board
    // holds, which it holds again after; \wait_morse answers once it is done,
    // and nobody else tunes meanwhile.
    void morseFromAClient() {
        auto s = connectClient();
        auto other = connectClient();
        fx->board->clearLoads();
        QCOMPARE(ask(*s, "b E E\n"), QByteArray("RPRT 0\n"));
        QCOMPARE(ask(*other, "F 7040000\n"), QByteArray("RPRT -9\n"));
        QCOMPARE(ask(*s, "\\wait_morse\n"), QByteArray("RPRT 0\n"));
        QVERIFY(!remote->morseBusy());
        std::vector<bool> keyed;
        for (const auto& load : fx->board->loads()) {
            QCOMPARE(load.ftw, 0xA7C6u); // 1000 Hz, keyed by the power-down bit
            keyed.push_back(!load.powerDown);
        }
        QCOMPARE(keyed, (std::vector<bool>{true, false, true, false, true}));
        QCOMPARE(ask(*other, "F 7040000\n"), QByteArray("RPRT 0\n"));
    }

    void pttKeysTheOutputOnlyWhenAsked() {
        auto s = connectClient();
        fx->board->clearLoads();
        QCOMPARE(ask(*s, "T 1\n"), QByteArray("RPRT 0\n"));
        QVERIFY(fx->board->loads().empty()); // remembered only, by default
        remote->setPttKeysOutput(true);
        QCOMPARE(ask(*s, "T 0\n"), QByteArray("RPRT 0\n"));
        QCOMPARE(ask(*s, "T 1\n"), QByteArray("RPRT 0\n"));
        QCOMPARE(fx->board->loads().size(), size_t(2));
        QVERIFY(fx->board->loads()[0].powerDown);
        QVERIFY(!fx->board->loads()[1].powerDown);
        QCOMPARE(fx->board->loads()[1].ftw, 0xA7C6u);
    }

    void badInputKeepsTheServerWorking() {
        auto s = connectClient();
        QCOMPARE(ask(*s, QByteArray(5000, 'x')), QByteArray("RPRT -8\n"));
        QCOMPARE(ask(*s, QByteArray(3000, 'y') + "\nf\n"), QByteArray("1000\n"));
        QByteArray garbage;
        for (int i = 0; i < 512; ++i) garbage += static_cast<char>((i * 37) & 0xFF);
        garbage.replace('\n', ' ');
        QCOMPARE(ask(*s, garbage + "\n"), QByteArray("RPRT -11\n"));

        auto silent = connectClient(); // connects and says nothing
        auto halfway = connectClient();
        halfway->write("F 70");
        halfway->waitForBytesWritten(1000);
        halfway->abort(); // gone mid-line
        QCOMPARE(ask(*s, "f\n"), QByteArray("1000\n"));
        QVERIFY(fx->board->loads().empty());
    }

    void fiftyClientsAtOnce() {
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 50; ++i) {
            clients.push_back(connectClient());
            QVERIFY(clients.back());
        }
        QTRY_COMPARE(server->clientCount(), 50);
        QVERIFY(w->findChild<QLabel*>(QStringLiteral("statusRemote"))
                    ->text()
                    .endsWith(QStringLiteral(", 50 clients")));
        for (auto& c : clients) c->write("f\n");
        for (auto& c : clients) QCOMPARE(ask(*c, ""), QByteArray("1000\n"));
        clients.clear();
        QTRY_COMPARE(server->clientCount(), 0);
    }

    void thousandSetsInARow() {
        auto s = connectClient();
        QByteArray batch;
        for (int i = 0; i < 1000; ++i)
            batch += "F " + QByteArray::number(1'000'000 + i * 10) + "\n";
        const QByteArray replies = ask(*s, batch, 1000);
        QCOMPARE(replies.count("RPRT 0\n"), 1000);
        QCOMPARE(fx->board->loads().size(), size_t(1000));
        for (const auto& l : fx->board->loads()) QCOMPARE(l.clocks, 40);
        QCOMPARE(fx->board->loads().back().ftw, 43378740u); // 1,009,990 Hz
    }

    // A client that pipelines its lines is answered at once, not after the
    // delayed ACK a small reply write would wait for (tens of ms a turn, so
    // seconds a batch); 1 s is about 70 times what a batch takes. The client
    // is a plain blocking socket on a thread of its own, as a real one is.
    void pipelinedBatchesAnsweredPromptly() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        // Sends `batch` at once and takes `lines` replies; the milliseconds it took.
        const auto batch = [&](const std::string& text, int lines, const char* good) {
            std::atomic<bool> done{false};
            int answered = 0;
            QElapsedTimer took;
            took.start();
            std::thread client([&] {
                if (::write(fd, text.data(), text.size()) == ssize_t(text.size())) {
                    std::string in;
                    char buf[4096];
                    while (std::count(in.begin(), in.end(), '\n') < lines) {
                        const ssize_t n = ::read(fd, buf, sizeof buf);
                        if (n <= 0) break;
                        in.append(buf, size_t(n));
                    }
                    for (size_t at = 0; (at = in.find(good, at)) != std::string::npos; ++at)
                        ++answered;
                }
                done = true;
            });
            while (!done && took.elapsed() < 10'000 * timeScale())
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            // The server stops answering once the loop stops: unblock the
            // client's read rather than wait on it for ever.
            if (!done) ::shutdown(fd, SHUT_RDWR);
            client.join();
            return std::pair(answered, took.elapsed());
        };
        std::string reads, sets;
        for (int i = 0; i < 2000; ++i) {
            reads += "f\n";
            sets += "F " + std::to_string(2'000'000 + i) + "\n";
        }
        const qint64 boundMs = 1000 * timeScale();
        const auto [readsAnswered, readsMs] = batch(reads, 2000, "1000\n");
        QCOMPARE(readsAnswered, 2000);
        QVERIFY2(readsMs < boundMs, qPrintable(QString::number(readsMs)));
        const auto [setsAnswered, setsMs] = batch(sets, 2000, "RPRT 0\n");
        ::close(fd);
        QCOMPARE(setsAnswered, 2000);
        QVERIFY2(setsMs < boundMs, qPrintable(QString::number(setsMs)));
        QCOMPARE(fx->board->loads().size(), size_t(2000));
        // The status line follows a few times a second, and ends on the last set.
        const double hz = 2'001'999;
        QTRY_COMPARE(w->findChild<ui::StatusText*>(QStringLiteral("statusCause"))->status(),
                     producedReadout(tuningWord(hz, Globals::RefClkHz), Globals::RefClkHz, hz));
    }

    void statusLine() {
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("statusRemote"))->text(),
                 QStringLiteral("rigctld on 127.0.0.1:%1, 0 clients").arg(port));
        auto s = connectClient();
        QTRY_COMPARE(w->findChild<QLabel*>(QStringLiteral("statusRemote"))->text(),
                     QStringLiteral("rigctld on 127.0.0.1:%1, 1 client").arg(port));
        w->show();
        QTRY_VERIFY(w->findChild<QLabel*>(QStringLiteral("statusRemote"))->isVisible());
    }

    // What WSJT-X, fldigi and gpredict send, replayed against the window on
    // the simulated board: every reply as the client expects it, and every
    // frequency set reaching the board as one whole, exact load.
    void replays_data() {
        QTest::addColumn<QString>("file");
        for (const char* name :
             {"wsjtx-usb-cat", "wsjtx-data-cat", "fldigi-hamlib-ptt", "gpredict"})
            QTest::newRow(name) << QStringLiteral(KALIMOR_REPLAYS "/%1.txt").arg(name);
    }
    void replays() {
        QFETCH(QString, file);
        QFile f(file);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(file));
        auto s = connectClient();
        QVERIFY(s);
        size_t sets = 0;
        for (QByteArray line : f.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#')) continue;
            line.replace("\\x8b", "\x8b");
            const qsizetype arrow = line.indexOf(" -> ");
            const QByteArray command = line.left(arrow), expected = line.mid(arrow + 4);
            if (expected == "closed") {
                s->write(command + "\n");
                QTRY_COMPARE(s->state(), QAbstractSocket::UnconnectedState);
                QCOMPARE(s->readAll(), QByteArray("RPRT 0\n")); // confirmed, then closed
                break;
            }
            QByteArray reply;
            if (expected == "... done") {
                reply = ask(*s, command + "\n", 1);
                for (QDeadlineTimer d(5000); !reply.endsWith("done\n") && !d.hasExpired();)
                    reply += ask(*s, "", 1);
                QVERIFY(reply.endsWith("done\n"));
                continue;
            }
            reply = ask(*s, command + "\n", int(expected.count(" | ")) + 1);
            QCOMPARE(reply, QByteArray(expected).replace(" | ", "\n") + "\n");
            if (command.startsWith("F ")) {
                ++sets;
                const double hz = command.split(' ').last().toDouble();
                QCOMPARE(fx->board->loads().size(), sets);
                QCOMPARE(fx->board->loads().back().ftw,
                         quint32(std::llround(hz * 4294967296.0 / 100e6)));
                QCOMPARE(fx->board->loads().back().clocks, 40);
                QVERIFY(!fx->board->loads().back().powerDown);
            }
        }
        QCOMPARE(fx->board->loads().size(), sets); // mode, PTT and the rest load nothing
    }

    void realClientModePttAndSplit() {
        QCOMPARE(rigctl({"M", "USB", "3000", "m", "T", "1", "t", "S", "0", "VFOA", "s"}),
                 QStringLiteral("USB\n3000\n1\n0\nVFOA"));
        QVERIFY(fx->board->loads().empty());
        QCOMPARE(w->findChild<QLabel*>(QStringLiteral("statusRemote"))->text(),
                 QStringLiteral("rigctld on 127.0.0.1:%1, 0 clients, USB, PTT on").arg(port));
    }

    // A client that never reads its replies is dropped before its replies
    // can grow the program.
    void slowReaderIsDropped() {
        const qint64 before = residentBytes();
        auto s = connectClient();
        s->setReadBufferSize(1); // read as little as the socket allows
        const QByteArray dump = QByteArray("\\dump_state\n").repeated(1000);
        QDeadlineTimer deadline(20000);
        while (s->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            if (s->bytesToWrite() < 1 << 20) s->write(dump);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QCOMPARE(s->state(), QAbstractSocket::UnconnectedState);
        const qint64 growth = residentBytes() - before;
        qInfo("slow reader dropped; the program grew by %.1f MB", growth / 1e6);
        QVERIFY(growth < 100'000'000);
    }

    // One client's flood of pipelined sets must not hold up another client:
    // a line that comes in while the flood has thousands of lines to go is
    // answered before them. The other client asks the frequency, which tells
    // how far the flood had got when it was answered.
    //
    // The event loop may run only once the flood is under way and the other
    // line is on its way too: spinning it in between (QTRY, a wait of so many
    // ms) would let a fast machine serve the whole flood before the other
    // client has said anything, which proves nothing about fairness and made
    // this fail under Qt 6.8, whose passes of the loop are quicker.
    void floodDoesNotStarveOthers() {
        auto flood = connectClient(), other = connectClient();
        const int lines = 5000;
        QByteArray batch;
        for (int i = 1; i <= lines; ++i) batch += "F " + QByteArray::number(1'000'000 + i) + "\n";
        flood->write(batch);
        while (flood->bytesToWrite() > 0 && flood->waitForBytesWritten(10)) {
        }
        // One pass at a time, until the server has started on the flood.
        for (QDeadlineTimer deadline(5000); !deadline.hasExpired() && text() == "1000";)
            QCoreApplication::processEvents();
        other->write("f\n");
        QVERIFY(other->waitForBytesWritten(1000));
        QElapsedTimer t;
        t.start();
        const QByteArray reply = ask(*other, "");
        const qint64 waited = t.elapsed();
        const int served = qRound(reply.trimmed().toDouble()) - 1'000'000;
        qInfo("second client answered after %lld ms, %d of %d sets into a flood", waited, served,
              lines);
        QVERIFY2(served > 0 && served < lines / 2, reply.constData());
        QTRY_COMPARE_WITH_TIMEOUT(int(fx->board->loadCount()), lines, 30000);
    }

    // Idle connections cannot lock a real client out: the one idle longest
    // makes room.
    void idleConnectionsMakeRoom() {
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < rig::Server::MaxClients; ++i) idle.push_back(connectClient());
        QTRY_COMPARE(server->clientCount(), rig::Server::MaxClients);
        idle.back()->write("f\n"); // the last one has spoken, so it is not idle longest
        QCOMPARE(ask(*idle.back(), ""), QByteArray("1000\n"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropped rigctld client .*idle"));
        auto real = connectClient();
        QCOMPARE(ask(*real, "f\n"), QByteArray("1000\n"));
        QTRY_COMPARE(idle.front()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(idle.back()->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(server->clientCount(), rig::Server::MaxClients);
    }

    void endpoints() {
        QCOMPARE(rig::parseEndpoint(QString())->text(), QStringLiteral("127.0.0.1:4532"));
        QCOMPARE(rig::parseEndpoint(QStringLiteral("4533"))->text(),
                 QStringLiteral("127.0.0.1:4533"));
        QCOMPARE(rig::parseEndpoint(QStringLiteral("0.0.0.0:4532"))->text(),
                 QStringLiteral("0.0.0.0:4532"));
        QCOMPARE(rig::parseEndpoint(QStringLiteral("[::1]:4532"))->text(),
                 QStringLiteral("[::1]:4532"));
        QCOMPARE(rig::parseEndpoint(QStringLiteral("[::ffff:127.0.0.1]:4533"))->text(),
                 QStringLiteral("127.0.0.1:4533"));
        QVERIFY(!rig::parseEndpoint(QStringLiteral("4533"))->reachableFromNetwork());
        QVERIFY(rig::parseEndpoint(QStringLiteral("0.0.0.0:4533"))->reachableFromNetwork());
        for (const char* bad :
             {"0", "70000", "abc", "host:", "::1:4532", "[::1]", "1.2.3:4533", "1:4533", "+4533",
              " 4533", "4533 ", "256.1.1.1:4533", "[1.2.3.4]:4533", "01.2.3.4:4533"})
            QVERIFY2(!rig::parseEndpoint(QString::fromLatin1(bad)), bad);
    }
};

QTEST_MAIN(RigctlTest)
#include "test_rigctl.moc"
