// A traced 20 wpm CW beacon's key edges on the simulated board, each due at
// its time from the frame's start (the board's sequence, as the beacon sends
// it): how late each went out, median, p99 and worst, with the trace on disk
// and, beside it, a writer that keeps the disk busy (4 MB written and synced
// at a time), as a backup or a download would.
//
//   bench_beacon_trace [--seconds N] [--trace FILE] [--busy DIR] [--block KB]
//
// --block sets the writer's write size (4096 KB by default; cp writes 128).
// On a kernel built without forced preemption (preempt=none, as many cloud
// kernels), a real-time thread waits for another thread's write to leave the
// kernel, and a 4 MB copy is long: run with the trace off as a control.
//
// Several of these at once are several beacons at once.
#include "Percentile.h"
#include "dds/Board.h"
#include "dds/Port.h"
#include "dds/mdlSetKalimor.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kalimor;
using Clock = std::chrono::steady_clock;

namespace {

// Time the hypervisor gave this machine's processors to others, all of them.
double stolenMs() {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> cpu = stat.readLine().simplified().split(' ');
    return cpu.value(8).toDouble() * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

long majorFaults() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_majflt;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int seconds = 20;
    QString tracePath, busyDir;
    std::size_t blockBytes = 4 << 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds"))
            seconds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--trace"))
            tracePath = QString::fromLocal8Bit(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--busy"))
            busyDir = QString::fromLocal8Bit(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--block"))
            blockBytes = std::size_t(std::max(1, std::atoi(argv[i + 1]))) << 10;
    }
    dds::Board& board = dds::board();
    if (tracePath.isEmpty())
        board.adoptPort(std::make_unique<dds::SimulatedBoard>());
    else
        board.adoptPort(
            std::make_unique<dds::TracingPort>(std::make_unique<dds::SimulatedBoard>(), tracePath));

    // Key down and up on the dit grid (60 ms at 20 wpm): dits, dahs and gaps.
    const auto dit = std::chrono::milliseconds(60);
    std::vector<dds::TimedWord> words;
    const int pattern[] = {1, 1, 1, 1, 3, 1, 1, 3, 3, 7};
    for (int t = 0, k = 0; t * dit < std::chrono::seconds(seconds); ++k) {
        const int on = pattern[k % std::size(pattern)] % 4, off = k % 3 == 2 ? 3 : 1;
        words.push_back({t * dit, 302365698, 0, 0});
        words.push_back({(t + on) * dit, 302365698, 0, 1});
        t += on + off;
    }

    std::atomic<bool> busy{!busyDir.isEmpty()};
    std::thread writer;
    if (busy)
        writer = std::thread([&] {
            const QByteArray path = QFile::encodeName(busyDir + QStringLiteral("/busy.bin"));
            const std::string block(blockBytes, 'x');
            while (busy) {
                const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                for (std::size_t i = 0; i < (32u << 20) / blockBytes && busy && fd >= 0; ++i)
                    if (::write(fd, block.data(), block.size()) < 0 ||
                        ((i + 1) * blockBytes % (4u << 20) == 0 && ::fsync(fd) != 0))
                        break;
                if (fd >= 0) ::close(fd);
            }
            ::unlink(path.constData());
        });

    std::vector<double> lateMs;
    lateMs.reserve(words.size());
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    board.setTickObserver([&](Clock::time_point due, Clock::time_point sent) {
        lateMs.push_back(std::chrono::duration<double, std::milli>(sent - due).count());
    });
    QObject::connect(
        &board, &dds::Board::sequenceDone, &board,
        [&](const dds::SequenceReport&) {
            std::lock_guard lock(mutex);
            finished = true;
            done.notify_one();
        },
        Qt::DirectConnection);
    const double stolenBefore = stolenMs();
    const long faultsBefore = majorFaults();
    board.claim(dds::Controller::Beacon);
    board.startSequence(words, Clock::now() + std::chrono::milliseconds(100),
                        dds::Controller::Beacon);
    {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return finished; });
    }
    busy = false;
    if (writer.joinable()) writer.join();
    board.setTickObserver({});
    board.release(dds::Controller::Beacon);

    std::sort(lateMs.begin(), lateMs.end());
    std::printf(
        "CW 20 wpm, %zu key edges, trace %s, disk writer %s: late median %.3f ms, p99 "
        "%.3f ms, worst %.3f ms; board's thread %s; machine's stolen time %.0f ms; %ld "
        "major page faults\n",
        lateMs.size(), tracePath.isEmpty() ? "off" : "on",
        busyDir.isEmpty() ? "off"
                          : qPrintable(QStringLiteral("on (%1 KB writes)").arg(blockBytes >> 10)),
        percentile(lateMs, 0.5), percentile(lateMs, 0.99), lateMs.back(),
        qPrintable(board.scheduling()), stolenMs() - stolenBefore, majorFaults() - faultsBefore);
    board.adoptPort(nullptr);
    return 0;
}
