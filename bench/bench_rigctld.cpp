// rigctld sets and reads per second through the whole path a client's `F`
// takes: the server, the main window's SendFrequency, the board's thread and
// the simulated board, with one and with ten clients that each pipeline their
// lines, and one client pipelining `f` reads. A parallel port takes about
// 12,000 loads a second, which the server should never be the bottleneck for.
//
//   bench_rigctld [LINES]                 in this process, against this build
//   bench_rigctld --vs OLD [--new NEW] [--rounds N] [LINES]
//       OLD and NEW are the program (or a build directory holding app/kalimor)
//       of two builds, each run as `kalimor --simulate --rigctld=PORT` with no
//       screen; they are measured in turn, round by round, in one sitting, and
//       the medians are printed with NEW/OLD ratios. NEW defaults to this
//       build's program.
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "net/RigctlServer.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

namespace {

int connectTo(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One client: sends `lines` sets (or `f` reads) in one go and reads as many
// replies; true when each was what a good set or read answers.
bool client(quint16 port, int lines, int seed, bool reads = false) {
    const int fd = connectTo(port);
    if (fd < 0) return false;
    std::string out;
    for (int i = 0; i < lines; ++i)
        out += reads ? std::string("f\n")
                     : "F " + std::to_string(7'000'000 + seed * 10'000 + i) + "\n";
    std::thread writer([&] {
        for (size_t sent = 0; sent < out.size();) {
            const ssize_t n = ::write(fd, out.data() + sent, out.size() - sent);
            if (n <= 0) return;
            sent += size_t(n);
        }
    });
    int replies = 0, good = 0;
    std::string in;
    char buf[4096];
    while (replies < lines) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        in.append(buf, size_t(n));
        size_t from = 0;
        for (size_t end; (end = in.find('\n', from)) != std::string::npos; from = end + 1) {
            ++replies;
            good += reads ? (end > from && in.compare(from, 4, "RPRT") != 0)
                          : in.compare(from, end - from, "RPRT 0") == 0;
        }
        in.erase(0, from);
    }
    writer.join();
    ::close(fd);
    return good == lines;
}

// Lines per second with `clients` clients of `lines` lines each; `turn`
// keeps an event loop going meanwhile, when the server is in this process.
double rate(quint16 port, int clients, int lines, bool reads, bool turn) {
    std::atomic<int> finished{0}, failed{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            if (!client(port, lines, c, reads)) ++failed;
            ++finished;
        });
    while (finished < clients)
        if (turn)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& t : threads) t.join();
    if (failed)
        std::fprintf(stderr,
                     "bench_rigctld: %d client(s) did not get a good answer to every line\n",
                     failed.load());
    return clients * lines / seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Load {
    const char* name;
    int clients;
    bool reads;
};
constexpr Load loads[] = {
    {"sets,  1 pipelining client ", 1, false},
    {"sets, 10 pipelining clients", 10, false},
    {"reads, 1 pipelining client ", 1, true},
};

int linesFor(const Load& l, int lines) {
    return l.reads ? lines * 20 : lines / l.clients * (l.clients == 1 ? 1 : 2);
}

// A build's program serving rigctld on the simulated board, with no screen
// and a settings home of its own.
struct Program {
    QString exe;
    QTemporaryDir home;
    QProcess process;
    quint16 port = 0;

    bool start() {
        // A port the system has just handed out and taken back is free.
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof any;
        ::bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&any), &size);
        port = ntohs(any.sin_port);
        ::close(probe);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(exe,
                      {QStringLiteral("--simulate"), QStringLiteral("--rigctld=%1").arg(port)});
        if (!process.waitForStarted(10'000)) return false;
        for (auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;) {
            if (const int fd = connectTo(port); fd >= 0) {
                ::close(fd);
                return true;
            }
            if (process.state() == QProcess::NotRunning) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    ~Program() {
        process.terminate();
        if (!process.waitForFinished(5'000)) process.kill();
        process.waitForFinished(5'000);
    }
};

QString programIn(const QString& path) {
    if (QFileInfo(path).isDir()) return path + QStringLiteral("/app/kalimor");
    return path;
}

int compare(const QString& oldPath, const QString& newPath, int rounds, int lines) {
    Program programs[2];
    programs[0].exe = programIn(oldPath);
    programs[1].exe = programIn(newPath);
    for (Program& p : programs)
        if (!p.start()) {
            std::fprintf(stderr, "bench_rigctld: %s did not start serving\n", qPrintable(p.exe));
            return 1;
        }
    std::printf("old: %s\nnew: %s\n", qPrintable(programs[0].exe), qPrintable(programs[1].exe));
    constexpr std::size_t Loads = std::size(loads);
    std::vector<double> rates[2][Loads], ratios[Loads];
    for (int round = 0; round < rounds; ++round)
        for (std::size_t l = 0; l < Loads; ++l) {
            double r[2];
            // Old and new in turn, each load in both orders, so that neither
            // gets the machine's quiet moments.
            for (int k = 0; k < 2; ++k) {
                const int which = (round + int(l) + k) % 2;
                r[which] = rate(programs[which].port, loads[l].clients, linesFor(loads[l], lines),
                                loads[l].reads, false);
                rates[which][l].push_back(r[which]);
            }
            ratios[l].push_back(r[1] / r[0]);
        }
    for (std::size_t l = 0; l < Loads; ++l) {
        auto [lo, hi] = std::minmax_element(ratios[l].begin(), ratios[l].end());
        std::printf("rigctld %s: old %8.0f/s, new %8.0f/s, new/old %.2fx (%.2f to %.2f)\n",
                    loads[l].name, median(rates[0][l]), median(rates[1][l]), median(ratios[l]), *lo,
                    *hi);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.path()), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    int lines = 3000, rounds = 5;
    QString oldPath, newPath = QStringLiteral(KALIMOR_EXE);
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--vs") && i + 1 < argc)
            oldPath = QString::fromLocal8Bit(argv[++i]);
        else if (!std::strcmp(argv[i], "--new") && i + 1 < argc)
            newPath = QString::fromLocal8Bit(argv[++i]);
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::atoi(argv[i]) > 0)
            lines = std::atoi(argv[i]);
        else {
            std::fprintf(stderr,
                         "usage: bench_rigctld [--vs OLD [--new NEW] [--rounds N]] [LINES]\n");
            return 2;
        }
    }
    if (!oldPath.isEmpty()) return compare(oldPath, newPath, rounds, lines);

    dds::SimulatedBoard simulated;
    setPortBackend(&simulated);
    {
        Kalimor window;
        RemoteControl remote(window);
        rig::Server server(remote);
        QString error;
        rig::Endpoint endpoint;
        endpoint.port = 0;
        if (!server.listen(endpoint, &error)) {
            std::fprintf(stderr, "bench_rigctld: %s\n", qPrintable(error));
            return 1;
        }
        window.setRemoteStatus(server.status());
        window.show();
        const quint16 port = server.endpoint().port;
        for (const Load& l : loads) {
            std::vector<double> rates;
            for (int round = 0; round < 3; ++round)
                rates.push_back(rate(port, l.clients, linesFor(l, lines), l.reads, true));
            std::sort(rates.begin(), rates.end());
            std::printf("rigctld %s: median %.0f/s (%.0f to %.0f)\n", l.name, rates[1], rates[0],
                        rates[2]);
        }
        std::printf("loads on the simulated board: %llu\n",
                    static_cast<unsigned long long>(simulated.loadCount()));
    }
    setPortBackend(nullptr);
    return 0;
}
