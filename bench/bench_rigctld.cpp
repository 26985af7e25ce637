// rigctld sets per second through the whole path a client's `F` takes: the
// server, the main window's SendFrequency, the board's thread and the
// simulated board, with one and with ten clients that each pipeline their
// lines. The figure printed last is the ten-client rate; a parallel port
// takes about 12,000 loads a second, which the server should never be the
// bottleneck for.
#include "app/Kalimor.h"
#include "app/RemoteControl.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"
#include "net/RigctlServer.h"

#include <QApplication>
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
#include <string>
#include <thread>
#include <vector>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

namespace {

// One client: sends `lines` sets in one go and reads as many replies.
bool client(quint16 port, int lines, int seed) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
    std::string out;
    for (int i = 0; i < lines; ++i)
        out += "F " + std::to_string(7'000'000 + seed * 10'000 + i) + "\n";
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
        for (size_t end; (end = in.find('\n')) != std::string::npos; in.erase(0, end + 1)) {
            ++replies;
            good += in.compare(0, end, "RPRT 0") == 0;
        }
    }
    writer.join();
    ::close(fd);
    return good == lines;
}

// Sets per second with `clients` clients of `lines` lines each, the event
// loop turning on this thread meanwhile.
double rate(quint16 port, int clients, int lines) {
    std::atomic<int> finished{0}, failed{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            if (!client(port, lines, c)) ++failed;
            ++finished;
        });
    while (finished < clients) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& t : threads) t.join();
    if (failed)
        std::fprintf(stderr, "bench_rigctld: %d client(s) did not get RPRT 0 for every set\n",
                     failed.load());
    return clients * lines / seconds;
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.path()), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int lines = argc > 1 ? std::atoi(argv[1]) : 3000;
    dds::SimulatedBoard simulated;
    setPortBackend(&simulated);
    int status = 0;
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
        for (int clients : {1, 10}) {
            std::vector<double> rates;
            for (int round = 0; round < 3; ++round)
                rates.push_back(rate(port, clients, lines / clients * (clients == 1 ? 1 : 2)));
            std::sort(rates.begin(), rates.end());
            std::printf(
                "rigctld sets, %2d pipelining client%s: median %.0f sets/s (%.0f to %.0f)\n",
                clients, clients == 1 ? " " : "s", rates[1], rates[0], rates[2]);
        }
        std::printf("loads on the simulated board: %llu\n",
                    static_cast<unsigned long long>(simulated.loadCount()));
    }
    setPortBackend(nullptr);
    return status;
}
