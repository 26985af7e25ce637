#include "core/Error.h"
#include "timing/CSleeper.h"
#include "timing/NamedTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kalimor;
using namespace std::chrono;

namespace {

QString uniqueName() {
    static int n = 0;
    return QStringLiteral("kalimor-test-%1-%2").arg(::getpid()).arg(++n);
}

std::int32_t errorOf(auto&& f) {
    try {
        f();
    } catch (const Error& e) {
        EXPECT_EQ(e.source(), QStringLiteral("fSleeper"));
        return e.number();
    }
    return 0;
}

double secondsSince(steady_clock::time_point from) {
    return duration<double>(steady_clock::now() - from).count();
}

} // namespace

TEST(Sleeper, DelayUnits) {
    CSleeper s;
    s.setDelayNanoSeconds(1000);
    EXPECT_DOUBLE_EQ(s.Delay(), 0.000001); // a thousand nanoseconds are a microsecond
    EXPECT_DOUBLE_EQ(s.DelayMilliSeconds(), 0.001);
    s.setDelayMilliSeconds(1500);
    EXPECT_DOUBLE_EQ(s.Delay(), 1.5);
    s.setDelayHours(1);
    EXPECT_DOUBLE_EQ(s.Delay(), 3600);
    s.setDelaySeconds(90);
    EXPECT_DOUBLE_EQ(s.DelayMinutes(), 1.5);
    EXPECT_DOUBLE_EQ(s.DelayHours(), 0.025);
    EXPECT_DOUBLE_EQ(s.DelayNanoSeconds(), 9e10);
    s.setDelayMinutes(-2);
    EXPECT_DOUBLE_EQ(s.Delay(), -120);
    EXPECT_EQ(errorOf([&] { s.setDelayHours(1e308); }), err::Overflow);
    EXPECT_DOUBLE_EQ(s.Delay(), -120) << "a failed write leaves the delay alone";
}

TEST(Sleeper, DueTimes) {
    struct Case {
        double seconds;
        std::int64_t due;
    } cases[] = {
        {1, -10000000},  {0.0015, -15000}, {300, -3000000000LL}, {429.4967296, -4294967296LL},
        {0.00000004, 0}, {-1, 10000000},
    };
    for (const auto& c : cases) EXPECT_EQ(CSleeper::dueTime(c.seconds), c.due) << c.seconds;
    EXPECT_EQ(errorOf([] { CSleeper::dueTime(1e12); }), err::Overflow);
}

TEST(Sleeper, DefaultNameCarriesTheProcessId) {
    CSleeper s;
    EXPECT_EQ(s.SleeperName(), QStringLiteral("MySleeperName%1").arg(::getpid()));
}

TEST(Sleeper, ErrorsAndTheirOrder) {
    CSleeper s;
    int wakeUps = 0;
    s.onWakeUp([&] { ++wakeUps; });
    EXPECT_EQ(errorOf([&] { s.SleepTime(0); }), CSleeper::ErrNotInitialized);
    EXPECT_EQ(errorOf([&] { s.SleepTime(0.01); }), CSleeper::ErrNotInitialized);
    s.setSleeperName(uniqueName());
    s.Init();
    EXPECT_EQ(errorOf([&] { s.SleepTime(0); }), CSleeper::ErrNoDelay);
    NamedTimer* timer = s.timer();
    EXPECT_EQ(errorOf([&] { s.Init(); }), CSleeper::ErrAlreadyInitialized);
    EXPECT_EQ(s.timer(), timer) << "the existing timer is kept";
    EXPECT_EQ(wakeUps, 0);
}

TEST(Sleeper, SleepsAndWakesUp) {
    CSleeper s;
    s.setSleeperName(uniqueName());
    s.setDelaySeconds(2);
    s.Init();
    int wakeUps = 0;
    s.onWakeUp([&] { ++wakeUps; });
    const auto start = steady_clock::now();
    s.SleepTime(0.05);
    EXPECT_GE(secondsSince(start), 0.045);
    EXPECT_EQ(wakeUps, 1);
    EXPECT_DOUBLE_EQ(s.Delay(), 2) << "the argument does not change the stored delay";
    s.setDelaySeconds(-5); // a negative delay fires at once
    s.SleepTime(0);
    EXPECT_EQ(wakeUps, 2);
}

