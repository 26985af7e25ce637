#include "core/Error.h"
#include "timing/CSleeper.h"
#include "timing/NamedTimer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>

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
    // -2^63 units: its negation is no 64-bit number.
    EXPECT_EQ(errorOf([] { CSleeper::dueTime(-922337203685.4777); }), err::Overflow);
    CSleeper s;
    s.setDelaySeconds(1e303);
    EXPECT_EQ(errorOf([&] { (void)s.DelayNanoSeconds(); }), err::Overflow);
    s.setDelaySeconds(1e306);
    EXPECT_EQ(errorOf([&] { (void)s.DelayMilliSeconds(); }), err::Overflow);
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

namespace {

// An object of this user under a timer's name, as a creator killed before
// it made the timer leaves it: empty, or sized and zero-filled.
void leaveHalfMade(const QByteArray& object, off_t size) {
    const int fd = shm_open(object.constData(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

bool shmExists(const QByteArray& object) {
    return access(("/dev/shm" + object).constData(), F_OK) == 0;
}

} // namespace

// A holder killed while it held the timer (pending an hour) must not make a
// later Init join a dead timer, and the object must go with the last live
// holder.
TEST(Sleeper, TimersOfDeadHoldersAreTakenAsNew) {
    const QString name = uniqueName();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool existed = false;
        auto timer = NamedTimer::open(name, &existed);
        if (timer) timer->set(-36'000'000'000LL);
        _exit(timer ? 0 : 1); // no destructor: the handle stays behind
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(shmExists(NamedTimer::objectName(name)));
    {
        CSleeper s;
        s.setSleeperName(name);
        const auto start = steady_clock::now();
        s.Init(); // joining would raise "No Delay was set" or wait an hour
        EXPECT_LT(secondsSince(start), 1.0);
        EXPECT_EQ(s.timer()->handles(), 1);
    }
    EXPECT_FALSE(shmExists(NamedTimer::objectName(name)));
}

TEST(Sleeper, HalfMadeObjectsAreMadeAgain) {
    for (off_t size : {off_t(0), off_t(4096)}) {
        const QString name = uniqueName();
        leaveHalfMade(NamedTimer::objectName(name), size);
        CSleeper s;
        s.setSleeperName(name);
        const auto start = steady_clock::now();
        s.Init();
        EXPECT_LT(secondsSince(start), 2.0) << size;
        s.SleepTime(0.001);
    }
}

TEST(Sleeper, LongNamesThatDifferAtTheEndNeverMeet) {
    const QString a = QString(300, QLatin1Char('x')) + QLatin1Char('a');
    const QString b = QString(300, QLatin1Char('x')) + QLatin1Char('b');
    EXPECT_NE(NamedTimer::objectName(a), NamedTimer::objectName(b));
    EXPECT_LT(NamedTimer::objectName(a).size(), 255);
    bool existed = true;
    auto first = NamedTimer::open(a, &existed);
    auto second = NamedTimer::open(b, &existed);
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(existed);
}

// Another user cannot take a name first, nor block Init with an object it
// made writable and holds locked: such objects are never opened. Init says
// why when every name is taken.
TEST(Sleeper, AnotherUsersObjectsAreLeftAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make objects as another user";
    const QString name = uniqueName();
    std::vector<QByteArray> squatted;
    auto squat = [&](int attempt) {
        const QByteArray object = NamedTimer::objectName(name, attempt);
        const int fd = shm_open(object.constData(), O_RDWR | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, 65534, 65534), 0);
        ASSERT_EQ(fchmod(fd, 0666), 0);
        ASSERT_EQ(ftruncate(fd, 4096), 0);
        close(fd);
        squatted.push_back(object);
    };
    squat(0);
    {
        CSleeper s;
        s.setSleeperName(name);
        const auto start = steady_clock::now();
        s.Init();
        EXPECT_LT(secondsSince(start), 1.0);
        s.SleepTime(0.001);
        EXPECT_TRUE(shmExists(NamedTimer::objectName(name, 1)));
    }
    for (int attempt = 1; attempt < 8; ++attempt) squat(attempt);
    CSleeper blocked;
    blocked.setSleeperName(name);
    try {
        blocked.Init();
        ADD_FAILURE() << "Init succeeded on names all taken";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), CSleeper::ErrNoTimer);
        EXPECT_TRUE(e.description().contains(QStringLiteral("taken by another user")))
            << qPrintable(e.description());
    }
    for (const QByteArray& object : squatted) shm_unlink(object.constData());
}
