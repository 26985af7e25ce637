#include "CarrierGuard.h"

#include "dds/Board.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace kalimor {

namespace {

// The signals whose default is to end the process (SIGKILL and SIGSTOP
// cannot be caught; SIGPIPE is ignored instead).
constexpr int Guarded[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGABRT, SIGFPE,    SIGSEGV,
                           SIGALRM, SIGTERM, SIGUSR1,   SIGUSR2, SIGBUS,  SIGTRAP,   SIGSYS,
                           SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSTKFLT, SIGPWR};

int pipeFds[2] = {-1, -1};

bool synchronous(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGABRT ||
           sig == SIGTRAP || sig == SIGSYS;
}

void onSignal(int sig) {
    const unsigned char number = static_cast<unsigned char>(sig);
    if (::write(pipeFds[1], &number, 1) < 0) {
        // The pipe is full only if the guard is already ending the program.
    }
    if (!synchronous(sig)) return;
    // A fault cannot return to what raised it: the guard ends the program
    // meanwhile. Should the fault be the board thread's own, the guard
    // waits for it in vain, and the default action ends the program here.
    for (int i = 0; i < 20; ++i) {
        const timespec tenth{0, 100'000'000};
        ::nanosleep(&tenth, nullptr);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void endBy(int sig) {
    try {
        dds::board().powerDownIfKeyed();
    } catch (...) {
        // The port failed: nothing more can be done from here.
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    ::raise(sig);
    // The default action ends the process, a core dump first for some,
    // which takes its time; should it somehow not, the exit still says why.
    for (int i = 0; i < 100; ++i) {
        const timespec tenth{0, 100'000'000};
        ::nanosleep(&tenth, nullptr);
    }
    std::_Exit(128 + sig);
}

} // namespace

void guardCarrier() {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::thread([] {
        unsigned char sig = 0;
        while (::read(pipeFds[0], &sig, 1) != 1) {
            // EINTR: read again.
        }
        endBy(sig);
    }).detach();
    struct sigaction on {};
    on.sa_handler = onSignal;
    sigemptyset(&on.sa_mask);
    on.sa_flags = SA_RESTART;
    // Only where the default would act: a signal ignored from the start
    // (nohup's SIGHUP) stays ignored, one a sanitizer handles stays its.
    auto guard = [&](int sig) {
        struct sigaction was {};
        if (::sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_DFL &&
            !(was.sa_flags & SA_SIGINFO))
            ::sigaction(sig, &on, nullptr);
    };
    for (int sig : Guarded) guard(sig);
    // The real-time signals end a program by default too.
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) guard(sig);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace kalimor