TEST(Sleeper, JoiningASignalledTimerReturnsAtOnce) {
    const QString name = uniqueName();
    CSleeper first;
    first.setSleeperName(name);
    first.Init();
    CSleeper second;
    second.setSleeperName(name);
    second.setDelaySeconds(5);
    int wakeUps = 0;
    second.onWakeUp([&] { ++wakeUps; });
    std::this_thread::sleep_for(milliseconds(2)); // the first timer's 100 ns have passed
    const auto start = steady_clock::now();
    second.Init();
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ(wakeUps, 0);
    EXPECT_EQ(first.timer()->handles(), 2);
}

TEST(Sleeper, JoiningAPendingTimerRearmsItForEveryone) {
    const QString name = uniqueName();
    CSleeper sleeping;
    sleeping.setSleeperName(name);
    sleeping.Init();
    double sleptFor = 0;
    std::thread t([&] {
        const auto start = steady_clock::now();
        sleeping.SleepTime(5);
        sleptFor = secondsSince(start);
    });
    std::this_thread::sleep_for(milliseconds(30));
    CSleeper joining;
    joining.setSleeperName(name);
    joining.setDelaySeconds(0.05);
    int wakeUps = 0;
    joining.onWakeUp([&] { ++wakeUps; });
    joining.Init();
    t.join();
    EXPECT_EQ(wakeUps, 1);
    EXPECT_LT(sleptFor, 2.5) << "the new due time replaced the five seconds";
}

TEST(Sleeper, TwoProcessesWakeTogether) {
    const QString name = uniqueName();
    CSleeper parent;
    parent.setSleeperName(name);
    parent.Init();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::this_thread::sleep_for(milliseconds(40));
        CSleeper joining;
        joining.setSleeperName(name);
        joining.setDelaySeconds(0.1);
        joining.Init();
        const std::int64_t woke = steady_clock::now().time_since_epoch().count();
        _exit(write(pipeFds[1], &woke, sizeof woke) == sizeof woke ? 0 : 1);
    }
    parent.SleepTime(5);
    const std::int64_t parentWoke = steady_clock::now().time_since_epoch().count();
    std::int64_t childWoke = 0;
    ASSERT_EQ(read(pipeFds[0], &childWoke, sizeof childWoke),
              static_cast<ssize_t>(sizeof childWoke));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(std::llabs(parentWoke - childWoke),
              duration_cast<nanoseconds>(milliseconds(250)).count());
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(Sleeper, DestroyingAnUninitialisedSleeperClosesNothing) {
    const QString name = uniqueName();
    CSleeper owner;
    owner.setSleeperName(name);
    owner.Init();
    {
        CSleeper idle;
        idle.setSleeperName(name);
    }
    EXPECT_EQ(owner.timer()->handles(), 1);
}

TEST(Sleeper, LastCloseRemovesTheObject) {
    const QString name = uniqueName();
    const QByteArray path = "/dev/shm" + NamedTimer::objectName(name);
    {
        CSleeper s;
        s.setSleeperName(name);
        s.Init();
        EXPECT_EQ(access(path.constData(), F_OK), 0);
        struct stat st {};
        ASSERT_EQ(stat(path.constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_NE(access(path.constData(), F_OK), 0);
}

TEST(Sleeper, AHolderThatDiesInsideTheLockDoesNotWedgeOthers) {
    const QString name = uniqueName();
    CSleeper s;
    s.setSleeperName(name);
    s.Init();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool existed = false;
        auto timer = NamedTimer::open(name, &existed);
        if (timer) timer->withLock([] { _exit(0); });
        _exit(1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    s.SleepTime(0.01);
    EXPECT_EQ(s.timer()->wait(0), NamedTimer::WaitObject0);
}
