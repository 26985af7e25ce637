#pragma once

#include <QString>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

// A pseudo-terminal that answers as an antenna analyser sketch does: it
// reads until the sweep's "S", keeps what was asked, then sends `reply`.
struct FakeSketch {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string asked;
    std::thread thread;
    int slave = -1; // held open, so that the master never reads as hung up between sweeps
    FakeSketch() {
        grantpt(master);
        unlockpt(master);
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    }
    QString device() const { return QString::fromLocal8Bit(ptsname(master)); }
    void answer(std::string reply) {
        thread = std::thread([this, reply] {
            pollfd p{master, POLLIN, 0};
            char c = 0;
            while (asked.find('S') == std::string::npos && poll(&p, 1, 5000) > 0 &&
                   ::read(master, &c, 1) == 1)
                asked += c;
            if (asked.find('S') != std::string::npos)
                (void)!::write(master, reply.data(), reply.size());
        });
    }
    ~FakeSketch() {
        if (thread.joinable()) thread.join();
        ::close(slave);
        ::close(master);
    }
};
